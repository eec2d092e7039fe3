// Text for the SDL window backend: see gui_sdl_text.h.
#include "gui_sdl_text.h"

#include <fontconfig/fontconfig.h>

#include <cstddef>
#include <cstring>

namespace {

// The font size (pixels per em): the largest from FONT_PX_MAX down to
// FONT_PX_MIN whose printable ASCII ink spans at most FONT_INK_ROWS rows and
// whose characters are at most FONT_ADVANCE_MAX pixels wide: a compact
// interface font, so that two lines of about 70 characters fit side by side
// in a window some 900 pixels wide.
constexpr int FONT_PX_MAX = 13;
constexpr int FONT_PX_MIN = 7;
constexpr int FONT_INK_ROWS = 13;
constexpr int FONT_ADVANCE_MAX = 6;

// The atlas holds the printable ASCII characters, one fixed-width cell each.
constexpr int GLYPH_FIRST = 0x20;
constexpr int GLYPH_LAST = 0x7E;
constexpr int GLYPH_COUNT = GLYPH_LAST - GLYPH_FIRST + 1;

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
bool build_glyph_atlas(sdl_text* text, SDL_Renderer* renderer) {
    int advance = 0;
    if (TTF_GlyphMetrics32(text->font, 'M', nullptr, nullptr, nullptr, nullptr, &advance) != 0 ||
        advance <= 0) {
        return false;
    }
    const int line_h = TTF_FontHeight(text->font);
    if (line_h <= 0) return false;
    text->cell_w = advance;

    SDL_Surface* sheet = SDL_CreateRGBSurfaceWithFormat(0, GLYPH_COUNT * advance, line_h, 32,
                                                        SDL_PIXELFORMAT_ARGB8888);
    if (!sheet) return false;
    SDL_FillRect(sheet, nullptr, 0);  // fully transparent
    const SDL_Color white = {255, 255, 255, 255};
    for (int c = GLYPH_FIRST + 1; c <= GLYPH_LAST; ++c) {  // the space cell stays clear
        SDL_Surface* glyph = TTF_RenderGlyph32_Blended(text->font, static_cast<Uint32>(c), white);
        if (!glyph) continue;
        // The glyph surface starts at the ink's left edge when that lies left
        // of the pen (minx < 0); the cell starts at the pen.
        int minx = 0;
        TTF_GlyphMetrics32(text->font, static_cast<Uint32>(c), &minx, nullptr, nullptr, nullptr,
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
    text->cell_y = first < 0 ? 0 : first;
    text->cell_h = first < 0 ? line_h : last - first + 1;

    text->atlas = SDL_CreateTextureFromSurface(renderer, sheet);
    SDL_FreeSurface(sheet);
    if (!text->atlas) return false;
    SDL_SetTextureBlendMode(text->atlas, SDL_BLENDMODE_BLEND);
    return true;
}

}  // namespace

bool sdl_text_open(sdl_text* text, SDL_Renderer* renderer) {
    *text = sdl_text{};
    if (TTF_Init() != 0) return false;
    text->font = open_status_font();
    if (text->font == nullptr) return false;
    TTF_SetFontKerning(text->font, 0);  // fixed cells
    if (!build_glyph_atlas(text, renderer)) {
        sdl_text_close(text);
        return false;
    }
    return true;
}

void sdl_text_draw(const sdl_text* text, SDL_Renderer* renderer, int32_t x, int32_t y,
                   uint32_t color, const char* line) {
    if (!text->atlas) return;
    SDL_SetTextureColorMod(text->atlas, static_cast<Uint8>(color >> 16),
                           static_cast<Uint8>(color >> 8), static_cast<Uint8>(color));
    SDL_Rect src = {0, text->cell_y, text->cell_w, text->cell_h};
    SDL_Rect dst = {x, y, text->cell_w, text->cell_h};
    for (const char* p = line; *p; ++p, dst.x += text->cell_w) {
        int c = static_cast<unsigned char>(*p);
        if (c == ' ') continue;
        if (c < GLYPH_FIRST || c > GLYPH_LAST) c = '?';
        src.x = (c - GLYPH_FIRST) * text->cell_w;
        SDL_RenderCopy(renderer, text->atlas, &src, &dst);
    }
}

void sdl_text_rebuild(sdl_text* text, SDL_Renderer* renderer) {
    if (text->atlas) SDL_DestroyTexture(text->atlas);
    text->atlas = nullptr;
    if (text->font) build_glyph_atlas(text, renderer);
}

void sdl_text_close(sdl_text* text) {
    if (text->atlas) SDL_DestroyTexture(text->atlas);
    if (text->font) TTF_CloseFont(text->font);
    if (TTF_WasInit()) TTF_Quit();
    *text = sdl_text{};
}
