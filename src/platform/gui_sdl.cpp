// The window server over SDL2: one resizable window, an SDL renderer (the
// software one unless SDL_RENDER_DRIVER says otherwise), the picture as one
// streaming texture, text from a glyph atlas rasterised once with
// SDL_ttf from fontconfig's monospace font, and SDL events translated into
// gui_event records. No SDL type leaves this file.
//
// Each pass's drawing is also kept as a short draw list so that an exposed
// or resized window can be repainted here, between the player's passes: the
// player redraws only when the picture changes.
#include <SDL.h>
#include <SDL_ttf.h>
#include <fontconfig/fontconfig.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "gui.h"

namespace {

constexpr int WINDOW_HANDLE = 1;
constexpr int INITIAL_W = 920;  // content pixels at first
constexpr int INITIAL_H = 560;

// Status text: the largest font size (pixels per em) from FONT_PX_MAX down
// to FONT_PX_MIN whose printable ASCII ink spans at most FONT_INK_ROWS rows
// and whose characters are at most FONT_ADVANCE_MAX pixels wide. Drawn from
// its ink's top, such a line sits in the player's 18-row bar a few rows below
// its top, and two texts of about 70 characters fit side by side in a
// 920-pixel window.
constexpr int FONT_PX_MAX = 13;
constexpr int FONT_PX_MIN = 7;
constexpr int FONT_INK_ROWS = 13;
constexpr int FONT_ADVANCE_MAX = 6;

// The atlas holds the printable ASCII characters, one fixed-width cell each.
constexpr int GLYPH_FIRST = 0x20;
constexpr int GLYPH_LAST = 0x7E;
constexpr int GLYPH_COUNT = GLYPH_LAST - GLYPH_FIRST + 1;

// Draw list of one pass. A pass draws a picture, a bar and a line or two, so
// these are generous; anything beyond them is drawn but not kept for repaint.
constexpr int MAX_OPS = 32;
constexpr int OP_TEXT_CAP = 128;  // bytes kept of a text, NUL included

enum op_kind : uint8_t { OP_BLIT, OP_FILL, OP_TEXT };

struct draw_op {
    op_kind kind;
    int32_t x, y, w, h;  // fill: the rect; blit: w x h = dst size; text: x, y
    uint32_t color;      // 0xRRGGBB
    char text[OP_TEXT_CAP];
};

struct sdl_gui {
    SDL_Window* window;
    SDL_Renderer* renderer;
    SDL_Texture* frame;          // the picture: XRGB8888 streaming texture, frame_w x frame_h
    int32_t frame_w, frame_h;    // 0 x 0 while there is no texture
    TTF_Font* font;              // null when no font could be opened: no text then
    SDL_Texture* atlas;          // GLYPH_COUNT cells side by side, white on clear
    int32_t cell_w, cell_h;      // a cell's size, pixels: advance x inked rows
    int32_t cell_y;              // atlas row where the cells start
    int32_t left_held;           // left button state after the last mouse event
    draw_op ops[MAX_OPS];        // the draw list of the last pass
    int32_t op_count;
};

sdl_gui g_gui;  // the one window; zero = not created

// --- the key table -----------------------------------------------------------

struct key_map {
    SDL_Keycode sym;
    uint32_t key;     // gui key code
    bool repeats;     // auto-repeat delivered (pan and zoom keys)
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
};

// The gui key code of a press, 0 when the key means nothing here. A printable
// key gives its unshifted character (keysym.sym), so Shift+'=' is still '='.
uint32_t translate_key(SDL_Keycode sym, bool repeat) {
    for (const key_map& entry : KEY_TABLE) {
        if (entry.sym == sym) return (repeat && !entry.repeats) ? 0 : entry.key;
    }
    if (repeat) return 0;
    if (sym >= GLYPH_FIRST && sym <= GLYPH_LAST) return static_cast<uint32_t>(sym);
    return 0;
}

// --- fonts ---------------------------------------------------------------------

// Copies fontconfig's file for "monospace" into path[cap]; false if none.
bool find_monospace_font(char* path, size_t cap) {
    if (!FcInit()) return false;
    bool found = false;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("monospace"));
    if (pattern) {
        FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        FcPattern* match = FcFontMatch(nullptr, pattern, &result);
        if (match) {
            FcChar8* file = nullptr;
            if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file &&
                std::strlen(reinterpret_cast<const char*>(file)) < cap) {
                std::strcpy(path, reinterpret_cast<const char*>(file));
                found = true;
            }
            FcPatternDestroy(match);
        }
        FcPatternDestroy(pattern);
    }
    return found;
}

