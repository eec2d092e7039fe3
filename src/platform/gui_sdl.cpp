// The window server over SDL2: one resizable window, an SDL renderer (the
// software one unless SDL_RENDER_DRIVER says otherwise), the picture as one
// streaming texture, and SDL events translated into gui_event records. Text
// is gui_sdl_text.cpp's, the clock gui_clock_posix.cpp's. No SDL type leaves
// the backend.
//
// Nothing is kept of a pass's drawing: when the window's contents are lost
// (uncovered, resized, a reset device) the caller gets GUI_EVENT_EXPOSE and
// draws everything again.
#include <SDL.h>
#include <SDL_ttf.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gui.h"
#include "gui_sdl_text.h"

namespace {

constexpr int WINDOW_HANDLE = 1;
constexpr int INITIAL_W = 920;  // content pixels at first
constexpr int INITIAL_H = 560;

struct sdl_gui {
    SDL_Window* window;
    SDL_Renderer* renderer;
    SDL_Texture* frame;          // the picture: XRGB8888 streaming texture, frame_w x frame_h
    int32_t frame_w, frame_h;    // 0 x 0 while there is no texture
    sdl_text text;
    int32_t left_held;           // left button state after the last mouse event
};

sdl_gui g_gui;  // the one window; zero = not created

// --- the key table -----------------------------------------------------------

struct key_map {
    SDL_Keycode sym;
    uint32_t key;     // gui key code
    bool repeats;     // auto-repeat delivered (pan, zoom, seek and step keys)
};

constexpr key_map KEY_TABLE[] = {
    {SDLK_ESCAPE, GUI_KEY_ESC, false},
    {SDLK_DOWN, GUI_KEY_DOWN, true},
    {SDLK_UP, GUI_KEY_UP, true},
    {SDLK_RIGHT, GUI_KEY_RIGHT, true},
    {SDLK_LEFT, GUI_KEY_LEFT, true},
    {SDLK_KP_PLUS, GUI_KEY_ZOOM_IN, true},
    {SDLK_KP_MINUS, GUI_KEY_ZOOM_OUT, true},
    {SDLK_PLUS, '+', true},
    {SDLK_EQUALS, '=', true},
    {SDLK_MINUS, '-', true},
    {SDLK_UNDERSCORE, '_', true},
    {SDLK_PERIOD, '.', true},  // frame steps: held, they step on
    {SDLK_COMMA, ',', true},
    {SDLK_HOME, GUI_KEY_HOME, false},
    {SDLK_END, GUI_KEY_END, false},
    {SDLK_PAGEUP, GUI_KEY_PAGE_UP, true},
    {SDLK_PAGEDOWN, GUI_KEY_PAGE_DOWN, true},
    {SDLK_F11, GUI_KEY_F11, false},
};

// The gui key code of a press, 0 when the key means nothing here. A printable
// key gives its unshifted character (keysym.sym), so Shift+'=' is still '=';
// other keys carry GUI_KEY_SHIFT when Shift is held.
uint32_t translate_key(SDL_Keycode sym, Uint16 mod, bool repeat) {
    for (const key_map& entry : KEY_TABLE) {
        if (entry.sym != sym) continue;
        if (repeat && !entry.repeats) return 0;
        const bool special = entry.key > 0xFF;
        return entry.key | ((special && (mod & KMOD_SHIFT)) ? GUI_KEY_SHIFT : 0);
    }
    if (repeat) return 0;
    if (sym >= ' ' && sym <= '~') return static_cast<uint32_t>(sym);  // printable ASCII
    return 0;
}

// --- drawing -----------------------------------------------------------------

// Keeps drawing coordinates in window (mouse) pixels when the output has more
// pixels than the window, as on high-density screens.
void apply_output_scale(sdl_gui* gui) {
    int win_w = 0, win_h = 0, out_w = 0, out_h = 0;
    SDL_GetWindowSize(gui->window, &win_w, &win_h);
    if (SDL_GetRendererOutputSize(gui->renderer, &out_w, &out_h) != 0) return;
    if (win_w <= 0 || win_h <= 0 || out_w <= 0 || out_h <= 0) return;
    SDL_RenderSetScale(gui->renderer, static_cast<float>(out_w) / static_cast<float>(win_w),
                       static_cast<float>(out_h) / static_cast<float>(win_h));
}

void set_draw_color(SDL_Renderer* renderer, uint32_t rgb) {
    SDL_SetRenderDrawColor(renderer, static_cast<Uint8>(rgb >> 16), static_cast<Uint8>(rgb >> 8),
                           static_cast<Uint8>(rgb), 255);
}

// RGB565 to XRGB8888, each channel widened by repeating its top bits (so 0
// stays 0 and full stays 255). The picture's texture is 32-bit because the
// software renderer stretches a 16-bit texture onto a 32-bit window through
// its generic per-pixel path, about five times the cost of this conversion
// plus a same-format stretch.
void expand_row(const uint16_t* src, uint32_t* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t p = src[i];
        const uint32_t r = (p >> 11) & 0x1F, g = (p >> 5) & 0x3F, b = p & 0x1F;
        dst[i] = ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
    }
}

