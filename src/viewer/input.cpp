// Keys and mouse: quit, play/pause, zoom, pan, re-fit, and moving through
// the video.
#include <algorithm>

#include "viewer.h"

namespace {

enum class action {
    quit, toggle_play, zoom_in, zoom_out, fit, pan_down, pan_up, pan_right, pan_left,
    step_forward, step_back, forward_1s, back_1s, forward_10s, back_10s, first_frame, last_frame,
};

// Character keys match on the code's low byte whatever its upper bits; the
// window server's special codes match in full. The first matching row wins.
struct key_binding {
    uint32_t code;
    bool low_byte;
    action act;
};

constexpr key_binding KEY_BINDINGS[] = {
    {GUI_KEY_ESC, true, action::quit},
    {'Q', true, action::quit},
    {'q', true, action::quit},
    {' ', true, action::toggle_play},
    {'+', true, action::zoom_in},
    {'=', true, action::zoom_in},  // '+' without Shift
    {'-', true, action::zoom_out},
    {'_', true, action::zoom_out},
    {'0', true, action::fit},
    {GUI_KEY_ZOOM_IN, false, action::zoom_in},
    {GUI_KEY_ZOOM_OUT, false, action::zoom_out},
    {GUI_KEY_DOWN, false, action::pan_down},  // positive pan moves the picture down or right
    {GUI_KEY_UP, false, action::pan_up},
    {GUI_KEY_RIGHT, false, action::pan_right},
    {GUI_KEY_LEFT, false, action::pan_left},
    // Moving through the video, as other players bind it; none of these
    // does anything for a stream read from a pipe.
    {'.', true, action::step_forward},
    {',', true, action::step_back},
    {GUI_KEY_RIGHT | GUI_KEY_SHIFT, false, action::forward_1s},
    {GUI_KEY_LEFT | GUI_KEY_SHIFT, false, action::back_1s},
    {GUI_KEY_PAGE_DOWN, false, action::forward_10s},
    {GUI_KEY_PAGE_UP, false, action::back_10s},
    {GUI_KEY_HOME, false, action::first_frame},
    {GUI_KEY_END, false, action::last_frame},
};

// Frames in `seconds` of the declared rate (fps_num 0 stands for 30, fps_den
// 0 for 1), rounded, at least one.
int64_t frames_in(const komu_stream* s, int64_t seconds) {
    const int64_t num = s->header.fps_num ? s->header.fps_num : 30;
    const int64_t den = s->header.fps_den ? s->header.fps_den : 1;
    return std::max<int64_t>(1, (seconds * num + den / 2) / den);
}

// Puts frame `frame` (counted from 0) on screen: wrapped into the video for
// a looping file, else clamped to its first and last frame. A step also
// pauses. A seek that fails changes nothing, and playback goes on.
void show_frame(view_state* view, komu_stream* s, int64_t frame, bool step) {
    if (!s->seekable) return;
    const int64_t count = s->header.frame_count;
    frame = (s->header.flags & KOMU_LOOP) ? (frame % count + count) % count
                                          : std::clamp<int64_t>(frame, 0, count - 1);
    if (frame + 1 != s->next_index) {  // next_index counts the frame on screen from 1
        if (komu_seek(s, static_cast<uint32_t>(frame + 1)) != 0) return;
        view->moved = 1;
    }
    if (step) s->playing = 0;
}

void move(action act, view_state* view, komu_stream* s) {
    const int64_t shown = int64_t{s->next_index} - 1;
    switch (act) {
        case action::step_forward: show_frame(view, s, shown + 1, true); break;
        case action::step_back: show_frame(view, s, shown - 1, true); break;
        case action::forward_1s: show_frame(view, s, shown + frames_in(s, 1), false); break;
        case action::back_1s: show_frame(view, s, shown - frames_in(s, 1), false); break;
        case action::forward_10s: show_frame(view, s, shown + frames_in(s, 10), false); break;
        case action::back_10s: show_frame(view, s, shown - frames_in(s, 10), false); break;
        case action::first_frame: show_frame(view, s, 0, false); break;
        case action::last_frame: show_frame(view, s, s->header.frame_count - 1, false); break;
        default: break;  // not a move
    }
}

void apply(action act, view_state* view, komu_stream* stream) {
    switch (act) {
        case action::quit: view->running = 0; break;
        case action::toggle_play: stream->playing = stream->playing == 0 ? 1 : 0; break;
        case action::zoom_in: zoom_view(view, stream->width, stream->height, 1); break;
        case action::zoom_out: zoom_view(view, stream->width, stream->height, 0); break;
        case action::fit: reset_view_transform(view, stream->width, stream->height); break;
        case action::pan_down: pan_view(view, 0, PAN_STEP); break;
        case action::pan_up: pan_view(view, 0, -PAN_STEP); break;
        case action::pan_right: pan_view(view, PAN_STEP, 0); break;
        case action::pan_left: pan_view(view, -PAN_STEP, 0); break;
        case action::step_forward:
        case action::step_back:
        case action::forward_1s:
        case action::back_1s:
        case action::forward_10s:
        case action::back_10s:
        case action::first_frame:
        case action::last_frame: move(act, view, stream); break;
    }
}

void handle_key(view_state* view, komu_stream* stream, uint32_t code) {
    const uint32_t lo = code & 0xFFu;
    for (const key_binding& b : KEY_BINDINGS) {
        if (b.low_byte ? lo == b.code : code == b.code) {
            apply(b.act, view, stream);
            return;
        }
    }
}

// Wheel first, then the left button: a press anchors the drag, each later
// held event moves the picture by the pointer's motion, one to one in view
// pixels, and a release ends the drag.
void handle_mouse(view_state* view, komu_stream* stream, const gui_event& e) {
    if (e.wheel > 0) zoom_view(view, stream->width, stream->height, 1);
    if (e.wheel < 0) zoom_view(view, stream->width, stream->height, 0);

    const int32_t held = e.buttons & GUI_BUTTON_LEFT;
    if (held && view->dragging) {
        if (view->last_valid) {
            pan_view(view, int64_t{e.x} - view->last_x, int64_t{e.y} - view->last_y);
            view->last_x = e.x;
            view->last_y = e.y;
        }
    } else if (held) {
        view->last_valid = 1;
        view->last_x = e.x;
        view->last_y = e.y;
    } else if (view->dragging) {
        view->last_valid = 0;
    }
    view->dragging = held;
}

}  // namespace

void handle_input(view_state* view, komu_stream* stream, const gui_event* event) {
    if (event->type == GUI_EVENT_KEY) handle_key(view, stream, event->key);
    if (event->type == GUI_EVENT_MOUSE) handle_mouse(view, stream, *event);
}
