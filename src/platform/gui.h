// The window server and clock, as the player sees them.
//
// One window, drawn as a whole on each pass: gui_begin, then blits, fills and
// texts, then gui_present. Input arrives as gui_event records from a
// non-blocking poll, and the player may wait for the next one with a
// time-out. Time is a millisecond counter and a microsecond sleep.
//
// The window's size and fullscreen state are the server's: the player may
// ask for a content size or for fullscreen, and learns what it got from
// gui_get_content_size on a later pass (a change comes with an expose). A
// server that cannot do one of these answers -1 and nothing changes.
//
// Each backend implements every call in one source file, and the build links
// exactly one: SDL2 for the real program, a scripted in-memory one for the
// tests, the target system's system calls for a 32-bit build there. Nothing
// here depends on a backend.
#pragma once

#include <cstdint>

// gui_event.type
inline constexpr int32_t GUI_EVENT_KEY = 1;    // one per press, none for releases
inline constexpr int32_t GUI_EVENT_MOUSE = 2;  // motion, button or wheel
inline constexpr int32_t GUI_EVENT_CLOSE = 3;  // the window's close button
// The server lost the window's contents (uncovered, resized, a reset
// device): the next pass must draw everything again. No other fields.
inline constexpr int32_t GUI_EVENT_EXPOSE = 4;

// Key codes beyond characters (a character key gives its character code).
inline constexpr uint32_t GUI_KEY_ESC = 27;
inline constexpr uint32_t GUI_KEY_DOWN = 0x1001;
inline constexpr uint32_t GUI_KEY_UP = 0x1002;
inline constexpr uint32_t GUI_KEY_RIGHT = 0x1003;
inline constexpr uint32_t GUI_KEY_LEFT = 0x1004;
inline constexpr uint32_t GUI_KEY_ZOOM_IN = 0x2102;   // keypad plus
inline constexpr uint32_t GUI_KEY_ZOOM_OUT = 0x2103;  // keypad minus
// Further keys. Their low bytes (5 to 0x0B) are no character a binding
// matches on, so only their full codes mean anything.
inline constexpr uint32_t GUI_KEY_HOME = 0x1005;
inline constexpr uint32_t GUI_KEY_END = 0x1006;
inline constexpr uint32_t GUI_KEY_PAGE_UP = 0x1007;
inline constexpr uint32_t GUI_KEY_PAGE_DOWN = 0x1008;
inline constexpr uint32_t GUI_KEY_F11 = 0x100B;
// Added to the code of a non-character key pressed with Shift (Shift+Right
// is GUI_KEY_RIGHT | GUI_KEY_SHIFT, a code of its own). Character keys give
// their unshifted character and never carry it.
inline constexpr uint32_t GUI_KEY_SHIFT = 0x10000;

// gui_event.buttons
inline constexpr int32_t GUI_BUTTON_LEFT = 1;

struct gui_size {
    int32_t w, h;  // content pixels
};

// Not cleared between polls: the server fills every field of the type it
// delivers, so only those fields may be read.
struct gui_event {
    int32_t type;
    union {
        uint32_t key;  // GUI_EVENT_KEY
        int32_t x;     // GUI_EVENT_MOUSE: pointer, content pixels
    };
    int32_t y;
    int32_t buttons;  // bit 0: left button held
    int32_t wheel;    // > 0 away from the user (zoom in), < 0 towards, 0 none
};

struct gui_rect_desc {
    int32_t x, y, w, h;
    uint32_t color;  // 0xRRGGBB
};

struct gui_text_desc {
    int32_t x, y;  // top-left of the line
    uint32_t color;  // 0xRRGGBB
    const char* text;  // NUL-terminated, one line
};

// src_w x src_h RGB565 pixels, row-major, stretched over dst_w x dst_h at the
// content's top-left.
struct gui_blit_desc {
    int32_t src_w, src_h;
    const uint16_t* pixels;
    int32_t dst_w, dst_h;
};

// A handle >= 0, or negative when no window can be made.
int gui_create(const char* title, const char* help);
// 0 when drawing may start.
int gui_begin(int window);
int gui_fill_rect(int window, const gui_rect_desc* rect);
int gui_draw_text(int window, const gui_text_desc* text);
int gui_blit_rgb565(int window, const gui_blit_desc* blit);
int gui_present(int window);
// Never blocks: > 0 one event stored in *event; <= 0 none pending.
int gui_poll_event(int window, gui_event* event);
// Stores the content size; it may stay 0 x 0.
int gui_get_content_size(int window, gui_size* size);
// On while the window is open (holds off the screen saver); off at the end.
int gui_set_continuous_redraw(int window, int on);

// Waits until an event is pending or timeout_ms milliseconds have passed;
// a negative timeout_ms waits for an event however long it takes. > 0: an
// event is pending, and the next gui_poll_event delivers it; 0: the time
// passed with none; < 0: the server cannot wait (nothing was waited).
int gui_wait_event(int window, int32_t timeout_ms);
// Stores the size of the screen area a window may use (the screen the window
// is on, less the server's own panels), content pixels. -1 and 0 x 0 when
// the server cannot tell.
int gui_get_screen_size(int window, gui_size* size);
// Asks for a content size of size->w x size->h. The server may grant, adjust
// or ignore it. 0 when asked; -1 when the server cannot resize its windows.
int gui_request_content_size(int window, const gui_size* size);
// Asks for the window to cover its screen (on non-zero) or to come back to
// its size before (0). 0 when asked; -1 when the server cannot.
int gui_set_fullscreen(int window, int on);

// Milliseconds from a fixed start, never decreasing, wrapping at 2^32.
uint32_t time_ms();
// Sleeps about us microseconds.
int sleep_us(uint32_t us);
