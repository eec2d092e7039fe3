// Composition speed: one pass's drawing into the render buffer
// (compose_frame: fill, column map, rows) for a 640 x 480 frame in the
// default 920 x 542 video area, at the fit zoom and at 8x, against one fill
// plus one copy of the render buffer's 320 x 200 x 2 = 128,000 bytes; and in
// the full view of a 1920 x 1080 window (a 1920 x 1062 render buffer), at the
// fit zoom and at zoom 1000, against one fill plus one copy of that buffer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_ratio.h"
#include "bench_video.h"
#include "viewer.h"

namespace {

constexpr int32_t VIDEO_W = 640, VIDEO_H = 480;

struct compose_case {
    komu_stream stream;
    std::vector<uint16_t> picture;
    view_state view;
};

constexpr gui_size FULL_HD{1920, 1080};

// The view of the first pass in a window of the given content size (0 x 0:
// one that reports no size, so a 920 x 542 video area), in the full view or
// not, at the fit zoom or at zoom_permille centred on the video.
void prepare(compose_case* c, int32_t zoom_permille, gui_size content, bool full_view) {
    c->picture = bench_picture(VIDEO_W, VIDEO_H, 7);
    komu_stream_init(&c->stream);
    c->stream.width = VIDEO_W;
    c->stream.height = VIDEO_H;
    c->stream.cur_frame = reinterpret_cast<uint8_t*>(c->picture.data());
    c->view = view_state{};
    c->view.full_view = full_view ? 1 : 0;
    layout_view(&c->view, content);
    reset_view_transform(&c->view, VIDEO_W, VIDEO_H);
    if (zoom_permille > 0) {
        c->view.zoom_permille = zoom_permille;
        c->view.pan_x = c->view.view_w / 2 - VIDEO_W / 2 * zoom_permille / 1000;
        c->view.pan_y = c->view.view_h / 2 - VIDEO_H / 2 * zoom_permille / 1000;
    }
}

void bm_compose(benchmark::State& state, int32_t zoom_permille, gui_size content, bool full_view) {
    compose_case c;
    prepare(&c, zoom_permille, content, full_view);
    if (compose_frame(&c.view, &c.stream) != 0) {
        state.SkipWithError("compose_frame failed");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(compose_frame(&c.view, &c.stream));
        benchmark::ClobberMemory();
    }
    state.counters["zoom_permille"] = c.view.zoom_permille;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * c.view.render_w *
                            c.view.render_h * 2);
    std::free(c.view.render_buf);
    std::free(c.view.col_map);
}

// The least any composition must do: set every pixel of a render buffer of
// w x h once (the fill) and move a buffer's worth of pixels (the render
// buffer copied out, as a window server would).
void bm_fill_copy(benchmark::State& state, size_t w, size_t h) {
    const size_t pixels = w * h;
    std::vector<uint16_t> render(pixels), out(pixels);
    for (auto _ : state) {
        std::fill_n(render.data(), pixels, VIDEO_BACKGROUND_RGB565);
        benchmark::ClobberMemory();
        std::memcpy(out.data(), render.data(), pixels * 2);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pixels * 2));
}

}  // namespace

int main(int argc, char** argv) {
    const gui_size none{0, 0};
    const auto us = benchmark::kMicrosecond;
    benchmark::RegisterBenchmark("compose/fit", bm_compose, 0, none, false)->Unit(us);
    benchmark::RegisterBenchmark("compose/zoom8x", bm_compose, 8000, none, false)->Unit(us);
    benchmark::RegisterBenchmark("fill_copy/128000", bm_fill_copy, MAX_RENDER_W, MAX_RENDER_H)->Unit(us);
    benchmark::RegisterBenchmark("compose_full_1080/fit", bm_compose, 0, FULL_HD, true)->Unit(us);
    benchmark::RegisterBenchmark("compose_full_1080/zoom1000", bm_compose, 1000, FULL_HD, true)->Unit(us);
    benchmark::RegisterBenchmark("fill_copy/4078080", bm_fill_copy, FULL_HD.w,
                                 FULL_HD.h - STATUS_BAR_ROWS)->Unit(us);
    return run_benchmarks_with_ratios(
        argc, argv, "Composition against one fill + one copy",
        {{"fit", "compose/fit", "fill_copy/128000"},
         {"zoom8x", "compose/zoom8x", "fill_copy/128000"},
         {"full view 1920x1080, fit", "compose_full_1080/fit", "fill_copy/4078080"},
         {"full view 1920x1080, zoom 1000", "compose_full_1080/zoom1000", "fill_copy/4078080"}});
}
