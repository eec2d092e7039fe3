// The benchmarks' window backend: see gui_null.h.
#include "gui_null.h"

#include <time.h>

#include "gui.h"

namespace gui_null {
namespace {

uint32_t g_quit_after = 0;
std::vector<int64_t> g_presents;

}  // namespace

void reset(uint32_t quit_after) {
    g_quit_after = quit_after;
    g_presents.clear();
    g_presents.reserve(size_t{quit_after} + 16);
}

const std::vector<int64_t>& present_times_ns() { return g_presents; }

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace gui_null

int gui_create(const char*, const char*) { return 1; }
int gui_begin(int) { return 0; }
int gui_fill_rect(int, const gui_rect_desc*) { return 0; }
int gui_draw_text(int, const gui_text_desc*) { return 0; }
int gui_blit_rgb565(int, const gui_blit_desc*) { return 0; }

int gui_present(int) {
    gui_null::g_presents.push_back(gui_null::now_ns());
    return 0;
}

namespace {
bool close_due() {
    return gui_null::g_quit_after != 0 && gui_null::g_presents.size() >= gui_null::g_quit_after;
}
}  // namespace

int gui_poll_event(int, gui_event* event) {
    if (!close_due()) return 0;
    event->type = GUI_EVENT_CLOSE;
    return 1;
}

// Nothing arrives but the close request: a wait is a sleep.
int gui_wait_event(int, int32_t timeout_ms) {
    if (close_due()) return 1;
    sleep_us(timeout_ms < 0 ? 10'000u : static_cast<uint32_t>(timeout_ms) * 1000);
    return 0;
}

int gui_get_screen_size(int, gui_size* size) {
    size->w = 0;
    size->h = 0;
    return -1;
}
int gui_request_content_size(int, const gui_size*) { return -1; }
int gui_set_fullscreen(int, int) { return -1; }

int gui_get_content_size(int, gui_size* size) {
    size->w = 0;
    size->h = 0;
    return 0;
}

int gui_set_continuous_redraw(int, int) { return 0; }
