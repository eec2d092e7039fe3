// The player: start-up, the playback loop, input, the view transform and the
// composition of each pass. Reaches the window server only through gui.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gui.h"
#include "komu.h"

inline constexpr int32_t STATUS_BAR_ROWS = 18;
inline constexpr int32_t MIN_VIEW_ROWS = 40;
inline constexpr int32_t DEFAULT_CONTENT_W = 920;  // used while the server reports no size
inline constexpr int32_t DEFAULT_CONTENT_H = 560;
inline constexpr int32_t MAX_RENDER_W = 320;  // the render buffer is at most 320 x 200
inline constexpr int32_t MAX_RENDER_H = 200;

inline constexpr int32_t FIT_ZOOM_MIN = 50;  // zoom limits, thousandths
inline constexpr int32_t FIT_ZOOM_MAX = 6000;
inline constexpr int32_t STEP_ZOOM_MIN = 50;
inline constexpr int32_t STEP_ZOOM_MAX = 8000;
// Pan is saturated here, far outside any view, so that no product of pan and
// zoom arithmetic can overflow whatever the input.
inline constexpr int32_t PAN_LIMIT = 1'000'000;
inline constexpr int32_t PAN_STEP = 20;  // view pixels per arrow key

inline constexpr uint16_t VIDEO_BACKGROUND_RGB565 = 0x18E3;
inline constexpr uint32_t STATUS_BAR_COLOR = 0x262626;
inline constexpr uint32_t STATUS_TEXT_COLOR = 0xDEDEDE;
inline constexpr uint32_t HELP_TEXT_COLOR = 0x8C8C8C;

inline constexpr const char* WINDOW_TITLE = "View (KOMU)";
inline constexpr const char* WINDOW_HELP =
    "Esc quit | Space play/pause | +/- zoom | wheel zoom | arrows/mouse pan";
inline constexpr const char* STATUS_HELP =
    "Space play/pause  +/- zoom  wheel zoom  arrows/mouse pan  Esc quit";

inline constexpr uint32_t TEXT_CAP = 128;  // text buffers: at most 127 characters and a NUL

// The window and the view of the video in it. Zeroed before the window is
// created; owned by main for the whole run.
struct view_state {
    int32_t window;                // gui_create's handle
    int32_t running;               // 1 while the window is open; 0 ends the loop after this pass
    int32_t content_w, content_h;  // window content of this pass, pixels
    int32_t view_w, view_h;        // video area: the content less the status bar
    int32_t render_w, render_h;    // render buffer size, at most 320 x 200
    uint16_t* render_buf;          // RGB565, render_w x render_h; owned here, freed at the end
    uint32_t render_cap;           // capacity in pixels; never shrinks
    int32_t zoom_permille;         // 1000 = one video pixel per view pixel; 0 = not fitted yet
    int32_t pan_x, pan_y;          // view position of the video's top-left, view pixels
    int32_t dragging;              // left button held at the last mouse event
    int32_t last_valid;            // last_x/last_y hold a drag anchor
    int32_t last_x, last_y;        // pointer at the previous drag step, content pixels
    // Set by input when it has put another frame on screen (a seek, a frame
    // step, Home or End); the loop shows it for one frame interval from now,
    // re-anchoring its schedule there, and clears it.
    int32_t moved;
};

// The whole program: start-up, then the window and playback loop. Returns
// the exit status.
int cinepane_main(int argc, char** argv);

// Start-up: checks the argument, opens the video, allocates the frame buffers,
// sets the frame interval and decodes the first frame. 0 with the stream
// open when playback may begin; 0 with it closed when the argument was
// --help, -h or --version (and no file of that name exists) and the answer
// has been printed; otherwise 1, after the one line and the reason have been
// printed and the stream closed.
int start_up(komu_stream* stream, int argc, char** argv);

// The window and playback loop over a started stream; closes the stream.
// Returns the exit status.
int run_playback(komu_stream* stream, const char* path);

// Layout of one pass from the reported content size (0 x 0 means unknown).
void layout_view(view_state* view, gui_size content);

// Fits the whole video into the view and centres it.
void reset_view_transform(view_state* view, int32_t video_w, int32_t video_h);
// One zoom step about the view centre; zoom_in non-zero zooms in.
void zoom_view(view_state* view, int32_t video_w, int32_t video_h, int32_t zoom_in);
// Moves the picture by (dx, dy) view pixels, saturating at +-PAN_LIMIT.
void pan_view(view_state* view, int64_t dx, int64_t dy);

// Handles one key or mouse event; a quit sets running = 0, a move to
// another frame sets moved = 1.
void handle_input(view_state* view, komu_stream* stream, const gui_event* event);

// Samples cur_frame through the view into the render buffer (grown as
// needed). 0 when the buffer holds the picture, -1 when there is nothing to
// draw (no frame, empty area, failed allocation).
int compose_frame(view_state* view, const komu_stream* stream);
// Builds the status line into text[TEXT_CAP].
void build_status_text(char* text, const char* path, const komu_stream* stream);
// Appends piece to the NUL-terminated text of a cap-byte buffer, cut so that
// the text never passes cap - 1 characters.
void append_text(char* text, size_t cap, const char* piece);
// Appends value's decimal digits while the text is at most 126 characters.
void str_append_uint(char* text, uint32_t value);
// Draws the whole window for this pass: picture, status bar, texts, present.
// 0 when presented; -1 when the drawing was skipped (nothing to draw, a
// failed allocation, or the server refused to begin).
int draw_pass(view_state* view, const komu_stream* stream, const char* path);
