// The view transform, input handling and composition, driven directly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "gui_scripted.h"
#include "viewer.h"

namespace {

view_state view_of(int32_t w, int32_t h) {
    view_state v{};
    layout_view(&v, {w, h + STATUS_BAR_ROWS});
    return v;
}

TEST(ViewTransform, FitsAndCentres) {
    // Area, video, then the fitted zoom and pan (displayed size rounded up).
    const struct { int32_t area_w, area_h, w, h, zoom, pan_x, pan_y; } fits[] = {
        {920, 542, 320, 200, 2710, 26, 0},  // displayed 868 x 542
        {920, 40, 640, 480, 83, (920 - 54) / 2, 0},
        {920, 542, 1, 1, 6000, (920 - 6) / 2, (542 - 6) / 2},
        {10, 40, 640, 480, 50, (10 - 32) / 2, (40 - 24) / 2},  // raised to the smallest fit
        {1004, 752, 640, 480, 1566, 0, 0},  // 1002.24 wide shows as 1003: pan 0, not 1
    };
    for (const auto& f : fits) {
        view_state v = view_of(f.area_w, f.area_h);
        reset_view_transform(&v, f.w, f.h);
        EXPECT_EQ(v.zoom_permille, f.zoom) << f.w;
        EXPECT_EQ(v.pan_x, f.pan_x) << f.w;
        EXPECT_EQ(v.pan_y, f.pan_y) << f.w;
    }
    // No video size or no area: nothing changes.
    view_state v = view_of(920, 542);
    reset_view_transform(&v, 320, 200);
    const view_state before = v;
    reset_view_transform(&v, 0, 10);
    reset_view_transform(&v, 10, -1);
    v.view_w = 0;
    reset_view_transform(&v, 10, 10);
    v.view_w = before.view_w;
    EXPECT_EQ(std::memcmp(&v, &before, sizeof v), 0);
}

TEST(ViewTransform, ZoomStepsAboutTheCentreWithinLimits) {
    view_state v = view_of(920, 542);
    const auto step = [&](int32_t from, int32_t in, int32_t w = 64) {
        v.zoom_permille = from;
        zoom_view(&v, w, 48, in);
        return v.zoom_permille;
    };
    int32_t z = 50;
    for (int32_t want : {62, 77, 96, 120}) EXPECT_EQ(z = step(z, 1), want);
    EXPECT_EQ(step(62, 0), 50);
    EXPECT_EQ(step(7000, 1), 8000);
    const int32_t px = v.pan_x, py = v.pan_y;
    EXPECT_EQ(step(8000, 1), 8000);  // at the cap: nothing moves
    EXPECT_EQ(v.pan_x, px);
    EXPECT_EQ(v.pan_y, py);
    EXPECT_EQ(step(8000, 0), 6400);
    EXPECT_EQ(step(6400, 0, 0), 6400);  // no video size: nothing
    EXPECT_EQ(step(step(1000, 1), 0), 1000);
    EXPECT_EQ(step(1001, 1), 1251);
    EXPECT_EQ(step(1251, 0), 1000);

    // The video pixel under the centre stays there.
    v.pan_x = 100;
    v.pan_y = 50;
    EXPECT_EQ(step(2000, 1, 640), 2500);  // centre (460, 271) showed video (180, 110)
    EXPECT_EQ(v.pan_x, 460 - 180 * 2500 / 1000);
    EXPECT_EQ(v.pan_y, 271 - 110 * 2500 / 1000);
}

TEST(ViewTransform, PanSaturatesAndNothingOverflows) {
    view_state v = view_of(920, 542);
    reset_view_transform(&v, 640, 480);
    for (int i = 0; i < 60'000; ++i) pan_view(&v, PAN_STEP, -PAN_STEP);
    EXPECT_EQ(v.pan_x, PAN_LIMIT);
    EXPECT_EQ(v.pan_y, -PAN_LIMIT);
    pan_view(&v, INT64_MIN / 2, INT64_MAX / 2);
    EXPECT_EQ(v.pan_x, -PAN_LIMIT);
    EXPECT_EQ(v.pan_y, PAN_LIMIT);
    // Far out, zooming stays defined (the sanitizer build checks) and keeps
    // pan and zoom within their limits.
    std::mt19937 rng(7);
    for (int i = 0; i < 20'000; ++i) {
        switch (rng() % 4) {
            case 0: zoom_view(&v, 640, 480, 1); break;
            case 1: zoom_view(&v, 640, 480, 0); break;
            case 2: pan_view(&v, int64_t(rng()) * 1000, 0); break;
            default: pan_view(&v, 0, -int64_t(rng()) * 1000); break;
        }
        ASSERT_LE(std::abs(v.pan_x), PAN_LIMIT);
        ASSERT_LE(std::abs(v.pan_y), PAN_LIMIT);
        ASSERT_GE(v.zoom_permille, STEP_ZOOM_MIN);
        ASSERT_LE(v.zoom_permille, STEP_ZOOM_MAX);
    }
}

// A stream record holding one picture whose pixels name their position.
struct still {
    komu_stream s{};
    std::vector<uint16_t> pixels;
    still(int32_t w, int32_t h) : pixels(size_t(w) * size_t(h)) {
        komu_stream_init(&s);
        s.width = w;
        s.height = h;
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(i * 7 + 1);
        s.cur_frame = reinterpret_cast<uint8_t*>(pixels.data());
    }
};

// What the render buffer should hold, computed in floating point from the
// view's definition: view pixel (x, y) shows video pixel
// ((x - pan_x) / zoom, (y - pan_y) / zoom), truncated toward zero.
uint16_t expected_pixel(const view_state& v, const still& st, int32_t c, int32_t r) {
    const double vx = std::floor(double(c) * v.view_w / v.render_w);
    const double vy = std::floor(double(r) * v.view_h / v.render_h);
    const double z = v.zoom_permille / 1000.0;
    const double sx = std::trunc((vx - v.pan_x) / z);
    const double sy = std::trunc((vy - v.pan_y) / z);
    if (sx < 0 || sy < 0 || sx >= st.s.width || sy >= st.s.height) return VIDEO_BACKGROUND_RGB565;
    return st.pixels[size_t(sy) * size_t(st.s.width) + size_t(sx)];
}

void expect_composes_as_sampled(view_state* v, const still& st) {
    ASSERT_EQ(compose_frame(v, &st.s), 0);
    int mismatches = 0;
    for (int32_t r = 0; r < v->render_h; ++r) {
        for (int32_t c = 0; c < v->render_w; ++c) {
            if (v->render_buf[r * v->render_w + c] != expected_pixel(*v, st, c, r) && ++mismatches < 5) {
                ADD_FAILURE() << "render pixel (" << c << ", " << r << ") zoom " << v->zoom_permille;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Composition, SamplesTheFrameThroughTheView) {
    still st(640, 480);
    view_state v = view_of(320, 200);
    v.zoom_permille = 1000;  // one to one: the top-left 320 x 200
    expect_composes_as_sampled(&v, st);
    EXPECT_EQ(v.render_buf[199 * 320 + 319], st.pixels[199 * 640 + 319]);
    std::free(v.render_buf);

    view_state fit = view_of(920, 542);
    reset_view_transform(&fit, 640, 480);
    expect_composes_as_sampled(&fit, st);
    for (int32_t zoom : {50, 333, 6000, 8000}) {
        fit.zoom_permille = zoom;
        fit.pan_x = -37;
        fit.pan_y = 11;
        expect_composes_as_sampled(&fit, st);
    }
    // A position less than one video pixel left of the picture shows column 0.
    fit.zoom_permille = 4000;
    fit.pan_x = 2;
    fit.pan_y = 0;
    ASSERT_EQ(compose_frame(&fit, &st.s), 0);
    EXPECT_EQ(fit.render_buf[0], st.pixels[0]);

    // Panned wholly out of view: background only.
    for (auto [px, py] : {std::pair{5000, 0}, std::pair{0, -PAN_LIMIT}, std::pair{-PAN_LIMIT, PAN_LIMIT}}) {
        fit.pan_x = px;
        fit.pan_y = py;
        ASSERT_EQ(compose_frame(&fit, &st.s), 0);
        for (int32_t i = 0; i < fit.render_w * fit.render_h; ++i) {
            ASSERT_EQ(fit.render_buf[i], VIDEO_BACKGROUND_RGB565);
        }
    }
    // The render buffer grows but never shrinks; no frame, nothing to draw.
    uint16_t* buf = fit.render_buf;
    EXPECT_EQ(fit.render_cap, 320u * 200u);
    layout_view(&fit, {100, 80});
    reset_view_transform(&fit, 640, 480);
    expect_composes_as_sampled(&fit, st);
    EXPECT_EQ(fit.render_buf, buf);
    EXPECT_EQ(fit.render_cap, 320u * 200u);
    st.s.cur_frame = nullptr;
    EXPECT_EQ(compose_frame(&fit, &st.s), -1);
    std::free(fit.render_buf);
}

TEST(Composition, FullViewIsExactAtZoom1000AndTheDefaultStaysSmall) {
    still st(640, 480);
    view_state v = view_of(640, 480);
    EXPECT_EQ(std::pair(v.render_w, v.render_h), std::pair(320, 200));
    v.zoom_permille = 1000;
    const gui_event h = scripted::key_event('h');
    handle_input(&v, &st.s, &h);
    EXPECT_EQ(std::pair(v.render_w, v.render_h), std::pair(640, 480));
    ASSERT_EQ(compose_frame(&v, &st.s), 0);
    EXPECT_TRUE(std::equal(st.pixels.begin(), st.pixels.end(), v.render_buf));  // every pixel itself
    layout_view(&v, {920, 560});  // wider than the default's column map
    for (int32_t zoom : {333, 1000, 2500, 8000}) {
        v.zoom_permille = zoom;
        v.pan_x = -37;
        v.pan_y = 11;
        expect_composes_as_sampled(&v, st);
    }
    handle_input(&v, &st.s, &h);
    EXPECT_EQ(std::pair(v.render_w, v.render_h), std::pair(320, 200));
    expect_composes_as_sampled(&v, st);
    std::free(v.render_buf);
    std::free(v.col_map);
}

TEST(StatusText, CountersStateAndLimits) {
    komu_stream s;
    komu_stream_init(&s);
    s.header.frame_count = 300;
    const std::string p127(127, 'p'), p120(120, 'p');
    const struct { std::string path; uint32_t next; uint8_t playing; std::string want; } cases[] = {
        {"/videos/demo.komu", 12, 1, "/videos/demo.komu | frame 12/300 | playing"},
        {"/videos/demo.komu", 12, 0, "/videos/demo.komu | frame 12/300 | paused"},
        {"a", 0, 0, "a | frame 1/300 | paused"},  // before the first decode: frame 1
        {p127, 0, 0, p127},
        {p120, 0, 0, p120 + " | fram"},
    };
    char text[TEXT_CAP];
    for (const auto& c : cases) {
        s.next_index = c.next;
        s.playing = c.playing;
        build_status_text(text, c.path.c_str(), &s);
        EXPECT_EQ(std::string(text), c.want);
    }
    char digits[TEXT_CAP] = "";
    str_append_uint(digits, 0);
    str_append_uint(digits, 4294967295u);
    EXPECT_STREQ(digits, "04294967295");
    const std::string p124(124, 'x');
    std::strcpy(digits, p124.c_str());
    str_append_uint(digits, 98765);
    EXPECT_EQ(std::string(digits), p124 + "987");  // digits past 127 are dropped
}

// A 640 x 480 stream, fitted into a 920 x 542 view.
struct input_rig {
    komu_stream s;
    view_state v = view_of(920, 542);
    input_rig() {
        komu_stream_init(&s);
        s.width = 640;
        s.height = 480;
        s.playing = 1;
        reset_view_transform(&v, 640, 480);
        v.running = 1;
    }
    void key(uint32_t k) { send(scripted::key_event(k)); }
    void mouse(int32_t x, int32_t y, int32_t b, int32_t wheel) { send(scripted::mouse_event(x, y, b, wheel)); }
    void send(const gui_event& e) { handle_input(&v, &s, &e); }
};

TEST(Input, KeysActOnLowByteOrFullCode) {
    input_rig in;
    view_state& v = in.v;
    const view_state fitted = v;
    in.key(' ');
    EXPECT_EQ(in.s.playing, 0);
    in.key(0x1020);  // Space in the low byte
    EXPECT_EQ(in.s.playing, 1);
    in.s.playing = 7;
    in.key(' ');
    EXPECT_EQ(in.s.playing, 0);
    in.s.playing = 1;

    for (uint32_t k : {uint32_t{'+'}, uint32_t{'='}, GUI_KEY_ZOOM_IN, 0x102Bu}) {
        const int32_t before = v.zoom_permille;
        in.key(k);
        EXPECT_EQ(v.zoom_permille, before * 5 / 4) << k;
    }
    for (uint32_t k : {uint32_t{'-'}, uint32_t{'_'}, GUI_KEY_ZOOM_OUT}) {
        const int32_t before = v.zoom_permille;
        in.key(k);
        EXPECT_EQ(v.zoom_permille, before * 4 / 5) << k;
    }
    in.key(0x1030);  // '0' in the low byte: fit
    EXPECT_EQ(v.zoom_permille, fitted.zoom_permille);
    EXPECT_EQ(v.pan_x, fitted.pan_x);

    for (uint32_t k : {GUI_KEY_DOWN, GUI_KEY_RIGHT, GUI_KEY_RIGHT}) in.key(k);
    EXPECT_EQ(v.pan_x, fitted.pan_x + 40);
    EXPECT_EQ(v.pan_y, fitted.pan_y + 20);
    for (uint32_t k : {GUI_KEY_UP, GUI_KEY_LEFT}) in.key(k);
    EXPECT_EQ(v.pan_x, fitted.pan_x + 20);
    EXPECT_EQ(v.pan_y, fitted.pan_y);
    // Special codes match only in full; unknown keys do nothing.
    const view_state before = v;
    for (uint32_t k : {0x11001u, 0x3102u, 0x2104u, uint32_t{'a'}, 0x41u, 0u}) in.key(k);
    EXPECT_EQ(std::memcmp(&v, &before, sizeof v), 0);
    EXPECT_EQ(in.s.playing, 1);

    for (uint32_t k : {GUI_KEY_ESC, uint32_t{'q'}, uint32_t{'Q'}, 0x171u}) {
        v.running = 1;
        in.key(k);
        EXPECT_EQ(v.running, 0) << k;
    }
}

TEST(Input, DragPansOneToOneAndWheelZoomsFirst) {
    input_rig in;
    view_state& v = in.v;
    const int32_t x0 = v.pan_x, y0 = v.pan_y, z = v.zoom_permille;
    in.mouse(100, 100, 1, 0);  // press: no pan yet
    EXPECT_EQ(v.pan_x, x0);
    in.mouse(130, 90, 1, 0);
    in.mouse(130, 90, 0, 0);   // release
    in.mouse(300, 300, 0, 0);  // moving without the button does nothing
    EXPECT_EQ(v.pan_x, x0 + 30);
    EXPECT_EQ(v.pan_y, y0 - 10);
    EXPECT_EQ(v.dragging, 0);
    EXPECT_EQ(v.last_valid, 0);

    // Wheel with the button held: zoom out once, then the drag's pan.
    in.mouse(10, 10, 1, 0);
    in.mouse(15, 10, 1 | 4, -3);  // other button bits are ignored
    EXPECT_EQ(v.zoom_permille, z * 4 / 5);
    view_state expect = view_of(920, 542);
    expect.zoom_permille = z;
    expect.pan_x = x0 + 30;
    expect.pan_y = y0 - 10;
    zoom_view(&expect, 640, 480, 0);
    EXPECT_EQ(v.pan_x, expect.pan_x + 5);
    EXPECT_EQ(v.pan_y, expect.pan_y);
    in.mouse(15, 10, 0, 7);  // release with a wheel step: zoom in
    EXPECT_EQ(v.zoom_permille, z * 4 / 5 * 5 / 4);
}

TEST(Input, DoubleClickInTheVideoAreaAndKeysToggleFullscreen) {
    scripted::reset();
    input_rig in;
    const auto click = [&](uint32_t after_ms, int32_t x, int32_t y) {
        sleep_us(after_ms * 1000);  // the scripted clock
        in.mouse(x, y, 1, 0);
        in.mouse(x, y, 0, 0);
    };
    click(0, 100, 100);
    sleep_us(400'000);
    const int32_t pan_x = in.v.pan_x;
    in.mouse(102, 97, 1, 0);  // a double-click: on; held and moved, it drags nothing
    in.mouse(150, 150, 1, 0);
    in.mouse(150, 150, 0, 0);
    EXPECT_EQ(in.v.pan_x, pan_x);
    click(50, 100, 100);   // a third press starts anew
    click(401, 100, 100);  // too late
    click(100, 105, 100);  // too far
    click(49, 105, 550);   // in the status bar
    click(100, 105, 104);  // with the one before the bar: off
    for (uint32_t k : {uint32_t{'f'}, GUI_KEY_F11, uint32_t{'F'}}) in.key(k);
    std::vector<int32_t> asked;
    for (const auto* c : scripted::calls_of(scripted::call_kind::fullscreen)) asked.push_back(c->value);
    EXPECT_EQ(asked, (std::vector{1, 0, 1, 0, 1}));
    EXPECT_EQ(in.v.fullscreen, 1);
}

}  // namespace