// Textures of a reset device are gone: drop the picture (the next blit makes
// a new one) and rasterise the text again.
void recreate_textures(sdl_gui* gui) {
    if (gui->frame) SDL_DestroyTexture(gui->frame);
    gui->frame = nullptr;
    gui->frame_w = gui->frame_h = 0;
    sdl_text_rebuild(&gui->text, gui->renderer);
}

// --- events ------------------------------------------------------------------

void store_mouse(gui_event* event, int32_t x, int32_t y, int32_t buttons, int32_t wheel) {
    event->type = GUI_EVENT_MOUSE;
    event->x = x;
    event->y = y;
    event->buttons = buttons;
    event->wheel = wheel;
}

// Translates one SDL event; true when it maps to a gui event.
bool translate_event(sdl_gui* gui, const SDL_Event& ev, gui_event* out) {
    switch (ev.type) {
        case SDL_KEYDOWN: {
            const uint32_t key = translate_key(ev.key.keysym.sym, ev.key.keysym.mod, ev.key.repeat != 0);
            if (key == 0) return false;
            out->type = GUI_EVENT_KEY;
            out->key = key;
            return true;
        }
        case SDL_MOUSEMOTION:
            gui->left_held = (ev.motion.state & SDL_BUTTON_LMASK) ? GUI_BUTTON_LEFT : 0;
            store_mouse(out, ev.motion.x, ev.motion.y, gui->left_held, 0);
            return true;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            if (ev.button.button == SDL_BUTTON_LEFT) {
                gui->left_held = ev.type == SDL_MOUSEBUTTONDOWN ? GUI_BUTTON_LEFT : 0;
            }
            store_mouse(out, ev.button.x, ev.button.y, gui->left_held, 0);
            return true;
        case SDL_MOUSEWHEEL: {
            int32_t steps = ev.wheel.y;
            if (ev.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) steps = -steps;
            if (steps == 0) return false;  // sideways scrolling means nothing here
            int x = 0, y = 0;
#if SDL_VERSION_ATLEAST(2, 26, 0)
            x = ev.wheel.mouseX;
            y = ev.wheel.mouseY;
#else
            SDL_GetMouseState(&x, &y);
#endif
            store_mouse(out, x, y, gui->left_held, steps > 0 ? 1 : -1);
            return true;
        }
        case SDL_QUIT:
            out->type = GUI_EVENT_CLOSE;
            return true;
        case SDL_WINDOWEVENT:
            switch (ev.window.event) {
                case SDL_WINDOWEVENT_CLOSE:
                    out->type = GUI_EVENT_CLOSE;
                    return true;
                case SDL_WINDOWEVENT_EXPOSED:
                case SDL_WINDOWEVENT_SIZE_CHANGED:
                    out->type = GUI_EVENT_EXPOSE;
                    return true;
                default:
                    return false;
            }
        case SDL_RENDER_TARGETS_RESET:
            out->type = GUI_EVENT_EXPOSE;
            return true;
        case SDL_RENDER_DEVICE_RESET:
            recreate_textures(gui);
            out->type = GUI_EVENT_EXPOSE;
            return true;
        default:
            return false;
    }
}

