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
    view_state v = view_of(920, 542);
    reset_view_transform(&v, 320, 200);
    EXPECT_EQ(v.zoom_permille, 2710);
    EXPECT_EQ(v.pan_x, 26);  // displayed 868 x 542
    EXPECT_EQ(v.pan_y, 0);

    view_state small = view_of(920, 40);
    reset_view_transform(&small, 640, 480);
    EXPECT_EQ(small.zoom_permille, 83);
    EXPECT_EQ(small.pan_x, (920 - 54) / 2);
    EXPECT_EQ(small.pan_y, 0);

    reset_view_transform(&v, 1, 1);
    EXPECT_EQ(v.zoom_permille, 6000);
    EXPECT_EQ(v.pan_x, (920 - 6) / 2);

    view_state tiny = view_of(920, 40);
    tiny.view_w = 10;
    reset_view_transform(&tiny, 640, 480);
    EXPECT_EQ(tiny.zoom_permille, 50);  // raised to the smallest fit
    EXPECT_EQ(tiny.pan_x, (10 - 32) / 2);  // negative: larger than the area

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
    v.zoom_permille = 50;
    for (int32_t want : {62, 77, 96, 120}) {
        zoom_view(&v, 64, 48, 1);
        EXPECT_EQ(v.zoom_permille, want);
    }
    v.zoom_permille = 62;
    zoom_view(&v, 64, 48, 0);
    EXPECT_EQ(v.zoom_permille, 50);

    v.zoom_permille = 7000;
    zoom_view(&v, 64, 48, 1);
    EXPECT_EQ(v.zoom_permille, 8000);
    const int32_t px = v.pan_x, py = v.pan_y;
    zoom_view(&v, 64, 48, 1);  // at the cap: nothing moves
    EXPECT_EQ(v.zoom_permille, 8000);
    EXPECT_EQ(v.pan_x, px);
    EXPECT_EQ(v.pan_y, py);
    zoom_view(&v, 64, 48, 0);
    EXPECT_EQ(v.zoom_permille, 6400);
    zoom_view(&v, 0, 48, 0);  // no video size: nothing
    EXPECT_EQ(v.zoom_permille, 6400);

    v.zoom_permille = 1000;
    zoom_view(&v, 64, 48, 1);
    zoom_view(&v, 64, 48, 0);
    EXPECT_EQ(v.zoom_permille, 1000);
    v.zoom_permille = 1001;
    zoom_view(&v, 64, 48, 1);
    EXPECT_EQ(v.zoom_permille, 1251);
    zoom_view(&v, 64, 48, 0);
    EXPECT_EQ(v.zoom_permille, 1000);

    // The video pixel under the centre stays there.
    v.zoom_permille = 2000;
    v.pan_x = 100;
    v.pan_y = 50;
    zoom_view(&v, 640, 480, 1);  // centre (460, 271) showed video (180, 110)
    EXPECT_EQ(v.zoom_permille, 2500);
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
    // Far out, zooming and composing stay defined (the sanitizer build
    // checks) and keep pan within its limits.
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
        s.header.frame_count = 300;
        s.playing = 1;
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

