// Keys and mouse: quit, play/pause, zoom, pan and re-fit; the full view and
// fullscreen.
#include <cstdlib>

#include "viewer.h"

namespace {

enum class action {
    quit, toggle_play, zoom_in, zoom_out, fit, pan_down, pan_up, pan_right, pan_left,
    // the picture and the window
    toggle_full_view, toggle_fullscreen,
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

    // The picture and the window.
    {'h', true, action::toggle_full_view},
    {'H', true, action::toggle_full_view},
    {'f', true, action::toggle_fullscreen},
    {'F', true, action::toggle_fullscreen},
    {GUI_KEY_F11, false, action::toggle_fullscreen},
};

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
        case action::toggle_full_view:
            // The render buffer takes its new size at once; zoom and pan stay.
            view->full_view = view->full_view ? 0 : 1;
            layout_view(view, {view->content_w, view->content_h});
            break;
        case action::toggle_fullscreen: toggle_fullscreen(view); break;
    }
}

// A left press in the video area: the second of two close in time and
// place toggles fullscreen, and a third starts a new pair. That second press
// drags nothing: the window is about to move under the pointer.
void press_in_view(view_state* view, int32_t x, int32_t y) {
    if (x < 0 || y < 0 || x >= view->view_w || y >= view->view_h) return;
    const uint32_t now = time_ms();
    if (view->click_valid && now - view->click_ms <= DOUBLE_CLICK_MS &&
        std::abs(int64_t{x} - view->click_x) <= DOUBLE_CLICK_SLOP &&
        std::abs(int64_t{y} - view->click_y) <= DOUBLE_CLICK_SLOP) {
        view->click_valid = 0;
        view->last_valid = 0;
        toggle_fullscreen(view);
        return;
    }
    view->click_valid = 1;
    view->click_ms = now;
    view->click_x = x;
    view->click_y = y;
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
        press_in_view(view, e.x, e.y);
    } else if (view->dragging) {
        view->last_valid = 0;
    }
    view->dragging = held;
}

}  // namespace

void toggle_fullscreen(view_state* view) {
    const int32_t on = view->fullscreen ? 0 : 1;
    if (gui_set_fullscreen(view->window, on) != 0) return;
    view->fullscreen = on;
    view->refit_pending = 1;
    view->refit_until_ms = time_ms() + FULLSCREEN_REFIT_MS;
}

void handle_input(view_state* view, komu_stream* stream, const gui_event* event) {
    if (event->type == GUI_EVENT_KEY) handle_key(view, stream, event->key);
    if (event->type == GUI_EVENT_MOUSE) handle_mouse(view, stream, *event);
}
