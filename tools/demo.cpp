// The built-in demo video of `komu demo`: 640 x 480, 30 fps, 300 frames,
// looping. What it shows, by frame:
//   - a still background: a vertical gradient, a hue ramp and, for judging
//     zoom, a 1-pixel checkerboard and an 8-pixel grid;
//   - a bouncing ball, a sliding square and a progress bar that move every
//     frame, and the frame number in large digits (top left);
//   - frames 150..194 (1.5 s): nothing moves; they repeat frame 149, number
//     included, so a pause in the picture is plain to see;
//   - frame 240: one frame of full-screen noise.
// Payload kinds: frame 0 and the frame after the noise are run-length key
// frames, the noise is a raw key frame (nothing codes it smaller), frame 60
// is forced to a raw delta (never the smallest, so the automatic choice
// would never make one), and the rest are run-length deltas.
#include "demo.h"

#include <algorithm>
#include <span>
#include <string>
#include <vector>


namespace {

constexpr int W = DEMO_WIDTH;
constexpr int H = DEMO_HEIGHT;
constexpr uint32_t STILL_FIRST = 150;  // first frame that repeats the one before
constexpr uint32_t STILL_FRAMES = 45;  // 1.5 s at 30 fps
constexpr uint32_t NOISE_FRAME = 240;
constexpr uint32_t RAW_DELTA_FRAME = 60;

// 5 x 7 digit glyphs, one byte per row, bit 4 the leftmost column.
constexpr uint8_t DIGITS[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};
constexpr int GLYPH_SCALE = 6;  // each font pixel is 6 x 6 picture pixels

constexpr uint16_t rgb(int r, int g, int b) {
    return static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
}

struct picture {
    std::vector<uint16_t> px = std::vector<uint16_t>(size_t{W} * H);
    void fill(int x0, int y0, int w, int h, uint16_t color) {
        const int x1 = std::min(W, x0 + w), y1 = std::min(H, y0 + h);
        for (int y = std::max(0, y0); y < y1; ++y) {
            for (int x = std::max(0, x0); x < x1; ++x) px[size_t(y) * W + size_t(x)] = color;
        }
    }
};

// 0 -> span -> 0 and again: position of something bouncing between two walls.
int bounce(uint32_t travelled, int span) {
    const auto period = static_cast<uint32_t>(2 * span);
    const auto p = static_cast<int>(travelled % period);
    return p <= span ? p : 2 * span - p;
}

// Hue ramp: red -> green -> blue -> red over 0..767.
uint16_t hue(int h) {
    const int phase = h / 256, v = h % 256;
    if (phase == 0) return rgb(255 - v, v, 0);
    if (phase == 1) return rgb(0, 255 - v, v);
    return rgb(v, 0, 255 - v);
}

picture make_background() {
    picture p;
    for (int y = 0; y < H; ++y) {
        p.fill(0, y, W, 1, rgb(16 + y * 60 / H, 24 + y * 40 / H, 64 + y * 80 / H));
    }
    for (int x = 0; x < W; ++x) p.fill(x, 404, 1, 24, hue(x * 767 / (W - 1)));
    for (int y = 0; y < 96; ++y) {  // 1-pixel checkerboard, bottom right
        for (int x = 0; x < 96; ++x) {
            p.px[size_t(300 + y) * W + size_t(528 + x)] = ((x ^ y) & 1) ? rgb(255, 255, 255) : 0;
        }
    }
    for (int y = 0; y < 96; ++y) {  // 8-pixel grid, beside it
        for (int x = 0; x < 96; ++x) {
            const bool line = x % 8 == 0 || y % 8 == 0;
            p.px[size_t(300 + y) * W + size_t(416 + x)] =
                line ? rgb(200, 200, 200) : rgb(40, 40, 40);
        }
    }
    return p;
}

void draw_ball(picture* p, int cx, int cy, int r, uint16_t color) {
    for (int dy = -r; dy <= r; ++dy) {
        int half = 0;
        while ((half + 1) * (half + 1) + dy * dy <= r * r) ++half;
        p->fill(cx - half, cy + dy, 2 * half + 1, 1, color);
    }
}

void draw_number(picture* p, uint32_t n, int x, int y) {
    const int advance = 6 * GLYPH_SCALE;
    p->fill(x - 12, y - 12, 3 * advance + 18, 7 * GLYPH_SCALE + 24, rgb(0, 0, 0));
    const int digits[3] = {int(n / 100 % 10), int(n / 10 % 10), int(n % 10)};
    for (int d = 0; d < 3; ++d) {
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 5; ++col) {
                if (DIGITS[digits[d]][row] & (0x10 >> col)) {
                    p->fill(x + d * advance + col * GLYPH_SCALE, y + row * GLYPH_SCALE, GLYPH_SCALE,
                            GLYPH_SCALE, rgb(255, 255, 255));
                }
            }
        }
    }
}

// The picture at motion time t (frames of motion so far), labelled n.
void draw_scene(picture* p, const picture& background, uint32_t t, uint32_t n) {
    p->px = background.px;
    const uint32_t moving_frames = DEMO_FRAMES - STILL_FRAMES;
    p->fill(0, 464, int((t + 1) * W / moving_frames), 8, rgb(240, 200, 40));
    p->fill(bounce(t * 9, W - 80), 200, 80, 80, rgb(220, 40, 40));
    draw_ball(p, 44 + bounce(t * 7, W - 88), 44 + bounce(t * 5, 340), 40, rgb(250, 230, 60));
    draw_number(p, n, 28, 28);
}

// Full-screen noise from a fixed seed (xorshift32).
void draw_noise(picture* p) {
    uint32_t state = 0x2545F491u;
    for (uint16_t& v : p->px) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        v = static_cast<uint16_t>(state);
    }
}

}  // namespace

void komu_demo_video(komu_writer* writer) {
    komu_encode_options options;
    options.width = DEMO_WIDTH;
    options.height = DEMO_HEIGHT;
    options.fps_num = DEMO_FPS;
    options.fps_den = 1;
    options.loop = true;
    options.mode = KOMU_MODE_INDEXED;
    std::string error;  // the demo is well within every limit
    komu_writer_begin(writer, options, -1, &error);

    const picture background = make_background();
    picture frame;
    for (uint32_t f = 0; f < DEMO_FRAMES; ++f) {
        const bool still = f >= STILL_FIRST && f < STILL_FIRST + STILL_FRAMES;
        const uint32_t t = f < STILL_FIRST ? f : (still ? STILL_FIRST - 1 : f - STILL_FRAMES);
        if (f == NOISE_FRAME) {
            draw_noise(&frame);
        } else if (!still) {
            draw_scene(&frame, background, t, f);
        }  // a still frame keeps the picture of the frame before
        const komu_kind kind = f == RAW_DELTA_FRAME ? komu_kind::delta : komu_kind::automatic;
        const auto* bytes = reinterpret_cast<const uint8_t*>(frame.px.data());
        komu_writer_add(writer, std::span(bytes, frame.px.size() * 2), kind, &error);
    }
}
