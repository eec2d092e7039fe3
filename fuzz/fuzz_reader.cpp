// Fuzz target: the stream reader over a whole file, opened and decoded the
// way the player's start-up and playback loop do it.
//
// The input bytes are the file. It is put in a memfd and opened by path as
// /proc/self/fd/N, so a looping restart seeks back as on disk (the reopen by
// path, taken only when that seek fails, is not reached here; the reader
// tests force it); one input in four (chosen by a hash of its bytes), when
// it fits in a pipe, is read through one instead, as from a FIFO. Up to 64
// frames are decoded, which reaches loop restarts of short videos; then
// three seeks to frames the input picks (komu_seek), and two more decodes.
// Beyond the sanitizers, each input is checked for:
//   - memory: live bytes through komu_set_alloc_hooks never pass the bound
//     below, and are back to 0 after komu_close;
//   - descriptors: as many open after the input as before;
//   - results: komu_decode_next gives only 0, 1 or -1, and after a 0 the
//     next frame number is within 1..frame_count;
//   - reasons: every failed open and decode leaves a failure code (and a
//     decode its frame) for the words the programs print;
//   - seeks: one that succeeds leaves next_index where asked; one that
//     fails leaves the pictures, the position and the file offset as they
//     were.
// One input in eight (chosen by a hash of its bytes) also has one of its
// first six allocations fail, so the failure paths are fuzzed for leaks too.
//
// Set KOMU_FUZZ_STATS=1 to print, at exit, the largest allocation and live
// bytes any input caused, relative to its size and to its bound.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "komu.h"

namespace {

constexpr int MAX_DECODE_CALLS = 64;
constexpr uint32_t FIRST_CAPACITY = 4096;  // the reader's first growable-buffer size
constexpr int MAX_BLOCKS = 8;              // the reader holds at most 5 buffers

// Capacity the reader's doubling growth reaches for a need of n bytes: 0 for
// nothing, else 4096 doubled until it holds n (so below 2n once n > 4096).
uint64_t grown_capacity(uint64_t n) {
    if (n == 0) return 0;
    uint64_t cap = FIRST_CAPACITY;
    while (cap < n) cap *= 2;
    return cap;
}

// The most live bytes a file of `size` bytes may make the reader hold, from
// its own header fields (read here independently of the reader):
//   4 * frame_bytes          cur_frame and prev_frame (the player's, owned
//                            by the record), and the copies of both a seek
//                            keeps in scratch; frame_bytes = w * h * 2
//                            capped at 640 x 480 x 2 (a larger header is
//                            refused);
// + min(12 * frame_count, S) the index, modes 2 and 3 only: it must lie in
//                            the file, so never more than its size S (from
//                            a pipe, whose size is unknown, up to the
//                            format's 8 MiB);
// + grown_capacity(S)        the payload buffer: each payload must end
//                            inside the file, so the largest need is < S
//                            (from a pipe: KOMU_MAX_PIPE_PAYLOAD).
// The growable buffer is at most twice its need, but never below 4096
// bytes, which is why this is not simply 2 * S. (Run-length delta masks are
// applied in place: no mask is ever expanded.)
uint64_t live_bound(const uint8_t* data, size_t size, bool pipe, uint64_t* frame_bytes_out) {
    *frame_bytes_out = 0;
    if (size < KOMU_HEADER_BYTES) return 0;  // refused before anything is allocated
    komu_header h;
    std::memcpy(&h, data, sizeof h);
    uint64_t frame_bytes = uint64_t{h.width} * h.height * 2;
    if (frame_bytes > KOMU_MAX_FRAME_BYTES) frame_bytes = KOMU_MAX_FRAME_BYTES;
    *frame_bytes_out = frame_bytes;
    uint64_t index = 0;
    if (h.mode == KOMU_MODE_INDEXED || h.mode == KOMU_MODE_INDEXED_ALT) {
        index = uint64_t{KOMU_ENTRY_BYTES} * h.frame_count;
        if (index > (pipe ? KOMU_MAX_INDEX_BYTES : size)) index = pipe ? KOMU_MAX_INDEX_BYTES : size;
    }
    return 4 * frame_bytes + index + grown_capacity(pipe ? KOMU_MAX_PIPE_PAYLOAD : size);
}

// Live bytes of the reader's allocations, by block.
struct counter {
    void* ptr[MAX_BLOCKS];
    size_t bytes[MAX_BLOCKS];
    uint64_t live;
    uint64_t peak;
    uint64_t largest_block;  // bytes of the largest allocation not sized by the frame
    uint64_t frame_bytes;    // from the header, as in the bound
    uint64_t bound;
    uint64_t calls;
    uint64_t fail_at;  // 1-based call that fails; 0 none
};

counter g_count;

// The block holding p, or a free slot for p == nullptr.
int slot_of(const counter* c, const void* p) {
    for (int i = 0; i < MAX_BLOCKS; ++i) {
        if (c->ptr[i] == p) return i;
    }
    // p unknown: freeing or growing something the reader never allocated;
    // or no free slot: more live buffers than the record has.
    std::abort();
}

void* counting_realloc(void* ctx, void* p, size_t n) {
    auto* c = static_cast<counter*>(ctx);
    if (++c->calls == c->fail_at) return nullptr;  // as realloc: p stays valid
    const int slot = slot_of(c, p);  // found before realloc may free p
    void* q = std::realloc(p, n);
    if (q == nullptr) std::abort();
    c->live = c->live - c->bytes[slot] + n;
    c->ptr[slot] = q;
    c->bytes[slot] = n;
    if (c->live > c->peak) c->peak = c->live;
    if (n > c->largest_block && n != c->frame_bytes && n != 2 * c->frame_bytes &&
        n != grown_capacity(c->frame_bytes)) {
        c->largest_block = n;  // the index or the payload buffer
    }
    if (c->live > c->bound) {
        std::fprintf(stderr, "fuzz_reader: %llu live bytes, bound %llu\n",
                     static_cast<unsigned long long>(c->live),
                     static_cast<unsigned long long>(c->bound));
        std::abort();
    }
    return q;
}

void counting_free(void* ctx, void* p) {
    auto* c = static_cast<counter*>(ctx);
    const int slot = slot_of(c, p);
    c->live -= c->bytes[slot];
    c->ptr[slot] = nullptr;
    c->bytes[slot] = 0;
    std::free(p);
}

int open_descriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) std::abort();
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

