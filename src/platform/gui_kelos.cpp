// The window layer (gui.h) on the target system: every call is one system
// call, made with interrupt 0x80 on its 32-bit x86 build. The call number goes
// in eax, up to three arguments in ebx, ecx and edx, and the one 32-bit result
// comes back in eax; every other register is left as it was.
//
// Built only into cinepane-kelos, the target's program (CINEPANE_KELOS in
// CMakeLists.txt), with -m32 and -fno-pic. Its calls would mean other things
// to this machine's kernel: the tests run it under an emulator that traps
// them (tests/test_kelos_run.cpp).
#include <cstddef>
#include <cstdint>

#include "gui.h"

#if !defined(__i386__)
#error "gui_kelos.cpp is the target's 32-bit x86 binding: compile it with -m32"
#endif

// The records cross into the window server as they lie in memory, so their
// 32-bit layout is fixed: every field 4 bytes, pointers included.
static_assert(sizeof(void*) == 4, "pointers are 32-bit on the target");

static_assert(sizeof(gui_size) == 8);
static_assert(offsetof(gui_size, w) == 0);
static_assert(offsetof(gui_size, h) == 4);

static_assert(sizeof(gui_event) == 20);
static_assert(offsetof(gui_event, type) == 0);
static_assert(offsetof(gui_event, key) == 4);
static_assert(offsetof(gui_event, x) == 4);
static_assert(offsetof(gui_event, y) == 8);
static_assert(offsetof(gui_event, buttons) == 12);
static_assert(offsetof(gui_event, wheel) == 16);

static_assert(sizeof(gui_rect_desc) == 20);
static_assert(offsetof(gui_rect_desc, x) == 0);
static_assert(offsetof(gui_rect_desc, y) == 4);
static_assert(offsetof(gui_rect_desc, w) == 8);
static_assert(offsetof(gui_rect_desc, h) == 12);
static_assert(offsetof(gui_rect_desc, color) == 16);

static_assert(sizeof(gui_text_desc) == 16);
static_assert(offsetof(gui_text_desc, x) == 0);
static_assert(offsetof(gui_text_desc, y) == 4);
static_assert(offsetof(gui_text_desc, color) == 8);
static_assert(offsetof(gui_text_desc, text) == 12);

static_assert(sizeof(gui_blit_desc) == 20);
static_assert(offsetof(gui_blit_desc, src_w) == 0);
static_assert(offsetof(gui_blit_desc, src_h) == 4);
static_assert(offsetof(gui_blit_desc, pixels) == 8);
static_assert(offsetof(gui_blit_desc, dst_w) == 12);
static_assert(offsetof(gui_blit_desc, dst_h) == 16);

namespace {

// System call numbers.
enum : uint32_t {
    NR_GUI_CREATE = 8,
    NR_GUI_BEGIN = 10,
    NR_GUI_FILL_RECT = 12,
    NR_GUI_DRAW_TEXT = 13,
    NR_GUI_PRESENT = 14,
    NR_GUI_POLL_EVENT = 15,
    NR_GUI_GET_CONTENT_SIZE = 19,
    NR_USLEEP = 22,
    NR_GUI_SET_CONTINUOUS_REDRAW = 23,
    NR_GUI_BLIT_RGB565 = 24,
    NR_TIME_MS = 109,
};

// One helper per arity. Arguments and result are raw 32-bit words; the
// "memory" clobber is there because the server reads and writes the records
// the arguments point to. ebx is named as an input directly: the library is
// built without PIC, and GCC saves it itself where it is the PIC register.
uint32_t kcall0(uint32_t number) {
    uint32_t result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number) : "memory", "cc");
    return result;
}

uint32_t kcall1(uint32_t number, uint32_t a) {
    uint32_t result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a) : "memory", "cc");
    return result;
}

uint32_t kcall2(uint32_t number, uint32_t a, uint32_t b) {
    uint32_t result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b) : "memory", "cc");
    return result;
}

// A pointer as a system call argument.
uint32_t word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
// A signed value as a system call argument, and a result back as a signed int.
uint32_t word(int v) { return static_cast<uint32_t>(v); }
int result(uint32_t r) { return static_cast<int>(r); }

}  // namespace

int gui_create(const char* title, const char* help) {
    return result(kcall2(NR_GUI_CREATE, word(title), word(help)));
}

int gui_begin(int window) { return result(kcall1(NR_GUI_BEGIN, word(window))); }

int gui_fill_rect(int window, const gui_rect_desc* rect) {
    return result(kcall2(NR_GUI_FILL_RECT, word(window), word(rect)));
}

int gui_draw_text(int window, const gui_text_desc* text) {
    return result(kcall2(NR_GUI_DRAW_TEXT, word(window), word(text)));
}

int gui_blit_rgb565(int window, const gui_blit_desc* blit) {
    return result(kcall2(NR_GUI_BLIT_RGB565, word(window), word(blit)));
}

int gui_present(int window) { return result(kcall1(NR_GUI_PRESENT, word(window))); }

int gui_poll_event(int window, gui_event* event) {
    return result(kcall2(NR_GUI_POLL_EVENT, word(window), word(event)));
}

int gui_get_content_size(int window, gui_size* size) {
    return result(kcall2(NR_GUI_GET_CONTENT_SIZE, word(window), word(size)));
}

int gui_set_continuous_redraw(int window, int on) {
    return result(kcall2(NR_GUI_SET_CONTINUOUS_REDRAW, word(window), word(on)));
}

uint32_t time_ms() { return kcall0(NR_TIME_MS); }

int sleep_us(uint32_t us) { return result(kcall1(NR_USLEEP, us)); }
