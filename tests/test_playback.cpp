// The playback loop over the scripted window server and its virtual clock:
// what is drawn, when, and in what order the program ends.
#include <gtest/gtest.h>

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
    for (uint32_t k = 0; k < frames; ++k) {
        pictures.push_back({static_cast<uint8_t>(k + 1), static_cast<uint8_t>((k + 1) >> 8)});
    }
    return testfile::sequential(hd, pictures);
}

int run(const char* path) {
    char arg0[] = "cinepane";
    std::string p = path;
    char* argv[] = {arg0, p.data(), nullptr};
    return cinepane_main(2, argv);
}

// One presented drawing: the frame shown (pixel value - 1), the status text,
// and the virtual time in milliseconds.
struct drawing {
    int32_t frame;
    std::string status;
    uint64_t ms;
};

std::vector<drawing> drawings() {
    std::vector<drawing> out;
    drawing d{-1, "", 0};
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
            out.push_back(d);
        }
    }
    return out;
}

class Playback : public ::testing::Test {
protected:
    void SetUp() override {
        scripted::reset();
        scripted::set_pass_limit(100'000);
    }
};

TEST_F(Playback, FirstPassShowsFrameOneThenFramesKeepAbsoluteTime) {
    temp_file f(numbered_video(3000));
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    // Frame 0 is decoded at start-up but never drawn; the last drawing comes
    // with the close request that ends the test.
    ASSERT_EQ(d.size(), 3000u);
    EXPECT_EQ(d.back().frame, 2999);
    EXPECT_EQ(d[0].frame, 1);
    EXPECT_EQ(d[0].ms, 0u);
    EXPECT_EQ(d[0].status, std::string(f.path()) + " | frame 2/3000 | playing");
    for (size_t i = 1; i + 1 < d.size(); ++i) {
        const uint64_t k = static_cast<uint64_t>(d[i].frame);
        ASSERT_EQ(k, i + 1);
        ASSERT_EQ(d[i].ms, due_at_30(k)) << "frame " << k;  // no drift
    }
    EXPECT_EQ(d[299].frame, 300);
    EXPECT_EQ(d[299].ms, 10'000u);  // 300 frames at 30/1: 10 s
    EXPECT_EQ(d[2998].ms, 99'967u);  // frame 2999: 99,966.7 ms, never early
    // Every sleep is at most one frame interval (rounded up to the millisecond).
    for (const auto* c : scripted::calls_of(call_kind::sleep)) ASSERT_LE(c->value, 34'000);
}

TEST_F(Playback, PacesAcrossTheClockWrap) {
    scripted::reset(0xFFFFFFFFu - 2'000);  // the millisecond clock wraps 2 s in
    scripted::set_pass_limit(100'000);
    temp_file f(numbered_video(200));
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    ASSERT_EQ(d.size(), 200u);
    const uint64_t t0 = d[0].ms;
    for (size_t i = 1; i + 1 < d.size(); ++i) {
        const uint64_t k = static_cast<uint64_t>(d[i].frame);
        ASSERT_EQ(d[i].ms - t0, due_at_30(k)) << "frame " << k;
    }
}

TEST_F(Playback, LoopRestartReanchorsAndDrawsFrameZero) {
    temp_file f(numbered_video(3, KOMU_LOOP));
    scripted::set_pass_limit(20);
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    ASSERT_GE(d.size(), 8u);
    // 1 at 0, 2 at 67, then frame 0 again at 100, anchored anew there.
    EXPECT_EQ(d[0].frame, 1);
    EXPECT_EQ(d[1].frame, 2);
    EXPECT_EQ(d[1].ms, 67u);
    EXPECT_EQ(d[2].frame, 0);
    EXPECT_EQ(d[2].ms, 100u);
    EXPECT_EQ(d[2].status.substr(d[2].status.size() - 19), "frame 1/3 | playing");
    EXPECT_EQ(d[3].frame, 1);
    EXPECT_EQ(d[3].ms, 100u + 34u);
    EXPECT_EQ(d[4].frame, 2);
    EXPECT_EQ(d[4].ms, 100u + 67u);
    EXPECT_EQ(d[5].frame, 0);
}

TEST_F(Playback, OneFrameLoopRedrawsAtItsFrameRate) {
    temp_file f(numbered_video(1, KOMU_LOOP, 25));
    scripted::set_pass_limit(51);
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    ASSERT_EQ(d.size(), 51u);  // 50 passes, and the close request's drawing
    for (size_t i = 1; i + 1 < d.size(); ++i) ASSERT_EQ(d[i].ms - d[i - 1].ms, 40u);
}

TEST_F(Playback, QuitsAtOnceLeavingLaterEventsQueued) {
    temp_file f(numbered_video(10));
    scripted::queue_event(1, scripted::close_event());
    scripted::queue_event(1, scripted::key_event(' '));
    scripted::queue_event(1, scripted::key_event('+'));
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    ASSERT_EQ(d.size(), 1u);  // frame 0, drawn once, still playing, not zoomed
    EXPECT_EQ(d[0].frame, 0);
    EXPECT_EQ(d[0].status.substr(d[0].status.size() - 20), "frame 1/10 | playing");
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
    scripted::queue_event(205, scripted::key_event(' '));  // resume, 2 s later
    scripted::queue_event(215, scripted::key_event('q'));
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    // Passes 1-4 show frames 1-4; pass 5 shows the pause; then nothing is
    // drawn until the resume.
    ASSERT_GE(d.size(), 7u);
    EXPECT_EQ(d[4].frame, 4);
    EXPECT_NE(d[4].status.find("| paused"), std::string::npos);
    const uint64_t paused_at = d[4].ms;
    EXPECT_EQ(d[5].frame, 5);
    EXPECT_NE(d[5].status.find("| playing"), std::string::npos);
    EXPECT_EQ(d[5].ms, paused_at + 200 * 10);  // 200 idle passes of 10 ms
    for (size_t i = 6; i + 1 < d.size(); ++i) {  // the last drawing comes with 'q'
        EXPECT_EQ(d[i].frame, d[i - 1].frame + 1);
        EXPECT_EQ(d[i].ms - d[5].ms, due_at_30(uint64_t(d[i].frame) - 5));
    }
    // Idle sleeps while paused: 10 ms each.
    size_t idle = 0;
    for (const auto* c : scripted::calls_of(call_kind::sleep)) idle += c->value == 10'000;
    EXPECT_GE(idle, 199u);
}

TEST_F(Playback, EndOfStreamKeepsTheLastFrameAndIdles) {
    temp_file f(numbered_video(3, 0, 1000));  // 1 ms interval: idle sleeps are 1 ms
    scripted::set_pass_limit(40);
    EXPECT_EQ(run(f.path()), 0);
    const auto d = drawings();
    ASSERT_EQ(d.size(), 3u);  // the third comes with the close request
    EXPECT_EQ(d[1].frame, 2);
    EXPECT_EQ(d[2].frame, 2);
    EXPECT_NE(d[1].status.find("frame 3/3 | playing"), std::string::npos);
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
    // After the stall, frames are again one interval apart: no burst.
    for (size_t i = 10; i + 1 < d.size(); ++i) {
        EXPECT_GE(d[i].ms - d[i - 1].ms, 33u) << "frame " << d[i].frame;
        EXPECT_LE(d[i].ms - d[i - 1].ms, 34u) << "frame " << d[i].frame;
    }
}

TEST_F(Playback, DecodeErrorEndsAfterOneMoreDrawing) {
    const bytes a = testfile::picture(4, 4, 1), b = testfile::picture(4, 4, 2);
    bytes bad(b.begin(), b.end() - 2);
    temp_file f(testfile::indexed(testfile::header(4, 4, KOMU_MODE_INDEXED, 4),
                                  {{0, a}, {0, b}, {0, bad}, {0, a}}));
    EXPECT_EQ(run(f.path()), 0);
    const auto presents = scripted::calls_of(call_kind::present);
    ASSERT_EQ(presents.size(), 2u);  // frame 1, then frame 1 again as the error ends it
    const auto texts = scripted::calls_of(call_kind::text);
    EXPECT_NE(texts[2]->str.find("frame 2/4 | playing"), std::string::npos);
    EXPECT_EQ(scripted::calls().back().kind, call_kind::continuous_redraw);
}

TEST_F(Playback, LayoutOfEachPassFollowsTheContentSize) {
    temp_file f(numbered_video(5));
    scripted::set_content_size(0, 0);
    scripted::set_pass_limit(2);
    EXPECT_EQ(run(f.path()), 0);
    auto blits = scripted::calls_of(call_kind::blit);
    auto fills = scripted::calls_of(call_kind::fill);
    auto texts = scripted::calls_of(call_kind::text);
    ASSERT_EQ(blits.size(), 2u);  // the second comes with the close request
    EXPECT_EQ(blits[0]->blit.src_w, 320);
    EXPECT_EQ(blits[0]->blit.src_h, 200);
    EXPECT_EQ(blits[0]->blit.dst_w, 920);
    EXPECT_EQ(blits[0]->blit.dst_h, 542);
    EXPECT_EQ(fills[0]->rect.y, 542);
    EXPECT_EQ(fills[0]->rect.w, 920);
    EXPECT_EQ(fills[0]->rect.h, 18);
    EXPECT_EQ(fills[0]->rect.color, 0x262626u);
    EXPECT_EQ(texts[0]->text.x, 6);
    EXPECT_EQ(texts[0]->text.y, 547);
    EXPECT_EQ(texts[0]->text.color, 0xDEDEDEu);
    EXPECT_EQ(texts[1]->str, "Space play/pause  +/- zoom  wheel zoom  arrows/mouse pan  Esc quit");
    EXPECT_EQ(texts[1]->text.x, 460);
    EXPECT_EQ(texts[1]->text.color, 0x8C8C8Cu);

    scripted::reset();
    scripted::set_content_size(300, 50);  // 40 rows of video (not 32), bar under them
    scripted::set_pass_limit(2);
    EXPECT_EQ(run(f.path()), 0);
    blits = scripted::calls_of(call_kind::blit);
    fills = scripted::calls_of(call_kind::fill);
    ASSERT_EQ(blits.size(), 2u);
    EXPECT_EQ(blits[0]->blit.src_w, 300);
    EXPECT_EQ(blits[0]->blit.src_h, 40);
    EXPECT_EQ(blits[0]->blit.dst_h, 40);
    EXPECT_EQ(fills[0]->rect.y, 40);
}

TEST_F(Playback, IdlePassesDrawNothingButARefusedBeginIsRetried) {
    temp_file f(numbered_video(1));  // one frame: nothing else would redraw
    scripted::set_begin_result(-1);
    scripted::set_pass_limit(3);
    EXPECT_EQ(run(f.path()), 0);
    EXPECT_EQ(scripted::calls_of(call_kind::present).size(), 0u);
    EXPECT_EQ(scripted::calls_of(call_kind::begin).size(), 3u);  // tried on every pass

    scripted::reset();
    scripted::queue_event(1, scripted::key_event(GUI_KEY_RIGHT));
    scripted::set_pass_limit(6);
    EXPECT_EQ(run(f.path()), 0);
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
