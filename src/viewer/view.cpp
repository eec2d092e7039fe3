// The view transform: where the video sits in the video area. Zoom is in
// thousandths (1000 = one video pixel per view pixel); pan is the view
// position of the video's top-left corner, in view pixels.
//
// Products are formed in 64 bits and pan saturates at +-PAN_LIMIT, so no
// sequence of zooms, drags and arrow keys can overflow.
#include <algorithm>

#include "viewer.h"

namespace {
int32_t saturate_pan(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, -PAN_LIMIT, PAN_LIMIT));
}
}  // namespace

void reset_view_transform(view_state* view, int32_t video_w, int32_t video_h) {
    if (video_w <= 0 || video_h <= 0 || view->view_w <= 0 || view->view_h <= 0) return;
    const int64_t zx = int64_t{view->view_w} * 1000 / video_w;
    const int64_t zy = int64_t{view->view_h} * 1000 / video_h;
    int64_t z = std::min(zx, zy);
    if (z > FIT_ZOOM_MAX) z = FIT_ZOOM_MAX;
    if (z < FIT_ZOOM_MIN) z = FIT_ZOOM_MIN;
    // Displayed size, rounded up, so the centring never leaves a gap.
    const int64_t dw = (video_w * z + 999) / 1000;
    const int64_t dh = (video_h * z + 999) / 1000;
    view->zoom_permille = static_cast<int32_t>(z);
    view->pan_x = saturate_pan((view->view_w - dw) / 2);
    view->pan_y = saturate_pan((view->view_h - dh) / 2);
}

void zoom_view(view_state* view, int32_t video_w, int32_t video_h, int32_t zoom_in) {
    const int64_t old = view->zoom_permille;
    if (video_w <= 0 || video_h <= 0 || old <= 0) return;
    int64_t z = zoom_in ? old * 5 / 4 : old * 4 / 5;
    if (z > STEP_ZOOM_MAX) z = STEP_ZOOM_MAX;
    if (z < STEP_ZOOM_MIN) z = STEP_ZOOM_MIN;
    if (z == old) return;
    // Keep the video pixel under the view centre where it is.
    const int64_t cx = view->view_w / 2;
    const int64_t cy = view->view_h / 2;
    const int64_t ux = (cx - view->pan_x) * 1000 / old;
    const int64_t uy = (cy - view->pan_y) * 1000 / old;
    view->zoom_permille = static_cast<int32_t>(z);
    view->pan_x = saturate_pan(cx - ux * z / 1000);
    view->pan_y = saturate_pan(cy - uy * z / 1000);
}

void pan_view(view_state* view, int64_t dx, int64_t dy) {
    view->pan_x = saturate_pan(view->pan_x + dx);
    view->pan_y = saturate_pan(view->pan_y + dy);
}
