// The window and playback loop: one pass per frame, on an absolute schedule.
//
// Each pass: measure the window, fit the view on the first pass, drain input,
// decode at most one frame, draw if anything changed, then wait for the next
// frame's due time. Frame k is due at t0 + (k - anchor) * period, so sleep
// inaccuracy never accumulates; the schedule is re-anchored when playback
// restarts at frame 0, when it resumes after a pause, when input puts
// another frame on screen (a seek), and when the machine has stalled for
// more than a second (no catch-up burst and no stall in any of these).
#include <cstdio>
#include <cstdlib>

#include "viewer.h"

namespace {

constexpr uint32_t IDLE_SLEEP_US = 10'000;  // a pass that advances nothing
constexpr int32_t MAX_BEHIND_MS = 1'000;    // further behind than this: re-anchor

// The frame schedule. Clock times are compared by their signed 32-bit
// difference, so the millisecond counter may wrap.
struct frame_clock {
    uint32_t t0;           // due time of frame `anchor`, ms
    uint32_t anchor;       // frame index due at t0
    uint64_t period_num;   // the frame period is period_num / period_den ms,
    uint64_t period_den;   // kept as a fraction so no rounding accumulates
    uint32_t interval_us;  // the period in whole microseconds, for sleeps
};

// The declared rate's own period (den * 1000 / num ms) when it lies within
// the player's limits, otherwise the clamped interval.
frame_clock make_clock(const komu_stream* stream, uint32_t now) {
    const uint64_t num = stream->header.fps_num ? stream->header.fps_num : 30;
    const uint64_t den = stream->header.fps_den ? stream->header.fps_den : 1;
    const bool clamped = den * 1'000'000 / num != stream->frame_interval_us;
    return {now, 0, clamped ? stream->frame_interval_us : den * 1000,
            clamped ? 1000 : num, stream->frame_interval_us};
}

void anchor_at(frame_clock* clock, uint32_t now, uint32_t index) {
    clock->t0 = now;
    clock->anchor = index;
}

// t0 + (index - anchor) periods, rounded up to the clock's millisecond: the
// clock counts whole milliseconds from an instant up to 1 ms before t0 was
// read, so rounding up keeps frames from being early. The period is at most
// 200 ms, so k * whole fits; k * part < 2^32 * 2^32 fits too.
uint32_t due_ms(const frame_clock& clock, uint32_t index) {
    const uint64_t k = index - clock.anchor;
    const uint64_t whole = clock.period_num / clock.period_den;
    const uint64_t part = clock.period_num % clock.period_den;
    const uint64_t offset_ms = k * whole + (k * part + clock.period_den - 1) / clock.period_den;
    return clock.t0 + static_cast<uint32_t>(offset_ms);
}

// Sleeps until frame `index` is due, in sleeps of at most one frame interval
// (rounded up to the clock's millisecond).
void wait_for_frame(frame_clock* clock, uint32_t index) {
    const uint32_t cap_us = (clock->interval_us + 999) / 1000 * 1000;
    uint32_t now = time_ms();
    if (static_cast<int32_t>(due_ms(*clock, index) - now) < -MAX_BEHIND_MS) {
        anchor_at(clock, now, index - 1);  // the frame just drawn counts as on time
    }
    int32_t ahead;
    while ((ahead = static_cast<int32_t>(due_ms(*clock, index) - now)) > 0) {
        const uint64_t us = uint64_t{static_cast<uint32_t>(ahead)} * 1000;
        sleep_us(us < cap_us ? static_cast<uint32_t>(us) : cap_us);
        now = time_ms();
    }
}

}  // namespace

void layout_view(view_state* view, gui_size content) {
    const int32_t w = content.w > 0 ? content.w : DEFAULT_CONTENT_W;
    const int32_t h = content.h > 0 ? content.h : DEFAULT_CONTENT_H;
    view->content_w = w;
    view->content_h = h;
    view->view_w = w;
    view->view_h = h - STATUS_BAR_ROWS < MIN_VIEW_ROWS ? MIN_VIEW_ROWS : h - STATUS_BAR_ROWS;
    view->render_w = view->view_w < MAX_RENDER_W ? view->view_w : MAX_RENDER_W;
    view->render_h = view->view_h < MAX_RENDER_H ? view->view_h : MAX_RENDER_H;
}

int run_playback(komu_stream* stream, const char* path) {
    view_state view{};
    view.window = gui_create(WINDOW_TITLE, WINDOW_HELP);
    if (view.window < 0) {
        std::puts("cinepane: gui_create failed");
        komu_close(stream);
        return 1;
    }
    gui_set_continuous_redraw(view.window, 1);
    view.running = 1;

    frame_clock clock = make_clock(stream, time_ms());
    const uint32_t idle_us = stream->frame_interval_us < IDLE_SLEEP_US ? stream->frame_interval_us
                                                                       : IDLE_SLEEP_US;
    // The picture only changes when a frame is decoded, the layout changes or
    // an event arrives (an expose among them: the server lost what was
    // drawn); other passes (paused, at the end) draw nothing.
    bool dirty = true;
    gui_size last_size{-1, -1};

    for (;;) {
        gui_size size{0, 0};
        gui_get_content_size(view.window, &size);
        if (size.w != last_size.w || size.h != last_size.h) dirty = true;
        last_size = size;
        layout_view(&view, size);
        if (view.zoom_permille <= 0) reset_view_transform(&view, stream->width, stream->height);

        const int32_t was_playing = stream->playing;
        gui_event event;
        int polled;
        while ((polled = gui_poll_event(view.window, &event)) > 0) {
            dirty = true;
            if (event.type == GUI_EVENT_CLOSE) view.running = 0;
            if (event.type == GUI_EVENT_KEY || event.type == GUI_EVENT_MOUSE) {
                handle_input(&view, stream, &event);
            }
            if (!view.running) break;  // what is still queued stays queued
        }
        if (!was_playing && stream->playing) {
            anchor_at(&clock, time_ms(), stream->next_index);  // resume: no fast-forward
        }
        // Input put another frame on screen: it is due now, and this pass
        // decodes nothing more, so that it stays up for one interval.
        const bool moved = view.moved != 0;
        view.moved = 0;
        if (moved) anchor_at(&clock, time_ms(), stream->next_index - 1);
        bool advanced = moved && stream->playing;

        if (!moved && polled <= 0 && stream->playing && view.running) {
            const int result = komu_decode_next(stream);
            if (result == -1) view.running = 0;  // draw what was decoded once more, then end
            if (result != 1) dirty = true;
            if (result == 0) {
                advanced = true;
                // Frame 0 again: a loop restart, also of a one-frame stream.
                if (stream->next_index == 1) anchor_at(&clock, time_ms(), 0);
            }
        }

        if (dirty && draw_pass(&view, stream, path) == 0) dirty = false;

        if (!view.running) break;
        if (advanced) {
            wait_for_frame(&clock, stream->next_index);
        } else {
            sleep_us(idle_us);
        }
    }

    gui_set_continuous_redraw(view.window, 0);
    std::free(view.render_buf);
    komu_close(stream);
    return 0;
}
