// The window and playback loop: one pass per frame, on an absolute schedule,
// and one more for each event, handled as it arrives.
//
// Each pass: measure the window, fit the view on the first pass (and after
// fullscreen is entered or left), drain input, decode a frame if one is due,
// draw if anything changed, then wait for the next frame's due time or the
// next event, whichever comes first. Paused or at the end of the stream, it
// waits for the next event only. Frame k is due at t0 + (k - anchor) *
// period, so wake-up inaccuracy never accumulates, and a pass that an event
// brought early decodes nothing; the schedule is re-anchored when playback
// restarts at frame 0, when it resumes after a pause, when input puts
// another frame on screen (a seek), and when the machine has stalled for
// more than a second (no catch-up burst and no stall in any of these).
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "viewer.h"

namespace {

// A drawing the server refused is tried again after this long; so is a wait
// the server cannot make.
constexpr uint32_t IDLE_SLEEP_US = 10'000;
constexpr int32_t MAX_BEHIND_MS = 1'000;    // further behind than this: re-anchor

// The frame schedule. Clock times are compared by their signed 32-bit
// difference, so the millisecond counter may wrap.
struct frame_clock {
    uint32_t t0;           // due time of frame `anchor`, ms
    uint32_t anchor;       // frame index due at t0
    uint64_t period_num;   // the frame period is period_num / period_den ms,
    uint64_t period_den;   // kept as a fraction so no rounding accumulates
    uint32_t interval_us;  // the period in whole microseconds, for waits
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

// When frame `index` is due, taking it as on time when the schedule is
// more than a second behind the clock (the frame just drawn then counts as
// on time: no catch-up burst after a stall).
uint32_t next_due(frame_clock* clock, uint32_t index) {
    const uint32_t now = time_ms();
    if (static_cast<int32_t>(due_ms(*clock, index) - now) < -MAX_BEHIND_MS) {
        anchor_at(clock, now, index - 1);
    }
    return due_ms(*clock, index);
}

// Returns as soon as an event is pending or, when `timed`, once `due` has
// come; untimed, it may wait for ever. Waits are at most cap_ms long. A
// server that cannot wait is slept on in short slices instead, with a pass
// after each slice when untimed.
void await_event(int32_t window, bool timed, uint32_t due, uint32_t cap_ms) {
    for (;;) {
        int32_t timeout = -1;
        if (timed) {
            const int32_t ahead = static_cast<int32_t>(due - time_ms());
            if (ahead <= 0) return;
            timeout = std::min(ahead, static_cast<int32_t>(cap_ms));
        }
        const int result = gui_wait_event(window, timeout);
        if (result > 0) return;
        if (result < 0) {
            const uint32_t slice_ms = IDLE_SLEEP_US / 1000;
            sleep_us((timed && static_cast<uint32_t>(timeout) < slice_ms ? static_cast<uint32_t>(timeout)
                                                                         : slice_ms) * 1000);
            if (!timed) return;
        }
    }
}

// Asks for the window size that suits the video, before anything is shown.
void request_window_size(int32_t window, int32_t video_w, int32_t video_h) {
    gui_size screen{0, 0};
    if (gui_get_screen_size(window, &screen) != 0) return;
    const gui_size want = preferred_content_size(screen, video_w, video_h);
    if (want.w > 0 && want.h > 0) gui_request_content_size(window, &want);
}

}  // namespace

void layout_view(view_state* view, gui_size content) {
    const int32_t w = content.w > 0 ? content.w : DEFAULT_CONTENT_W;
    const int32_t h = content.h > 0 ? content.h : DEFAULT_CONTENT_H;
    view->content_w = w;
    view->content_h = h;
    view->view_w = w;
    view->view_h = h - STATUS_BAR_ROWS < MIN_VIEW_ROWS ? MIN_VIEW_ROWS : h - STATUS_BAR_ROWS;
    const int32_t cap_w = view->full_view ? MAX_FULL_RENDER_SIDE : MAX_RENDER_W;
    const int32_t cap_h = view->full_view ? MAX_FULL_RENDER_SIDE : MAX_RENDER_H;
    view->render_w = std::min(view->view_w, cap_w);
    view->render_h = std::min(view->view_h, cap_h);
}

// The video at the largest whole scale, up to the fit's largest zoom, that
// leaves a tenth of the screen free on each axis, or shrunk to that area
// keeping its shape when even scale 1 does not fit; never narrower than the
// default content (so that the status bar's texts keep their room, unless the
// screen is narrower) nor lower than the smallest video area; plus the bar.
gui_size preferred_content_size(gui_size screen, int32_t video_w, int32_t video_h) {
    const int64_t avail_w = screen.w - screen.w / SCREEN_MARGIN_DIV;
    const int64_t avail_h = screen.h - screen.h / SCREEN_MARGIN_DIV - STATUS_BAR_ROWS;
    if (video_w <= 0 || video_h <= 0 || avail_w <= 0 || avail_h <= 0) return {0, 0};
    const int64_t scale = std::min({avail_w / video_w, avail_h / video_h, int64_t{FIT_ZOOM_MAX / 1000}});
    int64_t w = video_w * scale, h = video_h * scale;
    if (scale < 1) {
        const int64_t z = std::min(avail_w * 1000 / video_w, avail_h * 1000 / video_h);
        w = std::max<int64_t>(1, video_w * z / 1000);
        h = std::max<int64_t>(1, video_h * z / 1000);
    }
    w = std::max(w, std::min<int64_t>(DEFAULT_CONTENT_W, avail_w));
    h = std::max<int64_t>(h, MIN_VIEW_ROWS);
    return {static_cast<int32_t>(w), static_cast<int32_t>(h + STATUS_BAR_ROWS)};
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
    request_window_size(view.window, stream->width, stream->height);

    frame_clock clock = make_clock(stream, time_ms());
    const uint32_t cap_ms = (clock.interval_us + 999) / 1000;  // one interval, whole ms
    // The next frame is decoded on the first pass whose time has reached
    // `due` (the first pass decodes at once).
    bool frame_due = true;
    uint32_t due = 0;
    // The picture only changes when a frame is decoded, the layout changes or
    // an event arrives (an expose among them: the server lost what was
    // drawn); other passes draw nothing.
    bool dirty = true;
    gui_size last_size{-1, -1};

    for (;;) {
        gui_size size{0, 0};
        gui_get_content_size(view.window, &size);
        const bool resized = size.w != last_size.w || size.h != last_size.h;
        if (resized) dirty = true;
        last_size = size;
        layout_view(&view, size);
        if (view.refit_pending && static_cast<int32_t>(time_ms() - view.refit_until_ms) >= 0) {
            view.refit_pending = 0;
        }
        // Fitted on the first pass, and on the new size after fullscreen
        // was entered or left; a plain resize keeps zoom and pan.
        if (view.zoom_permille <= 0 || (resized && view.refit_pending)) {
            reset_view_transform(&view, stream->width, stream->height);
        }

        const int32_t was_playing = stream->playing;
        gui_event event;
        int polled;
        while ((polled = gui_poll_event(view.window, &event)) > 0) {
            // Pointer motion alone changes nothing on screen.
            const bool hover = event.type == GUI_EVENT_MOUSE && event.wheel == 0 &&
                               !(event.buttons & GUI_BUTTON_LEFT) && !view.dragging;
            if (!hover) dirty = true;
            if (event.type == GUI_EVENT_CLOSE) view.running = 0;
            if (event.type == GUI_EVENT_KEY || event.type == GUI_EVENT_MOUSE) {
                handle_input(&view, stream, &event);
            }
            if (!view.running) break;  // what is still queued stays queued
        }
        if (!was_playing && stream->playing) {
            anchor_at(&clock, time_ms(), stream->next_index);  // resume: no fast-forward
            frame_due = true;
        }
        // Input put another frame on screen: it is due now and stays up for
        // one interval, so this pass decodes nothing more.
        if (view.moved) {
            view.moved = 0;
            dirty = true;
            anchor_at(&clock, time_ms(), stream->next_index - 1);
            due = next_due(&clock, stream->next_index);
            frame_due = false;
        }
        if (!frame_due && static_cast<int32_t>(time_ms() - due) >= 0) frame_due = true;

        bool advanced = false;
        if (polled <= 0 && stream->playing && view.running && frame_due) {
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
            due = next_due(&clock, stream->next_index);
            frame_due = false;
        }
        if (stream->playing && !frame_due) {
            await_event(view.window, true, due, cap_ms);
        } else if (dirty) {  // the drawing was refused: try again shortly
            await_event(view.window, true, time_ms() + IDLE_SLEEP_US / 1000, cap_ms);
        } else {  // paused, or at the end of the stream: nothing to do until an event
            await_event(view.window, false, 0, cap_ms);
        }
    }

    gui_set_continuous_redraw(view.window, 0);
    std::free(view.render_buf);
    std::free(view.col_map);
    komu_close(stream);
    return 0;
}
