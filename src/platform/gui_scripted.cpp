// The scripted window server: see gui_scripted.h.
#include "gui_scripted.h"

#include <algorithm>
#include <cstring>
#include <deque>

namespace scripted {
namespace {

struct queued_event {
    uint32_t pass;      // deliverable from this pass on
    uint64_t at_us;     // and from this virtual time on
    gui_event event;
    bool resize;        // the content becomes `size` when it arrives
    gui_size size;
};

struct state {
    int create_result = 1;
    int begin_result = 0;
    gui_size content{0, 0};
    gui_size screen{0, 0};  // 0 x 0: unknown
    uint64_t now_us = 0;
    uint32_t pass = 0;
    uint32_t pass_limit = 0;  // 0: none
    uint32_t stall_pass = 0;
    uint32_t stall_ms = 0;
    std::deque<queued_event> events;
    std::vector<call> calls;
};

state g;

call& record(call_kind kind) {
    call c{};
    c.kind = kind;
    c.time_us = g.now_us;
    c.pass = g.pass;
    g.calls.push_back(std::move(c));
    return g.calls.back();
}

}  // namespace

void reset(uint32_t start_ms) {
    g = state{};
    g.now_us = uint64_t{start_ms} * 1000;
}
void set_create_result(int handle) { g.create_result = handle; }
void set_begin_result(int result) { g.begin_result = result; }
void set_content_size(int32_t w, int32_t h) { g.content = {w, h}; }
void set_screen_size(int32_t w, int32_t h) { g.screen = {w, h}; }
void queue_event(uint32_t pass, const gui_event& event) {
    g.events.push_back({pass, 0, event, false, {}});
}
void queue_event_at(uint32_t ms, const gui_event& event) {
    g.events.push_back({0, uint64_t{ms} * 1000, event, false, {}});
}
void resize_at(uint32_t ms, int32_t w, int32_t h) {
    g.events.push_back({0, uint64_t{ms} * 1000, expose_event(), true, {w, h}});
}
void set_pass_limit(uint32_t passes) { g.pass_limit = passes; }
void stall_at(uint32_t pass, uint32_t ms) {
    g.stall_pass = pass;
    g.stall_ms = ms;
}
const std::vector<call>& calls() { return g.calls; }
uint32_t passes() { return g.pass; }
uint64_t now_us() { return g.now_us; }

std::vector<const call*> calls_of(call_kind kind) {
    std::vector<const call*> out;
    for (const call& c : g.calls) {
        if (c.kind == kind) out.push_back(&c);
    }
    return out;
}

gui_event key_event(uint32_t key) {
    gui_event e{};
    e.type = GUI_EVENT_KEY;
    e.key = key;
    return e;
}

gui_event mouse_event(int32_t x, int32_t y, int32_t buttons, int32_t wheel) {
    gui_event e{};
    e.type = GUI_EVENT_MOUSE;
    e.x = x;
    e.y = y;
    e.buttons = buttons;
    e.wheel = wheel;
    return e;
}

gui_event close_event() {
    gui_event e{};
    e.type = GUI_EVENT_CLOSE;
    return e;
}

gui_event expose_event() {
    gui_event e{};
    e.type = GUI_EVENT_EXPOSE;
    return e;
}

}  // namespace scripted

using scripted::call_kind;
using scripted::g;

int gui_create(const char* title, const char*) {
    scripted::record(call_kind::create).str = title;
    return g.create_result;
}

int gui_begin(int) {
    scripted::record(call_kind::begin).value = g.begin_result;
    return g.begin_result;
}

int gui_fill_rect(int, const gui_rect_desc* rect) {
    scripted::record(call_kind::fill).rect = *rect;
    return 0;
}

int gui_draw_text(int, const gui_text_desc* text) {
    auto& c = scripted::record(call_kind::text);
    c.text = *text;
    c.text.text = nullptr;
    c.str = text->text;
    return 0;
}

int gui_blit_rgb565(int, const gui_blit_desc* blit) {
    auto& c = scripted::record(call_kind::blit);
    c.blit = *blit;
    c.blit.pixels = nullptr;
    c.pixels.assign(blit->pixels, blit->pixels + size_t(blit->src_w) * size_t(blit->src_h));
    return 0;
}

int gui_present(int) {
    scripted::record(call_kind::present);
    return 0;
}

int gui_poll_event(int, gui_event* event) {
    if (!g.events.empty() && g.events.front().pass <= g.pass && g.events.front().at_us <= g.now_us) {
        *event = g.events.front().event;
        g.events.pop_front();
        return 1;
    }
    return 0;
}

int gui_get_content_size(int, gui_size* size) {
    g.pass += 1;
    if (g.pass == g.stall_pass) g.now_us += uint64_t{g.stall_ms} * 1000;
    if (g.pass_limit != 0 && g.pass == g.pass_limit) {
        g.events.push_front({0, 0, scripted::close_event(), false, {}});
    }
    for (auto& e : g.events) {  // resizes that have arrived, each once
        if (e.resize && e.at_us <= g.now_us) {
            g.content = e.size;
            e.resize = false;
        }
    }
    *size = g.content;
    return 0;
}

int gui_set_continuous_redraw(int, int on) {
    scripted::record(call_kind::continuous_redraw).value = on;
    return 0;
}

int gui_wait_event(int, int32_t timeout_ms) {
    scripted::record(call_kind::wait).value = timeout_ms;
    const uint64_t limit = timeout_ms < 0 ? UINT64_MAX : g.now_us + uint64_t(timeout_ms) * 1000;
    if (!g.events.empty()) {
        // An event for a later pass comes with that pass: a timed wait runs
        // its course, an untimed one ends at once.
        const scripted::queued_event& next = g.events.front();
        const bool later_pass = next.pass > g.pass;
        const uint64_t at = later_pass ? limit : std::max(g.now_us, next.at_us);
        if (at <= limit && !(later_pass && timeout_ms >= 0)) {
            g.now_us = at == UINT64_MAX ? g.now_us : at;
            return 1;
        }
    }
    if (timeout_ms < 0) {  // nothing more will come: the user closes the window
        g.events.push_front({0, 0, scripted::close_event(), false, {}});
        return 1;
    }
    g.now_us = limit;
    return 0;
}

int gui_get_screen_size(int, gui_size* size) {
    *size = g.screen;
    return g.screen.w > 0 && g.screen.h > 0 ? 0 : -1;
}

int gui_request_content_size(int, const gui_size* size) {
    auto& c = scripted::record(call_kind::request_size);
    c.rect.w = size->w;
    c.rect.h = size->h;
    if (g.screen.w > 0 && g.screen.h > 0) g.content = *size;
    return 0;
}

int gui_set_fullscreen(int, int on) {
    scripted::record(call_kind::fullscreen).value = on;
    return 0;
}

uint32_t time_ms() { return static_cast<uint32_t>(g.now_us / 1000); }

int sleep_us(uint32_t us) {
    scripted::record(call_kind::sleep).value = static_cast<int32_t>(us);
    g.now_us += us;
    return 0;
}