void discard_log(void*, int, SDL_LogPriority, const char*) {}

// Drivers that make no visible window; used only when SDL_VIDEODRIVER names them.
bool is_headless_driver(const char* name) {
    return SDL_strcasecmp(name, "offscreen") == 0 || SDL_strcasecmp(name, "dummy") == 0 ||
           SDL_strcasecmp(name, "evdev") == 0;
}

// Starts SDL's video on the first driver that can show a window. 0 on success.
int init_video() {
    const char* wanted = SDL_getenv("SDL_VIDEODRIVER");
    if (wanted && *wanted) return SDL_Init(SDL_INIT_VIDEO);
    for (int i = 0; i < SDL_GetNumVideoDrivers(); ++i) {
        const char* name = SDL_GetVideoDriver(i);
        if (!name || is_headless_driver(name)) continue;
        SDL_SetHint(SDL_HINT_VIDEODRIVER, name);
        if (SDL_Init(SDL_INIT_VIDEO) == 0) return 0;
    }
    return -1;
}

// Points standard error at /dev/null while a window is being made: the
// display libraries print their own complaints when there is no display, and
// the caller prints the one line the user sees. Returns the saved descriptor
// for unmute_stderr, or -1 when nothing was changed.
int mute_stderr() {
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) return -1;
    const int saved = dup(STDERR_FILENO);
    if (saved >= 0 && dup2(null_fd, STDERR_FILENO) < 0) {
        close(saved);
        close(null_fd);
        return -1;
    }
    close(null_fd);
    return saved;
}

void unmute_stderr(int saved) {
    if (saved < 0) return;
    dup2(saved, STDERR_FILENO);
    close(saved);
}

void shut_down() {
    sdl_gui* gui = &g_gui;
    sdl_text_close(&gui->text);
    if (gui->frame) SDL_DestroyTexture(gui->frame);
    if (gui->renderer) SDL_DestroyRenderer(gui->renderer);
    if (gui->window) SDL_DestroyWindow(gui->window);
    SDL_Quit();
    *gui = sdl_gui{};
}

sdl_gui* window_of(int window) {
    return (window == WINDOW_HANDLE && g_gui.renderer) ? &g_gui : nullptr;
}

}  // namespace

int gui_create(const char* title, const char* help) {
    (void)help;  // the window shows no help of its own: the caller draws what it needs
    sdl_gui* gui = &g_gui;
    if (gui->renderer) return -1;  // one window per run

    // Nothing may be printed when no window can be made: the caller says so.
    SDL_LogOutputFunction saved_log = nullptr;
    void* saved_log_data = nullptr;
    SDL_LogGetOutputFunction(&saved_log, &saved_log_data);
    SDL_LogSetOutputFunction(discard_log, nullptr);
    const int saved_stderr = mute_stderr();

    // Stretching one small picture over the window is cheap in the software
    // renderer, which keeps no GPU context. SDL_RENDER_DRIVER in the
    // environment still chooses another.
    SDL_SetHint(SDL_HINT_RENDER_DRIVER, "software");
    // The software renderer then writes to the window's own framebuffer
    // (shared memory on X11) rather than through a GL texture.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    SDL_SetHint(SDL_HINT_RENDER_VSYNC, "0");            // pacing is the caller's
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "0");    // nearest pixel
    if (init_video() != 0) {
        SDL_Quit();
        unmute_stderr(saved_stderr);
        SDL_LogSetOutputFunction(saved_log, saved_log_data);
        return -1;
    }
    gui->window = SDL_CreateWindow(title ? title : "", SDL_WINDOWPOS_UNDEFINED,
                                   SDL_WINDOWPOS_UNDEFINED, INITIAL_W, INITIAL_H,
                                   SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
    if (gui->window) gui->renderer = SDL_CreateRenderer(gui->window, -1, 0);
    if (!gui->renderer) {
        shut_down();
        unmute_stderr(saved_stderr);
        SDL_LogSetOutputFunction(saved_log, saved_log_data);
        return -1;
    }
    SDL_StopTextInput();  // key presses are all we read

    sdl_text_open(&gui->text, gui->renderer);  // without a font the window works, only without text
    unmute_stderr(saved_stderr);
    SDL_LogSetOutputFunction(saved_log, saved_log_data);
    std::atexit(shut_down);
    return WINDOW_HANDLE;
}

