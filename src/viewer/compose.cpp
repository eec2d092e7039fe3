// Composition of one pass: the current frame sampled through the view into
// a render buffer of at most 320 x 200 pixels, which the window server
// stretches over the video area, and the status bar under it.
//
// The cost is bounded by the render buffer, not by the window or the video:
// source columns are computed once per pass, source rows once per row, and
// no pixel needs a division.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "viewer.h"

namespace {

// Characters before the NUL of a text buffer. A loop, not strlen: of the
// string functions the player relies only on copying.
size_t text_length(const char* text) {
    size_t len = 0;
    while (text[len] != '\0') ++len;
    return len;
}

// Appends piece while the text is at most 126 characters, never past 127.
void append_bounded(char* text, const char* piece) { append_text(text, TEXT_CAP, piece); }

// Video column or row under a view position: (v - pan) * 1000 / zoom,
// truncated toward zero, so a position less than one video pixel before the
// picture still maps to 0. 64-bit: pan is saturated, zoom is at least 1.
int64_t source_coord(int64_t v, int32_t pan, int32_t zoom) {
    return (v - pan) * 1000 / zoom;
}

}  // namespace

void append_text(char* text, size_t cap, const char* piece) {
    size_t len = text_length(text);
    while (*piece != '\0' && len + 1 < cap) text[len++] = *piece++;
    text[len] = '\0';
}

void str_append_uint(char* text, uint32_t value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    size_t len = text_length(text);
    while (n > 0 && len < TEXT_CAP - 1) text[len++] = digits[--n];
    text[len] = '\0';
}

void build_status_text(char* text, const char* path, const komu_stream* stream) {
    text[0] = '\0';
    append_bounded(text, path);
    append_bounded(text, " | frame ");
    str_append_uint(text, stream->next_index ? stream->next_index : 1);
    append_bounded(text, "/");
    str_append_uint(text, stream->header.frame_count);
    append_bounded(text, " | ");
    append_bounded(text, stream->playing ? "playing" : "paused");
}

int compose_frame(view_state* view, const komu_stream* stream) {
    if (stream->cur_frame == nullptr || view->render_w <= 0 || view->render_h <= 0) return -1;
    const uint32_t rw = static_cast<uint32_t>(view->render_w);
    const uint32_t rh = static_cast<uint32_t>(view->render_h);
    if (view->render_cap < rw * rh || view->render_buf == nullptr) {
        void* p = std::realloc(view->render_buf, size_t{rw} * rh * 2);
        if (p == nullptr) return -1;
        view->render_buf = static_cast<uint16_t*>(p);
        view->render_cap = rw * rh;
    }

    const int32_t z = view->zoom_permille > 0 ? view->zoom_permille : 1000;
    const int64_t width = stream->width;
    const int64_t height = stream->height;

    // Column map. Source columns grow with the render column, so the columns
    // inside the video form one run [first, last).
    int32_t col_map[MAX_RENDER_W];
    const uint32_t cols = std::min<uint32_t>(rw, MAX_RENDER_W);
    uint32_t first = cols, last = 0;
    for (uint32_t c = 0; c < cols; ++c) {
        const int64_t vx = view->view_w == view->render_w ? c : int64_t{c} * view->view_w / rw;
        const int64_t sx = source_coord(vx, view->pan_x, z);
        const bool inside = sx >= 0 && sx < width;
        col_map[c] = inside ? static_cast<int32_t>(sx) : -1;
        if (inside) {
            first = std::min(first, c);
            last = c + 1;
        }
    }
    uint16_t* const buf = view->render_buf;
    if (first >= last) {  // nothing of the video in view: background only
        std::fill_n(buf, size_t{rw} * rh, VIDEO_BACKGROUND_RGB565);
        return 0;
    }

    // Each pixel is written once: background where no video pixel falls,
    // the sampled picture elsewhere. Magnified, consecutive render rows often
    // sample the same source row; such a row is a copy of the one above.
    const auto* frame = reinterpret_cast<const uint16_t*>(stream->cur_frame);
    int64_t above_sy = -1;  // source row of the row above, -1 when it is background
    for (uint32_t r = 0; r < rh; ++r) {
        uint16_t* dst = buf + size_t{r} * rw;
        const int64_t vy = view->view_h == view->render_h ? r : int64_t{r} * view->view_h / rh;
        const int64_t sy = source_coord(vy, view->pan_y, z);
        if (sy < 0 || sy >= height) {
            std::fill_n(dst, rw, VIDEO_BACKGROUND_RGB565);
            above_sy = -1;
            continue;
        }
        std::fill_n(dst, first, VIDEO_BACKGROUND_RGB565);
        std::fill_n(dst + last, rw - last, VIDEO_BACKGROUND_RGB565);
        if (sy == above_sy) {
            std::memcpy(dst + first, dst - rw + first, size_t{last - first} * 2);
            continue;
        }
        above_sy = sy;
        const uint16_t* src = frame + sy * width;
        uint32_t c = first;
        for (; c + 4 <= last; c += 4) {  // four loads before four stores
            const uint16_t p0 = src[col_map[c]], p1 = src[col_map[c + 1]];
            const uint16_t p2 = src[col_map[c + 2]], p3 = src[col_map[c + 3]];
            dst[c] = p0;
            dst[c + 1] = p1;
            dst[c + 2] = p2;
            dst[c + 3] = p3;
        }
        for (; c < last; ++c) dst[c] = src[col_map[c]];
    }
    return 0;
}

int draw_pass(view_state* view, const komu_stream* stream, const char* path) {
    if (compose_frame(view, stream) != 0) return -1;
    if (gui_begin(view->window) != 0) return -1;

    const gui_blit_desc blit{view->render_w, view->render_h, view->render_buf, view->view_w,
                             view->view_h};
    gui_blit_rgb565(view->window, &blit);
    const gui_rect_desc bar{0, view->view_h, view->content_w, STATUS_BAR_ROWS, STATUS_BAR_COLOR};
    gui_fill_rect(view->window, &bar);

    char status[TEXT_CAP];
    build_status_text(status, path, stream);
    char help[TEXT_CAP] = "";
    append_bounded(help, STATUS_HELP);
    const gui_text_desc status_text{6, view->view_h + 5, STATUS_TEXT_COLOR, status};
    const gui_text_desc help_text{view->content_w / 2, view->view_h + 5, HELP_TEXT_COLOR, help};
    gui_draw_text(view->window, &status_text);
    gui_draw_text(view->window, &help_text);
    gui_present(view->window);
    return 0;
}