// Rows from the top of the highest printable ASCII glyph to the bottom of the
// lowest, and the advance of 'M' (the font is fixed-width), in pixels.
void font_extent(TTF_Font* font, int* ink_rows, int* advance) {
    int top = 0, bottom = 0;
    for (int c = GLYPH_FIRST + 1; c <= GLYPH_LAST; ++c) {
        int miny = 0, maxy = 0;
        if (TTF_GlyphMetrics32(font, static_cast<Uint32>(c), nullptr, nullptr, &miny, &maxy,
                               nullptr) != 0) {
            continue;
        }
        top = maxy > top ? maxy : top;
        bottom = miny < bottom ? miny : bottom;
    }
    *ink_rows = top - bottom;
    *advance = 0;
    TTF_GlyphMetrics32(font, 'M', nullptr, nullptr, nullptr, nullptr, advance);
}

TTF_Font* open_status_font() {
    char path[1024];
    if (!find_monospace_font(path, sizeof path)) return nullptr;
    for (int px = FONT_PX_MAX; px >= FONT_PX_MIN; --px) {
        TTF_Font* font = TTF_OpenFont(path, px);
        if (!font) return nullptr;
        int ink_rows = 0, advance = 0;
        font_extent(font, &ink_rows, &advance);
        if ((ink_rows <= FONT_INK_ROWS && advance <= FONT_ADVANCE_MAX) || px == FONT_PX_MIN) {
            return font;
        }
        TTF_CloseFont(font);
    }
    return nullptr;
}

// Rasterises the printable ASCII glyphs, white with coverage as alpha, into
// one texture of fixed-width cells; text is then drawn cell by cell, tinted
// with the texture's colour modulation. A cell is the rows between the top of
// the highest ink and the bottom of the lowest, found in the rasterised
// glyphs themselves, so a text's y is the top of its ink. False when anything
// fails.
bool build_glyph_atlas(sdl_gui* gui) {
    int advance = 0;
    if (TTF_GlyphMetrics32(gui->font, 'M', nullptr, nullptr, nullptr, nullptr, &advance) != 0 ||
        advance <= 0) {
        return false;
    }
    const int line_h = TTF_FontHeight(gui->font);
    if (line_h <= 0) return false;
    gui->cell_w = advance;

    SDL_Surface* sheet = SDL_CreateRGBSurfaceWithFormat(0, GLYPH_COUNT * advance, line_h, 32,
                                                        SDL_PIXELFORMAT_ARGB8888);
    if (!sheet) return false;
    SDL_FillRect(sheet, nullptr, 0);  // fully transparent
    const SDL_Color white = {255, 255, 255, 255};
    for (int c = GLYPH_FIRST + 1; c <= GLYPH_LAST; ++c) {  // the space cell stays clear
        SDL_Surface* glyph = TTF_RenderGlyph32_Blended(gui->font, static_cast<Uint32>(c), white);
        if (!glyph) continue;
        // The glyph surface starts at the ink's left edge when that lies left
        // of the pen (minx < 0); the cell starts at the pen.
        int minx = 0;
        TTF_GlyphMetrics32(gui->font, static_cast<Uint32>(c), &minx, nullptr, nullptr, nullptr,
                           nullptr);
        SDL_Rect src = {minx < 0 ? -minx : 0, 0, advance, line_h};
        SDL_Rect dst = {(c - GLYPH_FIRST) * advance, 0, advance, line_h};
        SDL_SetSurfaceBlendMode(glyph, SDL_BLENDMODE_NONE);  // copy the coverage as it is
        SDL_BlitSurface(glyph, &src, sheet, &dst);
        SDL_FreeSurface(glyph);
    }

    // The inked rows of the sheet.
    int first = -1, last = -1;
    for (int row = 0; row < line_h; ++row) {
        const auto* px = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(sheet->pixels) +
                                                           static_cast<ptrdiff_t>(row) * sheet->pitch);
        for (int x = 0; x < sheet->w; ++x) {
            if (px[x] >> 24) {
                if (first < 0) first = row;
                last = row;
                break;
            }
        }
    }
    gui->cell_y = first < 0 ? 0 : first;
    gui->cell_h = first < 0 ? line_h : last - first + 1;

    gui->atlas = SDL_CreateTextureFromSurface(gui->renderer, sheet);
    SDL_FreeSurface(sheet);
    if (!gui->atlas) return false;
    SDL_SetTextureBlendMode(gui->atlas, SDL_BLENDMODE_BLEND);
    return true;
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