uint64_t fnv1a(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

// Over all inputs: the largest allocation that the file's contents size
// (the index, the payload buffer; not the frames and the mask, which the
// header's width and height size), relative to the input's size, among all
// inputs and among those of 4 KiB or more (below, the buffers' first 4096
// bytes dominate); and the largest share of its bound any input reached.
struct stats {
    double any = 0, large = 0;  // allocation / input bytes
    uint64_t any_bytes = 0, large_bytes = 0;
    size_t any_input = 0, large_input = 0;
    double peak_per_bound = 0;
};
stats g_stats;

void print_stats() {
    std::fprintf(stderr,
                 "fuzz_reader stats: largest index/payload allocation %.2f x the input"
                 " (%llu bytes, %zu-byte input), %.2f x for inputs of 4 KiB or more"
                 " (%llu bytes, %zu-byte input); largest live / bound %.3f\n",
                 g_stats.any, static_cast<unsigned long long>(g_stats.any_bytes), g_stats.any_input,
                 g_stats.large, static_cast<unsigned long long>(g_stats.large_bytes),
                 g_stats.large_input, g_stats.peak_per_bound);
}

void note_stats(const counter& c, size_t size) {
    if (size == 0) return;
    const double ratio = double(c.largest_block) / double(size);
    if (ratio > g_stats.any) {
        g_stats.any = ratio;
        g_stats.any_bytes = c.largest_block;
        g_stats.any_input = size;
    }
    if (size >= FIRST_CAPACITY && ratio > g_stats.large) {
        g_stats.large = ratio;
        g_stats.large_bytes = c.largest_block;
        g_stats.large_input = size;
    }
    if (c.bound > 0 && double(c.peak) / double(c.bound) > g_stats.peak_per_bound) {
        g_stats.peak_per_bound = double(c.peak) / double(c.bound);
    }
}

// The record as a failed seek must leave it.
struct seek_state {
    uint32_t next_index, consumed;
    uint64_t pictures;
    off_t offset;
    bool operator==(const seek_state&) const = default;
};
seek_state state_of(const komu_stream* s) {
    const bool frames = s->cur_frame != nullptr && s->prev_frame != nullptr;
    return {s->next_index, s->consumed,
            frames ? fnv1a(s->cur_frame, s->frame_bytes) * 3 + fnv1a(s->prev_frame, s->frame_bytes) : 0,
            s->fd >= 0 ? lseek(s->fd, 0, SEEK_CUR) : -1};
}

// Seeks to frames picked by `pick`: each lands where asked or fails with a
// reason, changing nothing; then the stream decodes on.
void seek_around(komu_stream* s, uint64_t pick) {
    for (int i = 0; i < 3; ++i, pick >>= 16) {
        const uint32_t frames = static_cast<uint32_t>(pick % (uint64_t{s->header.frame_count} + 2));
        const seek_state before = state_of(s);
        const int r = komu_seek(s, frames);
        if (r == 0 && s->next_index != frames) std::abort();
        if (r != 0 && (r != -1 || s->failure.code == KOMU_FAIL_NONE || !(state_of(s) == before))) {
            std::abort();
        }
    }
    for (int i = 0; i < 2; ++i) {
        const int r = komu_decode_next(s);
        if (r < -1 || r > 1) std::abort();
    }
}

// Start-up and playback, as the player does them; the stream is closed on return.
void play(komu_stream* s, const char* path, uint64_t pick) {
    // Every failure says why: a reason after a failed open, and a reason and
    // a frame after a failed decode.
    if (komu_open_stream(s, path) != 0) {
        if (s->failure.code == KOMU_FAIL_NONE) std::abort();
        return;
    }
    s->frame_interval_us = komu_frame_interval_us(s->header.fps_num, s->header.fps_den);
    if (s->frame_interval_us < 1'000 || s->frame_interval_us > 200'000) std::abort();
    for (int call = 0; call < MAX_DECODE_CALLS; ++call) {
        const int r = komu_decode_next(s);
        if (r == 0) {
            if (s->next_index < 1 || s->next_index > s->header.frame_count) std::abort();
            continue;
        }
        if (r != 1 && r != -1) std::abort();
        if (r == -1 && (s->failure.code == KOMU_FAIL_NONE || s->failure.frame == 0)) std::abort();
        break;
    }
    seek_around(s, pick);
}

// The input in a pipe whose writing end is closed, when it fits: the
// reading end, or -1.
int piped(const uint8_t* data, size_t size) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
    const int room = fcntl(fds[1], F_GETPIPE_SZ);
    if (room < 0 || size > static_cast<size_t>(room)) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fds[1], data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
    close(fds[1]);
    return fds[0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool want_stats = [] {
        const char* v = std::getenv("KOMU_FUZZ_STATS");
        if (v && *v && *v != '0') std::atexit(print_stats);
        return true;
    }();
    (void)want_stats;

    const int fds_before = open_descriptors();
    const uint64_t h = fnv1a(data, size);
    int mem = (h >> 3) % 4 == 0 ? piped(data, size) : -1;
    const bool pipe = mem >= 0;
    if (!pipe) {
        mem = memfd_create("komu_fuzz", MFD_CLOEXEC);
        if (mem < 0) std::abort();
        for (size_t done = 0; done < size;) {
            const ssize_t n = write(mem, data + done, size - done);
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", mem);

    g_count = counter{};
    g_count.bound = live_bound(data, size, pipe, &g_count.frame_bytes);
    if (h % 8 == 0) g_count.fail_at = 1 + (h / 8) % 6;
    const komu_alloc_hooks hooks{counting_realloc, counting_free, &g_count};
    komu_set_alloc_hooks(&hooks);

    komu_stream s;
    play(&s, path, h >> 5);
    komu_close(&s);
    if (s.fd != -1 || s.index != nullptr || s.payload != nullptr) std::abort();

    komu_set_alloc_hooks(nullptr);
    if (g_count.live != 0) {
        std::fprintf(stderr, "fuzz_reader: %llu bytes live after komu_close\n",
                     static_cast<unsigned long long>(g_count.live));
        std::abort();
    }
    note_stats(g_count, size);
    close(mem);
    if (open_descriptors() != fds_before) {
        std::fprintf(stderr, "fuzz_reader: a descriptor was left open\n");
        std::abort();
    }
    return 0;
}
