// A scripted, in-memory window server and clock for the tests.
//
// The test queues events for given passes or virtual times, sets the content
// and screen sizes and the results of gui_create and gui_begin, and
// afterwards reads the record of every call, each with the virtual time at
// which it was made. The clock only moves when the program sleeps or waits:
// a sleep by exactly the time asked for, a wait to the next event's arrival
// or to its time-out, whichever is first; so pacing is tested exactly and
// instantly. When the program waits without a time-out and nothing more is
// queued, the script is over: a close request arrives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gui.h"

namespace scripted {

enum class call_kind {
    create, continuous_redraw, begin, blit, fill, text, present, sleep,
    wait, request_size, fullscreen,
};

struct call {
    call_kind kind;
    uint64_t time_us;          // virtual time of the call
    uint32_t pass;             // passes start at each gui_get_content_size; 0 before the first
    int32_t value;             // continuous_redraw, fullscreen: on/off; sleep: microseconds;
                               // wait: the time-out, ms (-1: none)
    gui_rect_desc rect;        // fill; request_size: the size in w, h
    gui_text_desc text;        // text (its pointer is not kept: see str)
    std::string str;           // text: the string; create: the title
    gui_blit_desc blit;        // blit (its pointer is not kept: see pixels)
    std::vector<uint16_t> pixels;  // blit: a copy of src_w x src_h pixels
};

// Forgets all calls and queued events and restores the defaults: window 1,
// content 0 x 0, no screen size (so no size requests are granted), begin
// and fullscreen succeed, clock at start_ms, no pass limit.
void reset(uint32_t start_ms = 0);
void set_create_result(int handle);
void set_begin_result(int result);
void set_content_size(int32_t w, int32_t h);
// A server that knows its screen: gui_get_screen_size reports w x h, and a
// requested content size is granted at once.
void set_screen_size(int32_t w, int32_t h);
// Delivers the event to polls made during pass `pass` or later (pass 1 is
// the first pass of the loop): a timed wait before that pass runs its course,
// an untimed one ends at once. Queue
// events in the order they are to arrive; they stay queued until polled.
void queue_event(uint32_t pass, const gui_event& event);
// The event arrives at virtual time `ms`: a wait ends then, and the next
// poll delivers it.
void queue_event_at(uint32_t ms, const gui_event& event);
// At virtual time `ms` the content becomes w x h, with an expose event, as a
// server resizes a window in its own time.
void resize_at(uint32_t ms, int32_t w, int32_t h);
// At the start of pass `pass` the clock jumps ahead by ms, as if the machine
// had stalled.
void stall_at(uint32_t pass, uint32_t ms);
// After this many passes a close request is queued, so that a test whose
// program misbehaves ends instead of hanging.
void set_pass_limit(uint32_t passes);

const std::vector<call>& calls();
uint32_t passes();
uint64_t now_us();

// Helpers for tests that read the record.
std::vector<const call*> calls_of(call_kind kind);
gui_event key_event(uint32_t key);
gui_event mouse_event(int32_t x, int32_t y, int32_t buttons, int32_t wheel);
gui_event close_event();
gui_event expose_event();

}  // namespace scripted