void clear_window(sdl_gui* gui) {
    apply_output_scale(gui);
    SDL_SetRenderDrawColor(gui->renderer, 0, 0, 0, 255);
    SDL_RenderClear(gui->renderer);
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

void draw_frame(sdl_gui* gui, int32_t dst_w, int32_t dst_h) {
    if (!gui->frame) return;
    const SDL_Rect dst = {0, 0, dst_w, dst_h};
    SDL_RenderCopy(gui->renderer, gui->frame, nullptr, &dst);
}

void draw_fill(sdl_gui* gui, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t color) {
    set_draw_color(gui->renderer, color);
    const SDL_Rect rect = {x, y, w, h};
    SDL_RenderFillRect(gui->renderer, &rect);
}

void draw_text(sdl_gui* gui, int32_t x, int32_t y, uint32_t color, const char* text) {
    if (!gui->atlas) return;
    SDL_SetTextureColorMod(gui->atlas, static_cast<Uint8>(color >> 16),
                           static_cast<Uint8>(color >> 8), static_cast<Uint8>(color));
    SDL_Rect src = {0, gui->cell_y, gui->cell_w, gui->cell_h};
    SDL_Rect dst = {x, y, gui->cell_w, gui->cell_h};
    for (const char* p = text; *p; ++p, dst.x += gui->cell_w) {
        int c = static_cast<unsigned char>(*p);
        if (c == ' ') continue;
        if (c < GLYPH_FIRST || c > GLYPH_LAST) c = '?';
        src.x = (c - GLYPH_FIRST) * gui->cell_w;
        SDL_RenderCopy(gui->renderer, gui->atlas, &src, &dst);
    }
}

// The next free draw-list entry, or null when the list is full.
draw_op* record_op(sdl_gui* gui, op_kind kind) {
    if (gui->op_count >= MAX_OPS) return nullptr;
    draw_op* op = &gui->ops[gui->op_count++];
    op->kind = kind;
    return op;
}

// Repaints the last pass from the draw list: the picture is still in its
// texture, the rest is a few rects and strings.
void repaint(sdl_gui* gui) {
    clear_window(gui);
    for (int32_t i = 0; i < gui->op_count; ++i) {
        const draw_op& op = gui->ops[i];
        switch (op.kind) {
            case OP_BLIT: draw_frame(gui, op.w, op.h); break;
            case OP_FILL: draw_fill(gui, op.x, op.y, op.w, op.h, op.color); break;
            case OP_TEXT: draw_text(gui, op.x, op.y, op.color, op.text); break;
        }
    }
    SDL_RenderPresent(gui->renderer);
}

// Textures of a reset device are gone: drop the picture (the next blit makes
// a new one) and rasterise the atlas again.
void recreate_textures(sdl_gui* gui) {
    if (gui->frame) SDL_DestroyTexture(gui->frame);
    gui->frame = nullptr;
    gui->frame_w = gui->frame_h = 0;
    if (gui->atlas) SDL_DestroyTexture(gui->atlas);
    gui->atlas = nullptr;
    if (gui->font) build_glyph_atlas(gui);
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
            const uint32_t key = translate_key(ev.key.keysym.sym, ev.key.repeat != 0);
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
                    repaint(gui);
                    return false;
                default:
                    return false;
            }
        case SDL_RENDER_TARGETS_RESET:
            repaint(gui);
            return false;
        case SDL_RENDER_DEVICE_RESET:
            recreate_textures(gui);
            repaint(gui);
            return false;
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
    if (gui->atlas) SDL_DestroyTexture(gui->atlas);
    if (gui->frame) SDL_DestroyTexture(gui->frame);
    if (gui->font) TTF_CloseFont(gui->font);
    if (TTF_WasInit()) TTF_Quit();
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
    (void)help;  // the player shows its help in the status bar
    sdl_gui* gui = &g_gui;
    if (gui->renderer) return -1;  // one window per run

    // Nothing may be printed when no window can be made: the caller says so.
    SDL_LogOutputFunction saved_log = nullptr;
    void* saved_log_data = nullptr;
    SDL_LogGetOutputFunction(&saved_log, &saved_log_data);
    SDL_LogSetOutputFunction(discard_log, nullptr);
    const int saved_stderr = mute_stderr();

    // The picture is at most 320 x 200 stretched to the window: the software
    // renderer does that cheaply and keeps no GPU context. SDL_RENDER_DRIVER
    // in the environment still chooses another.
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

    // Without a font the window still works, only without text.
    if (TTF_Init() == 0) {
        gui->font = open_status_font();
        if (gui->font) {
            TTF_SetFontKerning(gui->font, 0);  // fixed cells
            if (!build_glyph_atlas(gui)) {
                TTF_CloseFont(gui->font);
                gui->font = nullptr;
            }
        }
    }
    unmute_stderr(saved_stderr);
    SDL_LogSetOutputFunction(saved_log, saved_log_data);
    std::atexit(shut_down);
    return WINDOW_HANDLE;
}

