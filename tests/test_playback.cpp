// The playback loop over the scripted window server and its virtual clock:
// what is drawn, when, and in what order the program ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "gui_scripted.h"
#include "komu_test_files.h"
#include "viewer.h"

namespace {

using scripted::call_kind;
using testfile::bytes;
using testfile::temp_file;

// When frame k of a 30/1 video is due, k frames after the anchor: k / 30 s,
// rounded up to the millisecond.
uint64_t due_at_30(uint64_t k) { return (k * 1000 + 29) / 30; }

// A file of `frames` one-pixel frames, frame k holding the pixel value k + 1.
bytes numbered_video(uint32_t frames, uint8_t flags = 0, uint32_t fps_num = 30) {
    komu_header hd = testfile::header(1, 1, KOMU_MODE_SEQUENTIAL, frames, flags);
    hd.fps_num = fps_num;
    std::vector<bytes> pictures;
    for (uint32_t k = 1; k <= frames; ++k) pictures.push_back({uint8_t(k), uint8_t(k >> 8)});
    return testfile::sequential(hd, pictures);
}

// Runs the player on `path` for at most `passes` passes, from a clean server.
int run(const char* path, uint32_t passes = 100'000) {
    scripted::set_pass_limit(passes);
    char arg0[] = "cinepane";
    std::string p = path;
    char* argv[] = {arg0, p.data(), nullptr};
    return cinepane_main(2, argv);
}

// One presented drawing: the frame shown (pixel value - 1), the first text
// drawn (the status), the virtual time in milliseconds and the pass.
struct drawing {
    int32_t frame;
    std::string status;
    uint64_t ms;
    uint32_t pass;
};

std::vector<drawing> drawings() {
    std::vector<drawing> out;
    drawing d{-1, "", 0, 0};
    bool have_status = false;
    for (const auto& c : scripted::calls()) {
        if (c.kind == call_kind::blit) {
            // The video is fitted and centred; its middle render pixel is in it.
            d.frame = c.pixels[size_t(c.blit.src_h / 2) * size_t(c.blit.src_w) + size_t(c.blit.src_w / 2)] - 1;
            have_status = false;
        }
        if (c.kind == call_kind::text && !have_status) {
            d.status = c.str;
            have_status = true;
        }
        if (c.kind == call_kind::present) {
            d.ms = c.time_us / 1000;
            d.pass = c.pass;
            out.push_back(d);
        }
    }
    return out;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class Playback : public ::testing::Test {
protected:
    void SetUp() override { scripted::reset(); }
};

TEST_F(Playback, FrameOneAtOnceThenEveryFrameOnAbsoluteTimeEvenAcrossTheClockWrap) {
    temp_file f(numbered_video(3000));
    for (uint32_t start : {0u, 0xFFFFFFFFu - 2'000}) {  // the second wraps 2 s in
        SCOPED_TRACE(start);
        scripted::reset(start);
        EXPECT_EQ(run(f.path()), 0);
        const auto d = drawings();
        // Frame 0 is decoded at start-up but never drawn; the last drawing
        // comes with the close request that ends the run.
        ASSERT_EQ(d.size(), 3000u);
        EXPECT_EQ(d[0].frame, 1);
        EXPECT_EQ(d[0].ms, start);
        EXPECT_EQ(d[0].status, std::string(f.path()) + " | frame 2/3000 | playing");
        for (size_t i = 1; i + 1 < d.size(); ++i) {
            ASSERT_EQ(d[i].frame, int32_t(i + 1));
            ASSERT_EQ(d[i].ms - start, due_at_30(i + 1)) << "frame " << i + 1;  // no drift
        }
        EXPECT_EQ(d[299].ms - start, 10'000u);   // frame 300 at 30/1: 10 s
        EXPECT_EQ(d[2998].ms - start, 99'967u);  // frame 2999: 99,966.7 ms, never early
        // Every sleep is at most one frame interval (rounded up to the millisecond).
        for (const auto* c : scripted::calls_of(call_kind::sleep)) ASSERT_LE(c->value, 34'000);
    }
}

TEST_F(Playback, LoopRestartReanchorsAndAOneFrameLoopKeepsItsRate) {
    temp_file f(numbered_video(3, KOMU_LOOP));
    EXPECT_EQ(run(f.path(), 20), 0);
    const auto d = drawings();
    ASSERT_GE(d.size(), 8u);
    // 1 at 0, 2 at 67, then frame 0 again at 100, anchored anew there.
    const std::pair<int32_t, uint64_t> want[] = {{1, 0}, {2, 67}, {0, 100}, {1, 134}, {2, 167}, {0, 200}};
    for (size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(d[i].frame, want[i].first) << i;
        EXPECT_EQ(d[i].ms, want[i].second) << i;
    }
    EXPECT_TRUE(ends_with(d[2].status, "frame 1/3 | playing")) << d[2].status;

    scripted::reset();
    temp_file one(numbered_video(1, KOMU_LOOP, 25));
    EXPECT_EQ(run(one.path(), 51), 0);
    const auto o = drawings();
    ASSERT_EQ(o.size(), 51u);  // 50 passes, and the close request's drawing
    for (size_t i = 1; i + 1 < o.size(); ++i) ASSERT_EQ(o[i].ms - o[i - 1].ms, 40u);
}

TEST_F(Playback, QuitsAtOnceLeavingLaterEventsQueued) {
    temp_file f(numbered_video(10));
    for (const gui_event& e : {scripted::close_event(), scripted::key_event(' '), scripted::key_event('+')}) {
        scripted::queue_event(1, e);
    }
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    ASSERT_EQ(d.size(), 1u);  // frame 0, drawn once, still playing, not zoomed
    EXPECT_EQ(d[0].frame, 0);
    EXPECT_TRUE(ends_with(d[0].status, "frame 1/10 | playing")) << d[0].status;
    const auto& calls = scripted::calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front().kind, call_kind::create);
    EXPECT_EQ(calls.front().str, "View (KOMU)");
    EXPECT_EQ(calls[1].kind, call_kind::continuous_redraw);
    EXPECT_EQ(calls[1].value, 1);
    EXPECT_EQ(calls.back().kind, call_kind::continuous_redraw);  // then the stream is closed
    EXPECT_EQ(calls.back().value, 0);
    EXPECT_EQ(scripted::calls_of(call_kind::sleep).size(), 0u);
}

TEST_F(Playback, PauseIdlesWithoutDrawingAndResumeDoesNotFastForward) {
    temp_file f(numbered_video(100));
    scripted::queue_event(5, scripted::key_event(' '));    // pause
    scripted::queue_event(55, scripted::key_event(' '));   // resume, 0.5 s later
    scripted::queue_event(65, scripted::key_event('q'));
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    // Passes 1-4 show frames 1-4; pass 5 shows the pause; then nothing is
    // drawn until the resume.
    ASSERT_GE(d.size(), 7u);
    EXPECT_EQ(d[4].frame, 4);
    EXPECT_TRUE(ends_with(d[4].status, "| paused"));
    EXPECT_EQ(d[5].frame, 5);
    EXPECT_TRUE(ends_with(d[5].status, "| playing"));
    EXPECT_EQ(d[5].ms, d[4].ms + 50 * 10);  // 50 idle passes of 10 ms
    for (size_t i = 6; i + 1 < d.size(); ++i) {  // the last drawing comes with 'q'
        EXPECT_EQ(d[i].frame, d[i - 1].frame + 1);
        EXPECT_EQ(d[i].ms - d[5].ms, due_at_30(uint64_t(d[i].frame) - 5));
    }
    size_t idle = 0;
    for (const auto* c : scripted::calls_of(call_kind::sleep)) idle += c->value == 10'000;
    EXPECT_GE(idle, 49u);
}

TEST_F(Playback, EndOfStreamKeepsTheLastFrameAndIdles) {
    temp_file f(numbered_video(3, 0, 1000));  // 1 ms interval: idle sleeps are 1 ms
    EXPECT_EQ(run(f.path(), 40), 0);
    const auto d = drawings();
    ASSERT_EQ(d.size(), 3u);  // the third comes with the close request
    EXPECT_EQ(d[1].frame, 2);
    EXPECT_EQ(d[2].frame, 2);
    EXPECT_TRUE(ends_with(d[1].status, "frame 3/3 | playing"));
    const auto sleeps = scripted::calls_of(call_kind::sleep);
    ASSERT_GE(sleeps.size(), 30u);
    for (size_t i = 3; i < sleeps.size(); ++i) EXPECT_EQ(sleeps[i]->value, 1'000);
}

TEST_F(Playback, StallOfMoreThanASecondIsNotCaughtUp) {
    temp_file f(numbered_video(200));
    scripted::stall_at(10, 5'000);
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    ASSERT_EQ(d.size(), 200u);
    for (size_t i = 10; i + 1 < d.size(); ++i) {  // one interval apart again: no burst
        EXPECT_GE(d[i].ms - d[i - 1].ms, 33u) << "frame " << d[i].frame;
        EXPECT_LE(d[i].ms - d[i - 1].ms, 34u) << "frame " << d[i].frame;
    }
}

// Each key that moves through the video, at 10 frames/s (1 s = 10 frames),
// on a 250-frame file, a looping 30-frame one, a mode 1 file that lacks its
// last 40 frames (a seek there fails) and a looping one from a pipe (it
// cannot seek, and plays once). A row: the pass whose events include the
// key (0: none), then what that pass draws: the frame, and whether playing
// (1), playing and drawn one interval after the drawing before it (2), or
// paused (0). The status counts the frame from 1.
TEST_F(Playback, SeekStepHomeAndEndShowTheirFrameAtOnceAndPlayOnFromIt) {
    constexpr uint32_t S_RIGHT = GUI_KEY_RIGHT | GUI_KEY_SHIFT, S_LEFT = GUI_KEY_LEFT | GUI_KEY_SHIFT,
                       END = GUI_KEY_END, HOME = GUI_KEY_HOME, PGUP = GUI_KEY_PAGE_UP, PGDN = GUI_KEY_PAGE_DOWN;
    bytes cut = numbered_video(60, 0, 10);
    const uint32_t claimed = 100;
    std::memcpy(cut.data() + 12, &claimed, 4);  // frame_count
    const struct {
        bytes file;
        bool pipe;
        std::vector<std::array<uint32_t, 4>> rows;  // pass, key, frame, state
    } cases[] = {
        {numbered_video(250, 0, 10), false,
         {{5, END, 249, 1}, {8, HOME, 0, 1}, {9, 0, 1, 2}, {10, PGDN, 101, 1}, {11, 0, 102, 2},
          {12, S_LEFT, 92, 1}, {13, 0, 93, 2}, {14, '.', 94, 0}, {15, ',', 93, 0}, {16, PGUP, 0, 0},
          {17, S_RIGHT, 10, 0}, {18, END, 249, 0}, {19, ' ', 249, 1}, {20, ',', 248, 0}}},
        {numbered_video(30, KOMU_LOOP, 10), false,
         {{3, S_LEFT, 22, 1}, {4, 0, 23, 2}, {5, PGDN, 3, 1}, {6, END, 29, 1}, {7, 0, 0, 2},
          {8, ',', 29, 0}, {9, '.', 0, 0}, {10, '.', 1, 0}}},
        {cut, false, {{5, END, 5, 2}, {6, PGDN, 6, 2}, {7, '.', 7, 0}}},
        {numbered_video(20, KOMU_LOOP, 10), true, {{5, HOME, 5, 2}, {6, ',', 6, 2}, {20, 0, 19, 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.size());
        scripted::reset();
        for (const auto& [pass, key, frame, state] : c.rows) {
            if (key != 0) scripted::queue_event(pass, scripted::key_event(key));
        }
        temp_file f(c.file, c.pipe);
        EXPECT_EQ(run(f.path(), 30), 0);
        EXPECT_EQ(scripted::passes() < 30, c.pipe);  // only the pipe ends by itself
        uint32_t count;
        std::memcpy(&count, c.file.data() + 12, 4);
        const auto d = drawings();
        for (const auto& [pass, key, frame, state] : c.rows) {
            SCOPED_TRACE(pass);
            const auto at = std::find_if(d.begin(), d.end(), [&](const drawing& x) { return x.pass == pass; });
            ASSERT_TRUE(at != d.begin() && at != d.end());
            EXPECT_EQ(at->frame, int32_t(frame));
            EXPECT_TRUE(ends_with(at->status, " frame " + std::to_string(frame + 1) + "/" +
                                                  std::to_string(count) + (state ? " | playing" : " | paused")))
                << at->status;
            EXPECT_TRUE(state != 2 || at->ms - at[-1].ms == 100) << at->ms - at[-1].ms << " ms after the last";
        }
    }
}

TEST_F(Playback, DecodeErrorEndsAfterOneMoreDrawing) {
    const bytes a = testfile::picture(4, 4, 1), b = testfile::picture(4, 4, 2);
    temp_file f(testfile::indexed(testfile::header(4, 4, KOMU_MODE_INDEXED, 4),
                                  {{0, a}, {0, b}, {0, bytes(b.begin(), b.end() - 2)}, {0, a}}));
    EXPECT_EQ(run(f.path()), 0);
    ASSERT_EQ(scripted::calls_of(call_kind::present).size(), 2u);  // frame 1, then again as it ends
    EXPECT_TRUE(ends_with(scripted::calls_of(call_kind::text)[2]->str, "frame 2/4 | playing"));
    EXPECT_EQ(scripted::calls().back().kind, call_kind::continuous_redraw);
}

TEST_F(Playback, LayoutOfEachPassFollowsTheContentSize) {
    temp_file f(numbered_video(5));
    const auto blit_and_bar = [&](int32_t w, int32_t h) {
        scripted::reset();
        scripted::set_content_size(w, h);
        EXPECT_EQ(run(f.path(), 2), 0);
        EXPECT_EQ(scripted::calls_of(call_kind::blit).size(), 2u);  // one with the close request
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

TEST_F(Playback, IdlePassesDrawNothingButARefusedBeginIsRetried) {
    temp_file f(numbered_video(1));  // one frame: nothing else would redraw
    scripted::set_begin_result(-1);
    EXPECT_EQ(run(f.path(), 3), 0);
    EXPECT_EQ(scripted::calls_of(call_kind::present).size(), 0u);
    EXPECT_EQ(scripted::calls_of(call_kind::begin).size(), 3u);  // tried on every pass

    scripted::reset();
    scripted::queue_event(1, scripted::key_event(GUI_KEY_RIGHT));
    EXPECT_EQ(run(f.path(), 6), 0);
    // Pass 1 (the key) and pass 6 (the close request) draw; 2 to 5 do not.
    const auto presents = scripted::calls_of(call_kind::present);
    ASSERT_EQ(presents.size(), 2u);
    EXPECT_EQ(presents[0]->pass, 1u);
    EXPECT_EQ(presents[1]->pass, 6u);
}

TEST_F(Playback, WindowThatCannotBeCreated) {
    temp_file f(numbered_video(2));
    scripted::set_create_result(-1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(f.path()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cinepane: gui_create failed\n");
    EXPECT_EQ(scripted::calls().size(), 1u);
}

}  // namespace