void expect_matches_sampling(const view_state& v, const still& st) {
    int mismatches = 0;
    for (int32_t r = 0; r < v.render_h; ++r) {
        for (int32_t c = 0; c < v.render_w; ++c) {
            if (v.render_buf[r * v.render_w + c] != expected_pixel(v, st, c, r) && ++mismatches < 5) {
                ADD_FAILURE() << "render pixel (" << c << ", " << r << ")";
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Composition, SamplesTheFrameThroughTheView) {
    still st(640, 480);
    view_state v = view_of(320, 200);
    v.zoom_permille = 1000;  // one to one: the top-left 320 x 200
    ASSERT_EQ(compose_frame(&v, &st.s), 0);
    EXPECT_EQ(v.render_buf[0], st.pixels[0]);
    EXPECT_EQ(v.render_buf[199 * 320 + 319], st.pixels[199 * 640 + 319]);
    expect_matches_sampling(v, st);

    view_state fit = view_of(920, 542);
    reset_view_transform(&fit, 640, 480);
    ASSERT_EQ(compose_frame(&fit, &st.s), 0);
    expect_matches_sampling(fit, st);
    // Render column 319 samples view column 917, row 199 view row 539.
    EXPECT_EQ(319 * fit.view_w / fit.render_w, 917);
    EXPECT_EQ(199 * fit.view_h / fit.render_h, 539);

    for (int32_t zoom : {50, 333, 6000, 8000}) {
        fit.zoom_permille = zoom;
        fit.pan_x = -37;
        fit.pan_y = 11;
        ASSERT_EQ(compose_frame(&fit, &st.s), 0);
        expect_matches_sampling(fit, st);
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
    std::free(v.render_buf);
    std::free(fit.render_buf);
}

TEST(Composition, RenderBufferGrowsButNeverShrinks) {
    still st(64, 48);
    view_state v = view_of(920, 542);
    reset_view_transform(&v, 64, 48);
    ASSERT_EQ(compose_frame(&v, &st.s), 0);
    EXPECT_EQ(v.render_cap, 320u * 200u);
    uint16_t* buf = v.render_buf;
    layout_view(&v, {100, 80});
    ASSERT_EQ(compose_frame(&v, &st.s), 0);
    EXPECT_EQ(v.render_buf, buf);
    EXPECT_EQ(v.render_cap, 320u * 200u);
    expect_matches_sampling(v, st);

    st.s.cur_frame = nullptr;  // nothing to draw
    EXPECT_EQ(compose_frame(&v, &st.s), -1);
    std::free(v.render_buf);
}

TEST(StatusText, CountersStateAndLimits) {
    komu_stream s;
    komu_stream_init(&s);
    s.header.frame_count = 300;
    s.next_index = 12;
    s.playing = 1;
    char text[TEXT_CAP];
    build_status_text(text, "/videos/demo.komu", &s);
    EXPECT_STREQ(text, "/videos/demo.komu | frame 12/300 | playing");
    s.playing = 0;
    build_status_text(text, "/videos/demo.komu", &s);
    EXPECT_STREQ(text, "/videos/demo.komu | frame 12/300 | paused");
    s.next_index = 0;  // before the first decode counts as frame 1
    build_status_text(text, "a", &s);
    EXPECT_STREQ(text, "a | frame 1/300 | paused");

    const std::string p127(127, 'p');
    build_status_text(text, p127.c_str(), &s);
    EXPECT_EQ(std::string(text), p127);
    const std::string p120(120, 'p');
    build_status_text(text, p120.c_str(), &s);
    EXPECT_EQ(std::string(text), p120 + " | fram");

    char digits[TEXT_CAP] = "";
    str_append_uint(digits, 0);
    str_append_uint(digits, 4294967295u);
    EXPECT_STREQ(digits, "04294967295");
    const std::string p124(124, 'x');
    std::strcpy(digits, p124.c_str());
    str_append_uint(digits, 98765);
    EXPECT_EQ(std::string(digits), p124 + "987");  // digits past 127 are dropped
}

TEST(Input, KeysActOnLowByteOrFullCode) {
    komu_stream s;
    komu_stream_init(&s);
    s.width = 640;
    s.height = 480;
    s.playing = 1;
    auto press = [&](view_state* v, uint32_t key) {
        const gui_event e = scripted::key_event(key);
        handle_input(v, &s, &e);
    };
    view_state v = view_of(920, 542);
    reset_view_transform(&v, 640, 480);
    const view_state fitted = v;
    v.running = 1;

    press(&v, ' ');
    EXPECT_EQ(s.playing, 0);
    press(&v, 0x1020);  // Space in the low byte
    EXPECT_EQ(s.playing, 1);
    s.playing = 7;
    press(&v, ' ');
    EXPECT_EQ(s.playing, 0);
    s.playing = 1;

    for (uint32_t in : {uint32_t{'+'}, uint32_t{'='}, GUI_KEY_ZOOM_IN, 0x102Bu}) {
        const int32_t before = v.zoom_permille;
        press(&v, in);
        EXPECT_EQ(v.zoom_permille, before * 5 / 4) << in;
    }
    for (uint32_t out : {uint32_t{'-'}, uint32_t{'_'}, GUI_KEY_ZOOM_OUT}) {
        const int32_t before = v.zoom_permille;
        press(&v, out);
        EXPECT_EQ(v.zoom_permille, before * 4 / 5) << out;
    }
    press(&v, 0x1030);  // '0' in the low byte: fit
    EXPECT_EQ(v.zoom_permille, fitted.zoom_permille);
    EXPECT_EQ(v.pan_x, fitted.pan_x);

    const int32_t x = v.pan_x, y = v.pan_y;
    press(&v, GUI_KEY_DOWN);
    press(&v, GUI_KEY_RIGHT);
    press(&v, GUI_KEY_RIGHT);
    EXPECT_EQ(v.pan_y, y + 20);
    EXPECT_EQ(v.pan_x, x + 40);
    press(&v, GUI_KEY_UP);
    press(&v, GUI_KEY_LEFT);
    EXPECT_EQ(v.pan_y, y);
    EXPECT_EQ(v.pan_x, x + 20);
    // Special codes match only in full; unknown keys do nothing.
    const view_state before = v;
    for (uint32_t k : {0x11001u, 0x3102u, 0x2104u, uint32_t{'a'}, 0x41u, 0u}) press(&v, k);
    EXPECT_EQ(std::memcmp(&v, &before, sizeof v), 0);
    EXPECT_EQ(s.playing, 1);

    for (uint32_t quit : {GUI_KEY_ESC, uint32_t{'q'}, uint32_t{'Q'}, 0x171u}) {
        v.running = 1;
        press(&v, quit);
        EXPECT_EQ(v.running, 0) << quit;
    }
}

TEST(Input, DragPansOneToOneAndWheelZoomsFirst) {
    komu_stream s;
    komu_stream_init(&s);
    s.width = 640;
    s.height = 480;
    view_state v = view_of(920, 542);
    reset_view_transform(&v, 640, 480);
    auto mouse = [&](int32_t x, int32_t y, int32_t buttons, int32_t wheel) {
        const gui_event e = scripted::mouse_event(x, y, buttons, wheel);
        handle_input(&v, &s, &e);
    };
    const int32_t x0 = v.pan_x, y0 = v.pan_y;
    mouse(100, 100, 1, 0);  // press: no pan yet
    EXPECT_EQ(v.pan_x, x0);
    mouse(130, 90, 1, 0);
    EXPECT_EQ(v.pan_x, x0 + 30);
    EXPECT_EQ(v.pan_y, y0 - 10);
    mouse(130, 90, 0, 0);  // release
    mouse(300, 300, 0, 0);  // moving without the button does nothing
    EXPECT_EQ(v.pan_x, x0 + 30);
    EXPECT_EQ(v.pan_y, y0 - 10);
    EXPECT_EQ(v.dragging, 0);
    EXPECT_EQ(v.last_valid, 0);

    // Wheel with the button held: zoom out once, then the drag's pan.
    const int32_t z = v.zoom_permille;
    mouse(10, 10, 1, 0);
    mouse(15, 10, 1 | 4, -3);  // other button bits are ignored
    EXPECT_EQ(v.zoom_permille, z * 4 / 5);
    view_state expect = view_of(920, 542);
    expect.zoom_permille = z;
    expect.pan_x = x0 + 30;
    expect.pan_y = y0 - 10;
    zoom_view(&expect, 640, 480, 0);
    EXPECT_EQ(v.pan_x, expect.pan_x + 5);
    EXPECT_EQ(v.pan_y, expect.pan_y);
    mouse(15, 10, 0, 7);  // release with a wheel step: zoom in
    EXPECT_EQ(v.zoom_permille, z * 4 / 5 * 5 / 4);
}

}  // namespace