int gui_begin(int window) {
    sdl_gui* gui = window_of(window);
    if (!gui) return -1;
    gui->op_count = 0;
    // No clear: a pass draws the picture over the whole video area and the
    // bar under it, which together cover the content.
    apply_output_scale(gui);
    return 0;
}

int gui_fill_rect(int window, const gui_rect_desc* rect) {
    sdl_gui* gui = window_of(window);
    if (!gui || !rect) return -1;
    if (draw_op* op = record_op(gui, OP_FILL)) {
        op->x = rect->x;
        op->y = rect->y;
        op->w = rect->w;
        op->h = rect->h;
        op->color = rect->color;
    }
    draw_fill(gui, rect->x, rect->y, rect->w, rect->h, rect->color);
    return 0;
}

int gui_draw_text(int window, const gui_text_desc* text) {
    sdl_gui* gui = window_of(window);
    if (!gui || !text || !text->text) return -1;
    if (draw_op* op = record_op(gui, OP_TEXT)) {
        op->x = text->x;
        op->y = text->y;
        op->color = text->color;
        size_t n = 0;
        while (n + 1 < OP_TEXT_CAP && text->text[n]) {
            op->text[n] = text->text[n];
            ++n;
        }
        op->text[n] = '\0';
    }
    draw_text(gui, text->x, text->y, text->color, text->text);
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
    if (draw_op* op = record_op(gui, OP_BLIT)) {
        op->x = op->y = 0;
        op->w = blit->dst_w;
        op->h = blit->dst_h;
    }
    draw_frame(gui, blit->dst_w, blit->dst_h);
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

uint32_t time_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                        static_cast<uint64_t>(now.tv_nsec) / 1'000'000u;
    return static_cast<uint32_t>(ms);  // wraps at 2^32 by design
}

int sleep_us(uint32_t us) {
    timespec left{};
    left.tv_sec = static_cast<time_t>(us / 1'000'000u);
    left.tv_nsec = static_cast<long>(us % 1'000'000u) * 1000L;
    timespec rest{};
    while (nanosleep(&left, &rest) != 0) {
        if (errno != EINTR) return -1;
        left = rest;  // a signal cut it short: sleep the remainder
    }
    return 0;
}
