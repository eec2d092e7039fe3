// The reader's allocation seam: realloc and free, unless a test or fuzz
// target has installed hooks to count or fail allocations.
#include <cstdlib>

#include "komu.h"

namespace {
komu_alloc_hooks g_hooks{};  // realloc_fn null: plain realloc/free
}

void komu_set_alloc_hooks(const komu_alloc_hooks* hooks) {
    g_hooks = hooks ? *hooks : komu_alloc_hooks{};
}

void* komu_realloc(void* ptr, size_t bytes) {
    if (g_hooks.realloc_fn) return g_hooks.realloc_fn(g_hooks.ctx, ptr, bytes);
    return std::realloc(ptr, bytes);
}

void komu_free(void* ptr) {
    if (ptr == nullptr) return;
    if (g_hooks.free_fn) {
        g_hooks.free_fn(g_hooks.ctx, ptr);
        return;
    }
    std::free(ptr);
}
