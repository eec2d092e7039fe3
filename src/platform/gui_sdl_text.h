// Text for the SDL window backend: fontconfig's monospace font, rasterised
// once into a glyph atlas, drawn cell by cell. Used by gui_sdl.cpp only.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdint>

struct sdl_text {
    TTF_Font* font;          // null when no font could be opened: no text then
    SDL_Texture* atlas;      // the printable ASCII glyphs side by side, white on clear
    int32_t cell_w, cell_h;  // a cell's size, pixels: advance x inked rows
    int32_t cell_y;          // atlas row where the cells start
};

// Opens the font and builds the atlas for renderer. False (and *text empty)
// when there is no usable font; the window then works without text.
bool sdl_text_open(sdl_text* text, SDL_Renderer* renderer);
// One line, the top of its ink at (x, y), in colour 0xRRGGBB. Characters
// outside printable ASCII are drawn as '?'.
void sdl_text_draw(const sdl_text* text, SDL_Renderer* renderer, int32_t x, int32_t y,
                   uint32_t color, const char* line);
// The renderer's textures were lost (a device reset): rasterise again.
void sdl_text_rebuild(sdl_text* text, SDL_Renderer* renderer);
void sdl_text_close(sdl_text* text);
