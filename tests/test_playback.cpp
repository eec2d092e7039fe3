// The playback loop over the scripted window server and its virtual clock:
// what is drawn, when, and in what order the program ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "gui_scripted.h"
#include "komu_test_files.h"
#include "viewer.h"

namespace {

using enum scripted::call_kind;  // the kinds of calls the scripted server records
using testfile::bytes;

// A file of `frames` one-pixel frames, frame k holding the pixel value k + 1; its header may claim
// more frames than there are.
bytes numbered_video(uint32_t frames, uint8_t flags = 0, uint32_t fps_num = 30, uint32_t claimed = 0) {
    komu_header hd = testfile::header(1, 1, KOMU_MODE_SEQUENTIAL, claimed ? claimed : frames, flags);
    hd.fps_num = fps_num;
    std::vector<bytes> pictures;
    for (uint32_t k = 1; k <= frames; ++k) pictures.push_back({uint8_t(k), uint8_t(k >> 8)});
    return testfile::sequential(hd, pictures);
}

// Each presented drawing (blit, bar, status, help text, present): the frame shown (the pixel value
// less 1 at the middle of the 320 x 200 render buffer, where the fitted and centred video is), the
// status less the path, the virtual time in milliseconds and the pass.
struct drawing { int32_t frame; std::string status; uint64_t ms; uint32_t pass; };

// Runs the player on the video, from a file or a pipe, for at most `passes` passes, with the events
// arriving at their virtual times (ms); its drawings. It ends with status 0.
std::vector<drawing> play(const bytes& video, uint32_t passes = 100'000,
                          std::vector<std::pair<uint32_t, gui_event>> events = {}, bool pipe = false) {
    for (const auto& [ms, e] : events) scripted::queue_event_at(ms, e);
    const testfile::temp_file f(video, pipe);
    scripted::set_pass_limit(passes);
    char* argv[] = {const_cast<char*>("cinepane"), const_cast<char*>(f.path()), nullptr};  // only read
    EXPECT_EQ(cinepane_main(2, argv), 0);
    std::vector<drawing> out;
    for (const scripted::call* p : scripted::calls_of(present)) {
        out.push_back({p[-4].pixels.at(100 * 320 + 160) - 1,
                       p[-2].str.substr(p[-2].str.rfind(" | frame ") + 3), p->time_us / 1000, p->pass});
    }
    return out;
}

gui_event key(uint32_t code) { return scripted::key_event(code); }

// Frame 0 is decoded at start-up, frame 1 drawn at once, and every frame after it at its time on
// an absolute schedule, k frames after its anchor rounded up to the millisecond (1 / 30 s: 34, 67,
// 100 ms), whatever happens on the way. The last drawing comes with the close request that ends the
// run. The window is created first, with continuous redraw asked for, turned off again at the end.
// With no content size reported, each pass lays out the default 920 x 560 window: the picture
// stretched over 920 x 542, the bar under it, the status and the help text in it.
TEST(Playback, EachDrawingComesOnTimeThroughLoopsKeysPausesStallsTheEndAndErrors) {
    // A row: the video, the pass limit, the events, then each drawing's frame, time (ms after the
    // start) and pass; the clock at the start (ms) and a pass that starts 5 s late.
    using timeline = std::vector<std::tuple<int32_t, uint64_t, uint32_t>>;
    const struct { bytes video; uint32_t passes; std::vector<std::pair<uint32_t, gui_event>> events; timeline want;
                   uint32_t start = 0, stall_pass = 0; } cases[] = {
        // A loop restarts at frame 0, anchored anew there, also when it has only one frame; the
        // clock wraps around at 150 ms.
        {numbered_video(3, KOMU_LOOP), 7, {},
         {{1, 0, 1}, {2, 67, 2}, {0, 100, 3}, {1, 134, 4}, {2, 167, 5}, {0, 200, 6}, {0, 234, 7}}, 0xFFFFFFFFu - 150},
        {numbered_video(1, KOMU_LOOP, 25), 5, {}, {{0, 0, 1}, {0, 40, 2}, {0, 80, 3}, {0, 120, 4}, {0, 160, 5}}},
        // A close request ends the run at once; what comes after it stays queued.
        {numbered_video(10), 100'000, {{0, scripted::close_event()}, {0, key('.')}, {0, key('+')}}, {{0, 0, 1}}},
        // 200 ms a frame: keys act at once (both in one pass), pointer motion draws nothing, and
        // the frames keep their times.
        {numbered_video(10, 0, 5), 8, {{250, key('+')}, {250, key('+')}, {333, scripted::mouse_event(5, 5, 0, 0)}},
         {{1, 0, 1}, {1, 250, 2}, {2, 400, 4}, {3, 600, 5}, {4, 800, 6}, {5, 1000, 7}, {5, 1200, 8}}},
        // Paused at 150 ms it waits for the next event only (one pass); resumed 5 s later it
        // decodes at once and does not fast-forward.
        {numbered_video(100), 100'000, {{150, key(' ')}, {5'150, key(' ')}, {5'300, key('q')}},
         {{1, 0, 1}, {2, 67, 2}, {3, 100, 3}, {4, 134, 4}, {4, 150, 5}, {5, 5'150, 6}, {6, 5'184, 7},
          {7, 5'217, 8}, {8, 5'250, 9}, {9, 5'284, 10}, {9, 5'300, 11}}},
        // After a stall of more than a second, frames are not caught up: the schedule starts anew.
        {numbered_video(100), 8, {}, {{1, 0, 1}, {2, 67, 2}, {3, 100, 3}, {4, 134, 4}, {5, 5'167, 5}, {6, 5'201, 6},
                                      {7, 5'234, 7}, {7, 5'267, 8}}, 0, 5},
        // At the end of the stream, too, it waits for the next event only.
        {numbered_video(3, 0, 1000), 100'000, {}, {{1, 0, 1}, {2, 2, 2}, {2, 3, 4}}},
        // A frame that cannot be decoded ends the run after one more drawing.
        {testfile::indexed(testfile::header(1, 1, KOMU_MODE_INDEXED, 4),
                           {{0, {1, 0}}, {0, {2, 0}}, {0, {3}}, {0, {4, 0}}}), 100'000, {}, {{1, 0, 1}, {1, 67, 2}}},
    };
    for (const auto& c : cases) {
        scripted::reset(c.start);
        if (c.stall_pass != 0) scripted::stall_at(c.stall_pass, 5'000);
        timeline got;
        for (const drawing& d : play(c.video, c.passes, c.events)) got.emplace_back(d.frame, d.ms - c.start, d.pass);
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(scripted::calls_of(sleep).size(), 0u);  // the server can wait: nothing is slept
        const auto& k = scripted::calls();
        EXPECT_EQ(std::tuple(k.at(0).kind, k[0].str, k.at(1).kind, k[1].value, k.back().kind, k.back().value),
                  std::tuple(create, "View (KOMU)", continuous_redraw, 1, continuous_redraw, 0));
        const scripted::call* d = scripted::calls_of(blit).at(0);  // blit, bar, status, help
        const auto& [b, r, s, h] = std::tie(d[0].blit, d[1].rect, d[2].text, d[3].text);
        EXPECT_EQ((std::vector<int64_t>{b.src_w, b.src_h, b.dst_w, b.dst_h, r.x, r.y, r.w, r.h, r.color, s.x, s.y,
                                        s.color, h.x, h.y, h.color}),
                  (std::vector<int64_t>{320, 200, 920, 542, 0, 542, 920, 18, 0x262626, 6, 547, 0xDEDEDE, 460, 547,
                                        0x8C8C8C}));
        EXPECT_EQ(d[3].str, "Space play/pause  +/- zoom  wheel zoom  arrows/mouse pan  Esc quit");
    }
}

// Each key that moves through the video, at 10 frames/s (1 s = 10 frames), on a 250-frame file, a
// looping 30-frame one, a mode 1 file that lacks its last 40 frames (a seek there fails) and a
// looping one from a pipe (it cannot seek, and plays once). A row: the pass whose events include
// the key (0: none), then what that pass draws: the frame, and whether playing (1), playing and
// drawn one interval after the drawing before it (2), or paused (0).
TEST(Playback, SeekStepHomeAndEndShowTheirFrameAtOnceAndPlayOnFromIt) {
    constexpr uint32_t S_RIGHT = GUI_KEY_RIGHT | GUI_KEY_SHIFT, S_LEFT = GUI_KEY_LEFT | GUI_KEY_SHIFT,
                       END = GUI_KEY_END, HOME = GUI_KEY_HOME, PGUP = GUI_KEY_PAGE_UP, PGDN = GUI_KEY_PAGE_DOWN;
    const struct { bytes file; bool pipe; uint32_t count; std::vector<std::array<uint32_t, 4>> rows; } cases[] = {
        {numbered_video(250, 0, 10), false, 250, {{5, END, 249, 1}, {8, HOME, 0, 1}, {9, 0, 1, 2}, {10, PGDN, 101, 1},
         {11, 0, 102, 2}, {12, S_LEFT, 92, 1}, {13, 0, 93, 2}, {14, '.', 94, 0}, {15, ',', 93, 0}, {16, PGUP, 0, 0},
         {17, S_RIGHT, 10, 0}, {18, END, 249, 0}, {19, ' ', 249, 1}, {20, ',', 248, 0}}},
        {numbered_video(30, KOMU_LOOP, 10), false, 30, {{3, S_LEFT, 22, 1}, {4, 0, 23, 2}, {5, PGDN, 3, 1},
         {6, END, 29, 1}, {7, 0, 0, 2}, {8, ',', 29, 0}, {9, '.', 0, 0}, {10, '.', 1, 0}}},
        {numbered_video(60, 0, 10, 100), false, 100, {{5, END, 5, 2}, {6, PGDN, 6, 2}, {7, '.', 7, 0}}},
        {numbered_video(20, KOMU_LOOP, 10), true, 20, {{5, HOME, 5, 2}, {6, ',', 6, 2}, {20, 0, 19, 1}}},
    };
    for (const auto& c : cases) {
        scripted::reset();
        for (const auto& [pass, code, frame, state] : c.rows) if (code != 0) scripted::queue_event(pass, key(code));
        const auto d = play(c.file, 30, {}, c.pipe);
        EXPECT_TRUE(!c.pipe || scripted::passes() < 30);  // the looping pipe ends by itself
        for (const auto& [pass, code, frame, state] : c.rows) {
            const auto at = std::find_if(d.begin(), d.end(), [&](const drawing& x) { return x.pass == pass; });
            ASSERT_TRUE(at != d.begin() && at != d.end()) << c.count << ": " << pass;
            const std::string status = "frame " + std::to_string(frame + 1) + "/" + std::to_string(c.count);
            EXPECT_EQ(std::tuple(at->frame, at->status, state == 2 ? at->ms - at[-1].ms : 100),
                      std::tuple(int32_t(frame), status + (state ? " | playing" : " | paused"), 100)) << pass;
        }
    }
}

TEST(Playback, ARefusedBeginIsRetriedEvery10Ms) {
    scripted::reset();
    scripted::set_begin_result(-1);
    const size_t drawn = play(numbered_video(1), 3).size();  // one frame: nothing else would redraw
    for (const auto* c : scripted::calls_of(wait)) EXPECT_EQ(c->value, 10);
    // Tried on every pass, and nothing else is slept.
    EXPECT_EQ(std::tuple(drawn, scripted::calls_of(begin).size(), scripted::now_us()), std::tuple(0u, 3u, 20'000u));
}

TEST(Playback, AsksForAWindowThatSuitsTheVideo) {
    // Screen, video, then the content asked for: scale 1, widened for the bar's texts; scale 3;
    // scale 6 at most, as the fit; never past nine tenths of the screen; shrunk, keeping its shape;
    // with no screen size, nothing.
    const int32_t cases[][6] = {{1280, 800, 640, 480, 920, 498}, {1280, 800, 320, 200, 960, 618},
                                {1920, 1080, 64, 48, 920, 306},  {800, 600, 640, 480, 720, 498},
                                {640, 480, 640, 480, 576, 431},  {0, 0, 640, 480, 0, 0}};
    for (const auto& [screen_w, screen_h, w, h, want_w, want_h] : cases) {
        const gui_size got = preferred_content_size({screen_w, screen_h}, w, h);
        EXPECT_EQ(std::pair(got.w, got.h), std::pair(want_w, want_h)) << screen_w << " " << w;
    }
}

// On a 1280 x 800 screen the player asks for 960 x 618 before it draws (granted at once here) and
// fits the 320 x 200 video at 3x: the top-left render pixel shows the top-left frame pixel. It
// refits on the new size after fullscreen is entered or left, but keeps zoom and pan through a
// plain resize.
TEST(Playback, FitsWhatItAsksForAndRefitsAfterFullscreenButNotAfterAPlainResize) {
    const bytes frame = testfile::picture(320, 200, 3);
    const bytes video = testfile::sequential(testfile::header(320, 200, KOMU_MODE_SEQUENTIAL, 1), {frame});
    scripted::reset();
    scripted::set_content_size(1280, 800);
    play(video, 1);
    const auto large = scripted::calls_of(blit).at(0)->pixels;  // the fit at 1280 x 800
    for (uint32_t k : {uint32_t{'f'}, GUI_KEY_F11, uint32_t{'a'}}) {  // 'a': no fullscreen, zoom and pan kept
        scripted::reset();
        scripted::set_screen_size(1280, 800);
        scripted::queue_event_at(100, key('+'));
        scripted::queue_event_at(200, key(k));
        scripted::resize_at(230, 1280, 800);  // the server's answer comes later
        scripted::queue_event_at(300, key(k));
        scripted::resize_at(330, 960, 618);
        play(video);
        const auto b = scripted::calls_of(blit);  // fit, zoomed, key, resized, key, resized back
        const scripted::call& asked = scripted::calls().at(2);
        std::vector<int32_t> toggles;
        for (const auto* c : scripted::calls_of(fullscreen)) toggles.push_back(c->value);
        EXPECT_EQ(std::tuple(toggles, asked.kind, asked.rect.w, asked.rect.h, b.at(0)->blit.dst_w, b[0]->blit.dst_h,
                             int(b[0]->pixels.at(0)), b.at(3)->pixels == large, b.at(5)->pixels == b[0]->pixels),
                  std::tuple(k == 'a' ? std::vector<int32_t>{} : std::vector{1, 0}, request_size, 960, 618, 960, 600,
                             frame[0] | frame[1] << 8, k != 'a', k != 'a')) << k;
    }
}

}  // namespace
