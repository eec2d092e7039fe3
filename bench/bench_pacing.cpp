// Pacing of the real playback loop (cinepane_main) with a window backend that
// draws nothing (gui_null): a 640 x 480 video at 60/1 played for --frames
// presents (600 by default), each present's real time recorded.
//
// Frame k is drawn by present k. Present 1 draws frame 1 at t0, its own
// time; frame k >= 2 is due at t0 + k * interval, interval = 1 s * den / num
// exactly. Lateness = present time - due time (negative: early). Counters, in
// ms: drift (lateness of the last frame), p50, p99 and the largest lateness
// of frames 2..N, the earliest, and the drift against the player's own
// whole-microsecond interval. With --csv=PATH every frame's lateness of
// every repetition is written as CSV: rep,frame,due_ms,present_ms,late_ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_video.h"
#include "gui_null.h"
#include "viewer.h"

namespace {

constexpr uint32_t FPS_NUM = 60, FPS_DEN = 1;

struct pacing_options {
    uint32_t frames = 600;
    std::string csv;
    std::string video;  // path of the video file
};

struct frame_row {
    uint32_t rep, frame;
    double due_ms, present_ms, late_ms;  // from t0
};

pacing_options g_options;
std::vector<frame_row> g_rows;
uint32_t g_rep = 0;

// Nearest-rank percentile of sorted values, p in (0, 100].
double percentile(const std::vector<double>& sorted, double p) {
    const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

void bm_pacing(benchmark::State& state) {
    const uint32_t n = g_options.frames;
    const double interval_ns = 1e9 * FPS_DEN / FPS_NUM;
    const double player_interval_ns = 1e3 * komu_frame_interval_us(FPS_NUM, FPS_DEN);
    std::vector<double> late;
    double drift = 0, drift_player = 0;
    for (auto _ : state) {
        gui_null::reset(n);
        char name[] = "cinepane";
        std::vector<char> path(g_options.video.begin(), g_options.video.end());
        path.push_back('\0');
        char* argv[] = {name, path.data(), nullptr};
        const int status = cinepane_main(2, argv);
        const std::vector<int64_t>& presents = gui_null::present_times_ns();
        if (status != 0 || presents.size() < n) {
            state.SkipWithError("the player ended early");
            return;
        }
        g_rep += 1;
        const int64_t t0 = presents[0];
        late.clear();
        for (uint32_t k = 2; k <= n; ++k) {
            const double due = static_cast<double>(k) * interval_ns;
            const double at = static_cast<double>(presents[k - 1] - t0);
            late.push_back((at - due) / 1e6);
            g_rows.push_back({g_rep, k, due / 1e6, at / 1e6, (at - due) / 1e6});
        }
        drift = late.back();
        drift_player = (static_cast<double>(presents[n - 1] - t0) - n * player_interval_ns) / 1e6;
    }
    std::sort(late.begin(), late.end());
    state.counters["drift_ms"] = drift;
    state.counters["p50_ms"] = percentile(late, 50);
    state.counters["p99_ms"] = percentile(late, 99);
    state.counters["max_ms"] = late.back();
    state.counters["min_ms"] = late.front();
    state.counters["drift_vs_16666us_ms"] = drift_player;
}

bool write_csv(const std::string& path) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    std::fprintf(out, "rep,frame,due_ms,present_ms,late_ms\n");
    for (const frame_row& r : g_rows) {
        std::fprintf(out, "%u,%u,%.4f,%.4f,%.4f\n", r.rep, r.frame, r.due_ms, r.present_ms,
                     r.late_ms);
    }
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--csv=", 6) == 0) {
            g_options.csv = argv[i] + 6;
        } else if (std::strncmp(argv[i], "--frames=", 9) == 0) {
            g_options.frames = static_cast<uint32_t>(std::strtoul(argv[i] + 9, nullptr, 10));
        } else {
            std::fprintf(stderr, "bench_pacing: unknown argument %s\n"
                                 "  extra options: --frames=N (default 600) --csv=PATH\n", argv[i]);
            return 1;
        }
    }
    if (g_options.frames < 2) {
        std::fprintf(stderr, "bench_pacing: --frames must be at least 2\n");
        return 1;
    }

    const std::string dir = make_bench_dir();
    bench_video video;
    video.width = 640;
    video.height = 480;
    video.frames = g_options.frames + 1;  // frame 0 is decoded at start-up, never presented
    video.fps_num = FPS_NUM;
    video.fps_den = FPS_DEN;
    g_options.video = dir + "/pacing.komu";
    std::string error;
    if (dir.empty() || !write_bench_video(video, g_options.video, &error)) {
        std::fprintf(stderr, "bench_pacing: cannot write the video: %s\n", error.c_str());
        remove_bench_dir(dir);
        return 1;
    }

    benchmark::RegisterBenchmark("pacing/640x480@60", bm_pacing)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove_bench_dir(dir);
    if (!g_options.csv.empty() && !write_csv(g_options.csv)) {
        std::fprintf(stderr, "bench_pacing: cannot write %s\n", g_options.csv.c_str());
        return 1;
    }
    return 0;
}
