// The playback loop over the scripted window server and its virtual clock:
// what is drawn, when, and in what order the program ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "gui_scripted.h"
#include "komu_test_files.h"
#include "viewer.h"

namespace {

using scripted::call_kind;
using testfile::bytes;

// When frame k of a 30/1 video is due, k frames after the anchor: k / 30 s, rounded up to the millisecond.
uint64_t due_at_30(uint64_t k) { return (k * 1000 + 29) / 30; }

// A file of `frames` one-pixel frames, frame k holding the pixel value k + 1.
bytes numbered_video(uint32_t frames, uint8_t flags = 0, uint32_t fps_num = 30) {
    komu_header hd = testfile::header(1, 1, KOMU_MODE_SEQUENTIAL, frames, flags);
    hd.fps_num = fps_num;
    std::vector<bytes> pictures;
    for (uint32_t k = 1; k <= frames; ++k) pictures.push_back({uint8_t(k), uint8_t(k >> 8)});
    return testfile::sequential(hd, pictures);
}

// A still video of one w x h picture.
bytes still_video(uint16_t w, uint16_t h) {
    return testfile::sequential(testfile::header(w, h, KOMU_MODE_SEQUENTIAL, 1), {testfile::picture(w, h, 3)});
}

// Each presented drawing (blit, bar, status, help text, present): the frame shown (the pixel value
// less 1 at the middle of the fitted and centred video), the status less the path, the virtual time
// in milliseconds and the pass.
struct drawing { int32_t frame; std::string status; uint64_t ms; uint32_t pass; };

// Runs the player on the video, from a file or a pipe, for at most `passes` passes, with the events
// arriving at their virtual times (ms); its drawings. It ends with status 0.
std::vector<drawing> play(const bytes& video, uint32_t passes = 100'000,
                          std::vector<std::pair<uint32_t, gui_event>> events = {}, bool pipe = false) {
    for (const auto& [ms, e] : events) scripted::queue_event_at(ms, e);
    const testfile::temp_file f(video, pipe);
    scripted::set_pass_limit(passes);
    std::string arg0 = "cinepane", path = f.path();
    char* argv[] = {arg0.data(), path.data(), nullptr};
    EXPECT_EQ(cinepane_main(2, argv), 0);
    std::vector<drawing> out;
    for (const scripted::call* p : scripted::calls_of(call_kind::present)) {
        const gui_blit_desc& b = p[-4].blit;
        out.push_back({p[-4].pixels.at(size_t(b.src_h / 2 * b.src_w + b.src_w / 2)) - 1,
                       p[-2].str.substr(p[-2].str.rfind(" | frame ") + 3), p->time_us / 1000, p->pass});
    }
    return out;
}

gui_event key(uint32_t code) { return scripted::key_event(code); }

// The first n frames drawn, and when.
using timeline = std::vector<std::pair<int32_t, uint64_t>>;
timeline first(const std::vector<drawing>& d, size_t n) {
    timeline out;
    for (size_t i = 0; i < n && i < d.size(); ++i) out.emplace_back(d[i].frame, d[i].ms);
    return out;
}

class Playback : public ::testing::Test {
protected:
    void SetUp() override { scripted::reset(); }
};

TEST_F(Playback, FrameOneAtOnceThenEveryFrameOnAbsoluteTimeEvenAcrossTheClockWrap) {
    for (uint32_t start : {0u, 0xFFFFFFFFu - 2'000}) {  // the second wraps 2 s in
        SCOPED_TRACE(start);
        scripted::reset(start);
        const auto d = play(numbered_video(3000));
        // Frame 0 is decoded at start-up but never drawn; the last drawing comes with the close
        // request that ends the run.
        ASSERT_EQ(d.size(), 3000u);
        EXPECT_EQ(d[0].status, "frame 2/3000 | playing");
        for (size_t i = 0; i + 1 < d.size(); ++i) {
            ASSERT_EQ(d[i].frame, int32_t(i + 1));
            ASSERT_EQ(d[i].ms - start, i ? due_at_30(i + 1) : 0) << "frame " << i + 1;  // no drift
        }
        EXPECT_EQ(std::pair(d[299].ms - start, d[2998].ms - start), std::pair(uint64_t{10'000}, uint64_t{99'967}));
        // A wait between frames, each at most one frame interval (rounded up to the millisecond);
        // at the end of the stream one for an event.
        auto waits = scripted::calls_of(call_kind::wait);
        ASSERT_GE(waits.size(), 2999u);
        EXPECT_EQ(waits.back()->value, -1);
        EXPECT_TRUE(std::all_of(waits.begin(), waits.end() - 1, [](auto* c) { return c->value >= 0 && c->value <= 34; }));
    }
}

TEST_F(Playback, LoopRestartReanchorsAndAOneFrameLoopKeepsItsRate) {
    // 1 at 0, 2 at 67, then frame 0 again at 100, anchored anew there.
    const auto d = play(numbered_video(3, KOMU_LOOP), 20);
    ASSERT_EQ(first(d, 6), (timeline{{1, 0}, {2, 67}, {0, 100}, {1, 134}, {2, 167}, {0, 200}}));
    EXPECT_EQ(d[2].status, "frame 1/3 | playing");
    scripted::reset();
    const auto o = play(numbered_video(1, KOMU_LOOP, 25), 51);
    ASSERT_EQ(o.size(), 51u);  // 50 passes, and the close request's drawing
    for (size_t i = 1; i + 1 < o.size(); ++i) ASSERT_EQ(o[i].ms - o[i - 1].ms, 40u);
}

TEST_F(Playback, QuitsAtOnceLeavingLaterEventsQueued) {
    for (const gui_event& e : {scripted::close_event(), key(' '), key('+')}) scripted::queue_event(1, e);
    const auto d = play(numbered_video(10));
    ASSERT_EQ(d.size(), 1u);  // frame 0, drawn once, still playing, not zoomed
    EXPECT_EQ(std::pair(d[0].frame, d[0].status), std::pair(0, std::string("frame 1/10 | playing")));
    // The window is created, continuous redraw is asked for and, after the last pass, off again.
    const auto& calls = scripted::calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(std::tuple(calls[0].kind, calls[0].str, calls[1].kind, calls[1].value, calls.back().kind, calls.back().value),
              std::tuple(call_kind::create, "View (KOMU)", call_kind::continuous_redraw, 1, call_kind::continuous_redraw, 0));
    EXPECT_EQ(scripted::calls_of(call_kind::wait).size(), 0u);
}

TEST_F(Playback, KeysDuringALongIntervalActAtOnceAndFramesKeepTheirTimes) {
    // 200 ms a frame, frame 1 up for two; both keys in one pass; pointer motion draws nothing.
    const auto d = play(numbered_video(10, 0, 5), 8, {{250, key('+')}, {250, key('+')}, {333, scripted::mouse_event(5, 5, 0, 0)}});
    ASSERT_EQ(d.size(), 7u);
    EXPECT_EQ(first(d, 6), (timeline{{1, 0}, {1, 250}, {2, 400}, {3, 600}, {4, 800}, {5, 1000}}));
    const auto blits = scripted::calls_of(call_kind::blit);
    EXPECT_NE(blits[0]->pixels, blits[1]->pixels);  // zoomed in at 250 ms
}

TEST_F(Playback, PausedOrEndedItWaitsForEventsOnlyAndResumeDoesNotFastForward) {
    // Paused after frame 4 (134 ms) and resumed 5 s later: the pause is drawn at once, then
    // nothing; the resume decodes at once.
    const auto d = play(numbered_video(100), 100'000, {{150, key(' ')}, {5'150, key(' ')}, {5'300, key('q')}});
    ASSERT_EQ(first(d, 6), (timeline{{1, 0}, {2, 67}, {3, 100}, {4, 134}, {4, 150}, {5, 5'150}}));
    EXPECT_EQ(d[4].status, "frame 5/100 | paused");
    EXPECT_EQ(d[5].status, "frame 6/100 | playing");
    for (size_t i = 6; i + 1 < d.size(); ++i) {  // the last drawing comes with 'q'
        EXPECT_EQ(d[i].frame, d[i - 1].frame + 1);
        EXPECT_EQ(d[i].ms - d[5].ms, due_at_30(uint64_t(d[i].frame) - 5));
    }
    // While paused, after the pause's drawing: one wait without a time-out, and the next call is
    // the resume's pass. Nothing is slept.
    const auto& calls = scripted::calls();
    const size_t pause = size_t(scripted::calls_of(call_kind::present)[4] - calls.data());
    EXPECT_EQ(std::tuple(calls[pause + 1].kind, calls[pause + 1].value, calls[pause + 2].time_us),
              std::tuple(call_kind::wait, -1, uint64_t{5'150'000}));
    EXPECT_EQ(scripted::calls_of(call_kind::sleep).size(), 0u);

    scripted::reset();  // at the end of a stream, too: frames 1 and 2, and the close request's drawing
    EXPECT_EQ(play(numbered_video(3, 0, 1000)).size(), 3u);
    EXPECT_EQ(scripted::calls_of(call_kind::wait).back()->value, -1);
    EXPECT_EQ(scripted::passes(), 4u);  // the end is found on pass 3, the close comes on 4
}

TEST_F(Playback, StallOfMoreThanASecondIsNotCaughtUp) {
    scripted::stall_at(10, 5'000);
    const auto d = play(numbered_video(200));
    ASSERT_EQ(d.size(), 200u);
    for (size_t i = 10; i + 1 < d.size(); ++i) {  // one interval apart again: no burst
        ASSERT_TRUE(d[i].ms - d[i - 1].ms == 33 || d[i].ms - d[i - 1].ms == 34) << "frame " << d[i].frame;
    }
}

// Each key that moves through the video, at 10 frames/s (1 s = 10 frames), on a 250-frame file, a
// looping 30-frame one, a mode 1 file that lacks its last 40 frames (a seek there fails) and a
// looping one from a pipe (it cannot seek, and plays once). A row: the pass whose events include
// the key (0: none), then what that pass draws: the frame, and whether playing (1), playing and
// drawn one interval after the drawing before it (2), or paused (0).
TEST_F(Playback, SeekStepHomeAndEndShowTheirFrameAtOnceAndPlayOnFromIt) {
    constexpr uint32_t S_RIGHT = GUI_KEY_RIGHT | GUI_KEY_SHIFT, S_LEFT = GUI_KEY_LEFT | GUI_KEY_SHIFT,
                       END = GUI_KEY_END, HOME = GUI_KEY_HOME, PGUP = GUI_KEY_PAGE_UP, PGDN = GUI_KEY_PAGE_DOWN;
    bytes cut = numbered_video(60, 0, 10);
    const uint32_t claimed = 100;
    std::memcpy(cut.data() + offsetof(komu_header, frame_count), &claimed, 4);
    const struct {
        bytes file;
        bool pipe;
        uint32_t count;
        std::vector<std::array<uint32_t, 4>> rows;  // pass, key, frame, state
    } cases[] = {
        {numbered_video(250, 0, 10), false, 250,
         {{5, END, 249, 1}, {8, HOME, 0, 1}, {9, 0, 1, 2}, {10, PGDN, 101, 1}, {11, 0, 102, 2},
          {12, S_LEFT, 92, 1}, {13, 0, 93, 2}, {14, '.', 94, 0}, {15, ',', 93, 0}, {16, PGUP, 0, 0},
          {17, S_RIGHT, 10, 0}, {18, END, 249, 0}, {19, ' ', 249, 1}, {20, ',', 248, 0}}},
        {numbered_video(30, KOMU_LOOP, 10), false, 30,
         {{3, S_LEFT, 22, 1}, {4, 0, 23, 2}, {5, PGDN, 3, 1}, {6, END, 29, 1}, {7, 0, 0, 2},
          {8, ',', 29, 0}, {9, '.', 0, 0}, {10, '.', 1, 0}}},
        {cut, false, 100, {{5, END, 5, 2}, {6, PGDN, 6, 2}, {7, '.', 7, 0}}},
        {numbered_video(20, KOMU_LOOP, 10), true, 20, {{5, HOME, 5, 2}, {6, ',', 6, 2}, {20, 0, 19, 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        scripted::reset();
        for (const auto& [pass, code, frame, state] : c.rows) {
            if (code != 0) scripted::queue_event(pass, key(code));
        }
        const auto d = play(c.file, 30, {}, c.pipe);
        EXPECT_TRUE(!c.pipe || scripted::passes() < 30);  // the looping pipe ends by itself
        for (const auto& [pass, code, frame, state] : c.rows) {
            const auto at = std::find_if(d.begin(), d.end(), [&](const drawing& x) { return x.pass == pass; });
            ASSERT_TRUE(at != d.begin() && at != d.end()) << pass;
            EXPECT_EQ(at->status, "frame " + std::to_string(frame + 1) + "/" + std::to_string(c.count) +
                                      (state ? " | playing" : " | paused")) << pass;
            EXPECT_EQ(at->frame, int32_t(frame)) << pass;
            EXPECT_TRUE(state != 2 || at->ms - at[-1].ms == 100) << pass << ": " << at->ms - at[-1].ms << " ms";
        }
    }
}

TEST_F(Playback, DecodeErrorEndsAfterOneMoreDrawing) {
    const bytes a = testfile::picture(4, 4, 1), b = testfile::picture(4, 4, 2);
    const auto d = play(testfile::indexed(testfile::header(4, 4, KOMU_MODE_INDEXED, 4),
                                          {{0, a}, {0, b}, {0, bytes(b.begin(), b.end() - 2)}, {0, a}}));
    ASSERT_EQ(d.size(), 2u);  // frame 1, then again as it ends
    EXPECT_EQ(d[1].status, "frame 2/4 | playing");
    EXPECT_EQ(scripted::calls().back().kind, call_kind::continuous_redraw);
}

TEST_F(Playback, LayoutOfEachPassFollowsTheContentSize) {
    const auto blit_and_bar = [&](int32_t w, int32_t h) {
        scripted::reset();
        scripted::set_content_size(w, h);
        EXPECT_EQ(play(numbered_video(5), 2).size(), 2u);  // one with the close request
        const gui_blit_desc& b = scripted::calls_of(call_kind::blit).at(0)->blit;
        return std::vector{b.src_w, b.src_h, b.dst_w, b.dst_h, scripted::calls_of(call_kind::fill)[0]->rect.y};
    };
    // 40 rows of video (not 32) in a 50-row content, bar under them.
    EXPECT_EQ(blit_and_bar(300, 50), (std::vector{300, 40, 300, 40, 40}));
    // No size yet: the default window, its bar and texts.
    EXPECT_EQ(blit_and_bar(0, 0), (std::vector{320, 200, 920, 542, 542}));
    const gui_rect_desc bar = scripted::calls_of(call_kind::fill)[0]->rect;
    const auto texts = scripted::calls_of(call_kind::text);
    EXPECT_EQ((std::vector<int64_t>{bar.w, bar.h, bar.color, texts[0]->text.x, texts[0]->text.y,
                                    texts[0]->text.color, texts[1]->text.x, texts[1]->text.color}),
              (std::vector<int64_t>{920, 18, 0x262626, 6, 547, 0xDEDEDE, 460, 0x8C8C8C}));
    EXPECT_EQ(texts[1]->str, "Space play/pause  +/- zoom  wheel zoom  arrows/mouse pan  Esc quit");
}

TEST_F(Playback, ARefusedBeginIsRetriedEvery10Ms) {
    scripted::set_begin_result(-1);
    EXPECT_EQ(play(numbered_video(1), 3).size(), 0u);  // one frame: nothing else would redraw
    EXPECT_EQ(scripted::calls_of(call_kind::begin).size(), 3u);  // tried on every pass
    for (const auto* c : scripted::calls_of(call_kind::wait)) EXPECT_EQ(c->value, 10);
    EXPECT_EQ(scripted::now_us(), 20'000u);  // nothing else is slept
}

TEST_F(Playback, FullscreenRefitsOnTheNewSizeAPlainResizeDoesNot) {
    const bytes video = still_video(64, 48);
    // The picture of a first pass (a fit) at each size.
    const auto fitted = [&](int32_t w, int32_t h) {
        scripted::reset();
        scripted::set_content_size(w, h);
        play(video, 1);
        return scripted::calls_of(call_kind::blit).at(0)->pixels;
    };
    const auto small = fitted(920, 560), large = fitted(1280, 800);
    for (uint32_t k : {uint32_t{'f'}, GUI_KEY_F11, uint32_t{'a'}}) {  // 'a': no fullscreen, zoom and pan kept
        scripted::reset();
        scripted::set_content_size(920, 560);
        scripted::queue_event_at(100, key('+'));
        scripted::queue_event_at(200, key(k));
        scripted::resize_at(230, 1280, 800);  // the server's answer comes later
        scripted::queue_event_at(300, key(k));
        scripted::resize_at(330, 920, 560);
        play(video);
        const auto b = scripted::calls_of(call_kind::blit);  // fit, zoomed, key, resized, key, resized back
        ASSERT_GE(b.size(), 6u);
        EXPECT_EQ(std::pair(b[3]->pixels == large, b[5]->pixels == small), std::pair(k != 'a', k != 'a')) << k;
        std::vector<int32_t> asked;
        for (const auto* c : scripted::calls_of(call_kind::fullscreen)) asked.push_back(c->value);
        EXPECT_EQ(asked, (k == 'a' ? std::vector<int32_t>{} : std::vector{1, 0})) << k;
    }
}

TEST_F(Playback, AsksForAWindowThatSuitsTheVideoBeforeItDrawsAndFitsWhatItGets) {
    const int32_t cases[][6] = {
        {1280, 800, 640, 480, 920, 498},  // scale 1, widened for the bar's texts
        {1280, 800, 320, 200, 960, 618},  // scale 3
        {1920, 1080, 64, 48, 920, 306},   // scale 6 at most, as the fit
        {800, 600, 640, 480, 720, 498},   // never past nine tenths of the screen
        {640, 480, 640, 480, 576, 431},   // shrunk, keeping its shape
        {0, 0, 640, 480, 0, 0},           // no screen size: nothing to ask
    };
    for (const auto& [screen_w, screen_h, w, h, want_w, want_h] : cases) {
        const gui_size got = preferred_content_size({screen_w, screen_h}, w, h);
        EXPECT_EQ(std::pair(got.w, got.h), std::pair(want_w, want_h)) << screen_w << " " << w;
    }
    scripted::set_screen_size(1280, 800);
    play(still_video(320, 200), 1);
    const auto& calls = scripted::calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::tuple(calls[2].kind, calls[2].rect.w, calls[2].rect.h), std::tuple(call_kind::request_size, 960, 618));
    const auto& blit = *scripted::calls_of(call_kind::blit).at(0);
    EXPECT_EQ(std::pair(blit.blit.dst_w, blit.blit.dst_h), std::pair(960, 600));
    // Fitted at 3x: the top-left render pixel shows the top-left frame pixel.
    const bytes frame = testfile::picture(320, 200, 3);
    EXPECT_EQ(blit.pixels[0], frame[0] | frame[1] << 8);
}

}  // namespace
