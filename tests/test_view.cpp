// The view transform, input handling and composition, driven directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "gui_scripted.h"
#include "viewer.h"

namespace {

// A view of w x h pixels above the status bar, at a zoom and pan (a width of 0 stays 0, where a
// window would take the default).
view_state view_of(int32_t w, int32_t h, int32_t zoom = 0, int32_t pan_x = 0, int32_t pan_y = 0) {
    view_state v{};
    layout_view(&v, {w, h + STATUS_BAR_ROWS});
    std::tie(v.view_w, v.zoom_permille, v.pan_x, v.pan_y) = std::tuple(w, zoom, pan_x, pan_y);
    return v;
}

bool same(const view_state& a, const view_state& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
std::tuple<int32_t, int32_t, int32_t> zoom_pan(const view_state& v) { return {v.zoom_permille, v.pan_x, v.pan_y}; }

TEST(ViewTransform, FitsAndCentres) {
    // Area, video, then the fitted zoom and pan (displayed size rounded up): 868 x 542 shown; 40
    // rows however low the window (54 x 40 shown); zoom raised to the smallest fit (32 x 24 shown);
    // 1002.24 wide shows as 1003, pan 0, not 1; with no video size or no area, nothing.
    const int32_t fits[][7] = {
        {920, 542, 320, 200, 2710, 26, 0}, {920, 40, 640, 480, 83, 433, 0}, {920, 22, 640, 480, 83, 433, 0},
        {920, 542, 1, 1, 6000, 457, 268}, {10, 40, 640, 480, 50, -11, 8}, {1004, 752, 640, 480, 1566, 0, 0},
        {920, 542, 0, 10, 0, 0, 0}, {920, 542, 10, -1, 0, 0, 0}, {0, 542, 10, 10, 0, 0, 0}};
    for (const auto& f : fits) {
        view_state v = view_of(f[0], f[1]);
        reset_view_transform(&v, f[2], f[3]);
        EXPECT_EQ(zoom_pan(v), std::tuple(f[4], f[5], f[6])) << f[2];
    }
}

TEST(ViewTransform, ZoomStepsKeepThePointUnderTheCentreWithinLimits) {
    // From, in (1) or out (0), then the zoom after: steps of 5/4 and 4/5, rounded down, within 50
    // to 8000.
    const int32_t steps[][3] = {{50, 1, 62}, {62, 1, 77}, {77, 1, 96}, {96, 1, 120}, {62, 0, 50}, {7000, 1, 8000},
        {8000, 1, 8000}, {8000, 0, 6400}, {1000, 1, 1250}, {1250, 0, 1000}, {1001, 1, 1251}, {1251, 0, 1000}};
    for (const auto& [from, in, want] : steps) {
        view_state v = view_of(920, 542, from, 100, -50);
        const view_state before = v;
        // With no video size nothing happens; the size only has to be there: one pixel will do.
        for (const auto& [w, h] : {std::pair{0, 1}, {1, 0}, {1, 1}}) zoom_view(&v, w, h, in);
        // At a limit nothing moves.
        EXPECT_TRUE(v.zoom_permille == want && (want != from || same(v, before))) << from << ": " << v.zoom_permille;
        // The video point under the view centre (460, 271) stays there, but for the rounding.
        for (const auto& [c, p0, p1] : {std::tuple{460, 100, v.pan_x}, std::tuple{271, -50, v.pan_y}}) {
            const double u = (c - p0) * 1000.0 / from, u1 = (c - p1) * 1000.0 / want;
            EXPECT_TRUE(u1 <= u && u1 > u - 1 - 1000.0 / want) << from << ": " << u << " -> " << u1;
        }
    }
    view_state v = view_of(920, 542, 2000, 100, 50);
    zoom_view(&v, 640, 480, 1);  // the centre showed video (180, 110), and still does
    EXPECT_EQ(zoom_pan(v), std::tuple(2500, 460 - 450, 271 - 275));
}

TEST(ViewTransform, PanSaturatesAndNothingOverflows) {
    view_state v = view_of(920, 542, 1129, 98, 0);
    for (int i = 0; i < 60'000; ++i) pan_view(&v, PAN_STEP, -PAN_STEP);
    EXPECT_EQ(zoom_pan(v), std::tuple(1129, PAN_LIMIT, -PAN_LIMIT));
    pan_view(&v, INT64_MIN / 2, INT64_MAX / 2);
    EXPECT_EQ(zoom_pan(v), std::tuple(1129, -PAN_LIMIT, PAN_LIMIT));
    // So far out, zooming all the way out and in stays defined (the sanitizer build checks) and
    // within the limits.
    for (int i = 0; i < 100; ++i) {
        zoom_view(&v, 640, 480, i >= 40);
        ASSERT_TRUE(std::abs(v.pan_x) <= PAN_LIMIT && std::abs(v.pan_y) <= PAN_LIMIT &&
                    v.zoom_permille >= STEP_ZOOM_MIN && v.zoom_permille <= STEP_ZOOM_MAX);
    }
}

// A 640 x 480 stream, playing, zoomed in and panned in a 920 x 542 view.
struct rig {
    komu_stream s;
    view_state v = view_of(920, 542, 1411, 111, -7);
    rig() {
        komu_stream_init(&s);
        std::tie(s.width, s.height, s.playing, v.running) = std::tuple(640, 480, uint8_t{1}, 1);
    }
    void mouse(int32_t x, int32_t y, int32_t b, int32_t wheel = 0) { send(scripted::mouse_event(x, y, b, wheel)); }
    void send(const gui_event& e) { handle_input(&v, &s, &e); }
    ~rig() { std::free(v.render_buf); std::free(v.col_map); }  // what composition allocated
};

TEST(Composition, MatchesAnIndependentSamplerAtEveryZoomPanAndSize) {
    rig in;
    std::vector<uint16_t> pixels(640 * 480);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(i * 7 + 1);  // each tells its place
    in.s.cur_frame = reinterpret_cast<uint8_t*>(pixels.data());
    // View size, full view ('h'), zoom and pan: one to one, fitted, zoomed, less than one video pixel
    // left of the picture, out of view, a smaller buffer (the one there is kept), full views.
    const int32_t cases[][6] = {
        {320, 200, 0, 1000, 0, 0}, {920, 542, 0, 1129, 98, 0}, {920, 542, 0, 50, -37, 11}, {920, 542, 0, 333, -37, 11},
        {920, 542, 0, 6000, -37, 11}, {920, 542, 0, 8000, -37, 11}, {920, 542, 0, 4000, 2, 0},
        {920, 542, 0, 4000, 5000, 0}, {920, 542, 0, 50, 0, -PAN_LIMIT}, {920, 542, 0, 8000, -PAN_LIMIT, PAN_LIMIT},
        {100, 80, 0, 1129, 0, 0}, {640, 480, 1, 1000, 0, 0}, {920, 542, 1, 333, -37, 11}, {920, 542, 1, 1000, -37, 11},
        {920, 542, 1, 2500, -37, 11}, {920, 542, 1, 8000, -37, 11}, {920, 542, 0, 2500, -37, 11}};
    view_state& v = in.v;
    uint32_t cap = 0;
    for (const auto& [w, h, full, zoom, pan_x, pan_y] : cases) {
        SCOPED_TRACE(testing::Message() << w << " x " << h << " full " << full << " zoom " << zoom);
        layout_view(&v, {w, h + STATUS_BAR_ROWS});
        if (v.full_view != full) in.send(scripted::key_event('h'));  // the buffer's size changes at once
        EXPECT_EQ(std::pair(v.render_w, v.render_h),
                  full ? std::pair(w, h) : std::pair(std::min(w, 320), std::min(h, 200)));
        std::tie(v.zoom_permille, v.pan_x, v.pan_y) = std::tuple(zoom, pan_x, pan_y);
        ASSERT_EQ(compose_frame(&v, &in.s), 0);
        // The render buffer is grown as needed, never shrunk.
        EXPECT_EQ(v.render_cap, cap = std::max(cap, uint32_t(v.render_w * v.render_h)));
        // View pixel (x, y) shows video pixel ((x - pan_x) / zoom, (y - pan_y) / zoom), truncated
        // toward zero.
        int wrong = 0;
        for (int32_t i = 0; i < v.render_w * v.render_h; ++i) {
            const double sx = std::trunc((std::floor(double(i % v.render_w) * w / v.render_w) - pan_x) * 1000 / zoom);
            const double sy = std::trunc((std::floor(double(i / v.render_w) * h / v.render_h) - pan_y) * 1000 / zoom);
            const bool in_video = sx >= 0 && sy >= 0 && sx < 640 && sy < 480;
            wrong += v.render_buf[i] != (in_video ? pixels[size_t(sy) * 640 + size_t(sx)] : VIDEO_BACKGROUND_RGB565);
        }
        EXPECT_EQ(wrong, 0);
    }
    in.s.cur_frame = nullptr;  // no frame: nothing to draw
    EXPECT_EQ(compose_frame(&v, &in.s), -1);
}

TEST(StatusText, CountersStateAndLimits) {
    // Before the first decode the frame is 1; at most 127 characters.
    const std::string p127(127, 'p'), p120(120, 'p'), p116(116, 'p');
    const struct { std::string path; uint32_t next, count; uint8_t playing; std::string want; } cases[] = {
        {"/videos/demo.komu", 12, 300, 1, "/videos/demo.komu | frame 12/300 | playing"},
        {"/videos/demo.komu", 12, 300, 0, "/videos/demo.komu | frame 12/300 | paused"},
        {"a", 4294967295u, 4294967295u, 1, "a | frame 4294967295/4294967295 | playing"},
        {"a", 0, 0, 0, "a | frame 1/0 | paused"}, {p127, 0, 300, 0, p127}, {p120, 0, 300, 0, p120 + " | fram"},
        {p116, 123, 300, 0, p116 + " | frame 12"}};
    rig in;
    char text[TEXT_CAP];
    for (const auto& c : cases) {
        std::tie(in.s.next_index, in.s.header.frame_count, in.s.playing) = std::tuple(c.next, c.count, c.playing);
        build_status_text(text, c.path.c_str(), &in.s);
        EXPECT_EQ(std::string(text), c.want);
    }
}

// What each key should do, in terms of the calls it is bound to.
template <int32_t dx, int32_t dy> void pan(view_state* v, komu_stream*) { pan_view(v, dx, dy); }
template <int32_t in> void zoom(view_state* v, komu_stream* s) { zoom_view(v, s->width, s->height, in); }
void fit(view_state* v, komu_stream* s) { reset_view_transform(v, s->width, s->height); }
void pause_playing(view_state*, komu_stream* s) { s->playing = 0; }
void quit(view_state* v, komu_stream*) { v->running = 0; }
void fullscreen(view_state* v, komu_stream*) { toggle_fullscreen(v); }

TEST(Input, CharacterKeysMatchTheirLowByteSpecialKeysTheirFullCode) {
    const std::pair<uint32_t, void (*)(view_state*, komu_stream*)> keys[] = {
        {' ', pause_playing}, {0x1020, pause_playing}, {'+', zoom<1>}, {'=', zoom<1>}, {GUI_KEY_ZOOM_IN, zoom<1>},
        {0x102B, zoom<1>}, {'-', zoom<0>}, {'_', zoom<0>}, {GUI_KEY_ZOOM_OUT, zoom<0>}, {'0', fit}, {0x1030, fit},
        {GUI_KEY_DOWN, pan<0, PAN_STEP>}, {GUI_KEY_UP, pan<0, -PAN_STEP>}, {GUI_KEY_RIGHT, pan<PAN_STEP, 0>},
        {GUI_KEY_LEFT, pan<-PAN_STEP, 0>}, {GUI_KEY_ESC, quit}, {'q', quit}, {'Q', quit}, {0x171, quit},
        {'f', fullscreen}, {'F', fullscreen}, {GUI_KEY_F11, fullscreen}, {0x11001, nullptr}, {0x3102, nullptr},
        {0x2104, nullptr}, {'a', nullptr}, {0x41, nullptr}, {0, nullptr}};  // nullptr: nothing
    for (const auto& [key, act] : keys) {
        rig got, want;
        got.send(scripted::key_event(key));
        if (act) act(&want.v, &want.s);
        EXPECT_TRUE(same(got.v, want.v) && got.s.playing == want.s.playing) << std::hex << key;
    }
}

TEST(Input, DragPansOneToOneWheelZoomsFirstAndADoubleClickTogglesFullscreen) {
    scripted::reset();
    rig in, want;
    // A drag by (30, -10), a release, a move without the button.
    for (const auto& [x, y, b] : {std::tuple{100, 100, 1}, {130, 90, 1}, {130, 90, 0}, {30, 30, 0}}) in.mouse(x, y, b);
    pan_view(&want.v, 30, -10);
    EXPECT_EQ(std::tuple(zoom_pan(in.v), in.v.dragging + in.v.last_valid), std::tuple(zoom_pan(want.v), 0));
    // Far from the drag's press, so no double-click: the wheel with the button held (other bits
    // ignored): zoom out, then the drag.
    for (const auto& [x, y, b, wheel] : {std::tuple{10, 10, 1, 0}, {15, 10, 1 | 4, -3}}) in.mouse(x, y, b, wheel);
    zoom_view(&want.v, 640, 480, 0);
    pan_view(&want.v, 5, 0);
    EXPECT_EQ(zoom_pan(in.v), zoom_pan(want.v));
    in.mouse(15, 10, 0, 7);  // a release with a wheel step: zoom in
    zoom_view(&want.v, 640, 480, 1);

    // Left clicks: ms after the one before, press, release. A double-click toggles fullscreen and,
    // held and moved, drags nothing; a third press starts anew, even one within the time of the
    // first; too late, too far or in the status bar, nothing, but the press before the bar pairs
    // with the one after it.
    const int32_t clicks[][5] = {{401, 100, 100, 100, 100}, {400, 102, 97, 150, 150}, {0, 100, 100, 100, 100},
        {401, 100, 100, 100, 100}, {100, 105, 100, 105, 100}, {49, 105, 550, 105, 550}, {100, 105, 104, 105, 104}};
    for (const auto& [after_ms, x, y, to_x, to_y] : clicks) {
        sleep_us(uint32_t(after_ms) * 1000);
        for (const auto& [px, py, b] : {std::tuple{x, y, 1}, {to_x, to_y, 1}, {to_x, to_y, 0}}) in.mouse(px, py, b);
    }
    // The wheel's zoom in, and nothing more; fullscreen asked for twice, so left again. (What is
    // asked each time, on and then off, the playback test's fullscreen toggles check.)
    EXPECT_EQ(std::tuple(zoom_pan(in.v), scripted::calls_of(scripted::call_kind::fullscreen).size(), in.v.fullscreen),
              std::tuple(zoom_pan(want.v), size_t{2}, 0));
}

}  // namespace
