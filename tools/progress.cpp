// komu encode's progress line and summary: see progress.h.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

// "1:05" or "1:02:05".
std::string clock_text(double seconds) {
    const auto s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    }
    return buf;
}

}  // namespace

void progress_begin(encode_progress* p, bool quiet, uint64_t expected_frames) {
    p->quiet = quiet;
    p->live = !quiet && isatty(STDERR_FILENO);
    p->expected_frames = expected_frames;
    p->start = p->last_draw = clock_type::now();
    p->drawn = false;
}

void progress_update(encode_progress* p, const komu_writer& w) {
    if (!p->live || clock_type::now() - p->last_draw < std::chrono::milliseconds(250)) return;
    p->last_draw = clock_type::now();
    const double elapsed = seconds_since(p->start);
    std::string line = "frame " + std::to_string(w.frames);
    // Once past the estimate, it was wrong: show none rather than a wrong one.
    const bool estimate = p->expected_frames > w.frames && w.frames > 0;
    if (estimate) line += " of ~" + std::to_string(p->expected_frames);
    char rate[32];
    std::snprintf(rate, sizeof rate, " | %.1f fps", elapsed > 0 ? double(w.frames) / elapsed : 0.0);
    line += rate;
    line += " | " + clock_text(elapsed);
    if (estimate) {
        line += " of ~" + clock_text(elapsed * double(p->expected_frames) / double(w.frames));
    }
    line += " | " + size_text(komu_writer_file_bytes(w));
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    p->drawn = true;
}

void progress_clear(encode_progress* p) {
    if (!p->drawn) return;
    std::fputs("\r\033[K", stderr);
    p->drawn = false;
}

void progress_summary(encode_progress* p, const komu_writer& w, const std::string& out_name,
                      const std::string& note) {
    progress_clear(p);
    if (p->quiet) return;
    const komu_encode_options& o = w.options;
    char head[160];
    std::snprintf(head, sizeof head, "%ux%u, %llu frame%s at %u/%u fps (%.2f s), ",
                  unsigned{o.width}, unsigned{o.height}, static_cast<unsigned long long>(w.frames),
                  w.frames == 1 ? "" : "s", o.fps_num, o.fps_den,
                  double(w.frames) * o.fps_den / o.fps_num);
    std::string line = "komu: " + out_name + ": " + head + size_text(komu_writer_file_bytes(w));
    std::string kinds;
    for (int k = 0; k < 4; ++k) {
        if (w.kinds[k] == 0) continue;
        kinds += (kinds.empty() ? "" : ", ") + std::to_string(w.kinds[k]) + " " +
                 KOMU_PAYLOAD_KIND_NAMES[k];
    }
    line += " (" + kinds + ")";
    if (!note.empty()) line += "; " + note;
    std::fprintf(stderr, "%s\n", line.c_str());
}