int gui_begin(int window) {
    sdl_gui* gui = window_of(window);
    if (!gui) return -1;
    // No clear: the caller draws over the whole content on every pass.
    apply_output_scale(gui);
    return 0;
}

int gui_fill_rect(int window, const gui_rect_desc* rect) {
    sdl_gui* gui = window_of(window);
    if (!gui || !rect) return -1;
    set_draw_color(gui->renderer, rect->color);
    const SDL_Rect r = {rect->x, rect->y, rect->w, rect->h};
    SDL_RenderFillRect(gui->renderer, &r);
    return 0;
}

int gui_draw_text(int window, const gui_text_desc* text) {
    sdl_gui* gui = window_of(window);
    if (!gui || !text || !text->text) return -1;
    sdl_text_draw(&gui->text, gui->renderer, text->x, text->y, text->color, text->text);
    return 0;
}

int gui_blit_rgb565(int window, const gui_blit_desc* blit) {
    sdl_gui* gui = window_of(window);
    if (!gui || !blit || !blit->pixels || blit->src_w <= 0 || blit->src_h <= 0) return -1;
    if (!gui->frame || gui->frame_w != blit->src_w || gui->frame_h != blit->src_h) {
        if (gui->frame) SDL_DestroyTexture(gui->frame);
        gui->frame = SDL_CreateTexture(gui->renderer, SDL_PIXELFORMAT_RGB888,
                                       SDL_TEXTUREACCESS_STREAMING, blit->src_w, blit->src_h);
        if (!gui->frame) {
            gui->frame_w = gui->frame_h = 0;
            return -1;
        }
        SDL_SetTextureScaleMode(gui->frame, SDL_ScaleModeNearest);
        gui->frame_w = blit->src_w;
        gui->frame_h = blit->src_h;
    }
    void* texels = nullptr;
    int pitch = 0;  // bytes per texture row
    if (SDL_LockTexture(gui->frame, nullptr, &texels, &pitch) != 0) return -1;
    const uint16_t* src = blit->pixels;
    for (int32_t row = 0; row < blit->src_h; ++row, src += blit->src_w) {
        expand_row(src, reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(texels) +
                                                    static_cast<ptrdiff_t>(row) * pitch),
                   blit->src_w);
    }
    SDL_UnlockTexture(gui->frame);
    const SDL_Rect dst = {0, 0, blit->dst_w, blit->dst_h};
    SDL_RenderCopy(gui->renderer, gui->frame, nullptr, &dst);
    return 0;
}

int gui_present(int window) {
    sdl_gui* gui = window_of(window);
    if (!gui) return -1;
    SDL_RenderPresent(gui->renderer);
    return 0;
}

int gui_poll_event(int window, gui_event* event) {
    sdl_gui* gui = window_of(window);
    if (!gui || !event) return -1;
    SDL_Event ev;
    while (SDL_PollEvent(&ev)) {
        if (translate_event(gui, ev, event)) return 1;
    }
    return 0;
}

int gui_get_content_size(int window, gui_size* size) {
    sdl_gui* gui = window_of(window);
    if (!size) return -1;
    size->w = size->h = 0;
    if (!gui) return -1;
    int w = 0, h = 0;
    SDL_GetWindowSize(gui->window, &w, &h);
    size->w = w;
    size->h = h;
    return 0;
}

int gui_set_continuous_redraw(int window, int on) {
    if (!window_of(window)) return -1;
    if (on) {
        SDL_DisableScreenSaver();
    } else {
        SDL_EnableScreenSaver();
    }
    return 0;
}
