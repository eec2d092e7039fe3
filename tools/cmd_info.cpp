// komu info: what a KOMU file holds, for people first (size, frames, rate
// and duration, payload kinds, key frames, data rate, whether it plays to
// the end), then the header fields under their names in komu.h and the
// layout figures, one "name value" line each.
//
// Every frame is decoded once, in playback order, as the player would; a
// file the player refuses or stops early on is named in words on standard
// error and gives status 1.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "komu.h"
#include "komu_write.h"

namespace {

void print_field(const char* name, const std::string& value) {
    std::printf("%-18s %s\n", name, value.c_str());
}

void print_field(const char* name, uint64_t value) { print_field(name, std::to_string(value)); }

// A count that needs the file's size, which a pipe does not have.
void print_sized(const char* name, const komu_stream& s, uint64_t value) {
    print_field(name, s.file_size == KOMU_SIZE_UNKNOWN ? "unknown (a pipe)" : std::to_string(value));
}

std::string hex(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

std::string fixed(double value, int decimals) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

// What the index holds, by frame (all raw key frames in mode 1).
struct index_figures {
    uint64_t kinds[4] = {}, kind_bytes[4] = {};
    uint64_t payload_bytes = 0, gap_bytes = 0, trailing_bytes = 0;
    uint64_t video_bytes = 0;    // header, index and payloads up to the last one's end
    std::vector<uint32_t> keys;  // 0-based positions of key frames
};

index_figures figures_of(const komu_stream& s) {
    index_figures f;
    const uint32_t count = s.header.frame_count;
    const uint64_t data_bytes = s.file_size - s.data_offset;  // meaningless for a pipe
    if (s.index == nullptr) {  // sequential: the frames themselves, back to back
        f.kinds[0] = count;
        f.kind_bytes[0] = f.payload_bytes = uint64_t{count} * s.frame_bytes;
        f.trailing_bytes = data_bytes > f.payload_bytes ? data_bytes - f.payload_bytes : 0;
        f.video_bytes = s.data_offset + f.payload_bytes;
        return f;
    }
    uint64_t end = 0, furthest = 0;  // from the data area's start
    for (uint32_t i = 0; i < count; ++i) {
        const komu_frame_entry& e = s.index[i];
        const int kind = komu_payload_kind(e.flags);
        f.kinds[kind] += 1;
        f.kind_bytes[kind] += e.size;
        f.payload_bytes += e.size;
        if (e.offset > end) f.gap_bytes += e.offset - end;
        end = uint64_t{e.offset} + e.size;
        if (end > furthest) furthest = end;
        if (kind < 2) f.keys.push_back(i);
    }
    f.trailing_bytes = data_bytes > furthest ? data_bytes - furthest : 0;
    f.video_bytes = s.data_offset + furthest;
    return f;
}

// "every 15 frames", "every 100 frames on average, at most 159 apart",
// "the first frame only", "none: ...".
std::string key_frame_text(const index_figures& f, uint32_t count, bool sequential) {
    if (sequential) return "every frame (sequential: raw frames, no index)";
    if (f.keys.empty()) return "none (every frame is a delta against the one before)";
    if (f.keys.size() == 1) {
        return f.keys[0] == 0 ? "the first frame only" : "1, frame " + std::to_string(f.keys[0] + 1);
    }
    uint32_t widest = f.keys[0] + 1;  // frames from the start to the first key
    bool even = f.keys[0] == 0;
    for (size_t i = 1; i < f.keys.size(); ++i) {
        const uint32_t gap = f.keys[i] - f.keys[i - 1];
        if (gap != f.keys[1] - f.keys[0]) even = false;
        widest = std::max(widest, gap);
    }
    widest = std::max(widest, count - f.keys.back());
    const std::string n = std::to_string(f.keys.size());
    if (even && count - f.keys.back() <= f.keys[1]) {
        return n + (f.keys[1] == 1 ? ", every frame" : ", every " + std::to_string(f.keys[1]) + " frames");
    }
    return n + ", every " + fixed(double(count) / double(f.keys.size()), 1) +
           " frames on average, at most " + std::to_string(widest) + " apart";
}

// The rate as the header gives it, and what the player does with it.
std::string rate_text(const komu_header& h) {
    const uint32_t num = h.fps_num ? h.fps_num : 30, den = h.fps_den ? h.fps_den : 1;
    std::string text = std::to_string(num) + "/" + std::to_string(den) + " fps";
    if (den != 1) text += " (" + fixed(double(num) / den, 3) + ")";
    if (h.fps_num == 0 || h.fps_den == 0) text += ", from 0 standing for 30 and 1";
    const double played = 1e6 / komu_frame_interval_us(h.fps_num, h.fps_den);
    const double declared = double(num) / den;
    if (num < uint64_t{KOMU_MIN_FPS} * den || num > uint64_t{KOMU_MAX_FPS} * den) {
        text += ": outside the 5..1000 the player keeps, so it plays at " + fixed(played, 0) +
                " fps, " + fixed(declared < played ? played / declared : declared / played, 2) +
                (declared < played ? " times too fast" : " times too slow");
    }
    return text;
}

// Decodes every frame once, as playback does. The frames that decode
// before the first that does not (frame_count when all do); *problem says
// why it did not and what the player does then.
uint32_t play_through(komu_stream* s, std::string* problem) {
    for (uint32_t i = 0; i < s->header.frame_count; ++i) {
        if (komu_decode_next(s) == 0) continue;
        *problem = failure_words(s->failure) +
                   (i == 0 ? ": cinepane refuses to start"
                           : ": playback stops after frame " + std::to_string(i));
        return i;
    }
    return s->header.frame_count;
}

void print_summary(const std::string& path, const komu_stream& s, const index_figures& f,
                   uint32_t playable) {
    const komu_header& h = s.header;
    const uint32_t num = h.fps_num ? h.fps_num : 30, den = h.fps_den ? h.fps_den : 1;
    const double seconds = double(h.frame_count) * den / num;
    const bool pipe = s.file_size == KOMU_SIZE_UNKNOWN;
    std::printf("%s: %s, %ux%u\n", path.c_str(),
                pipe ? "a pipe, size unknown" : size_text(s.file_size).c_str(), unsigned{h.width},
                unsigned{h.height});
    std::printf("frames:       %u at %s, %s s, %s\n", h.frame_count, rate_text(h).c_str(),
                fixed(seconds, 2).c_str(), (h.flags & KOMU_LOOP) ? "looping" : "played once");
    std::printf("mode:         %s (%u)\n",
                h.mode == KOMU_MODE_SEQUENTIAL ? "sequential" : "indexed", unsigned{h.mode});
    std::string kinds;
    for (int k = 0; k < 4; ++k) {
        if (f.kinds[k] == 0) continue;
        kinds += (kinds.empty() ? "" : ", ") + std::to_string(f.kinds[k]) + " " +
                 KOMU_PAYLOAD_KIND_NAMES[k] + " (" + size_text(f.kind_bytes[k]) + ")";
    }
    std::printf("payloads:     %s\n", kinds.c_str());
    std::printf("key frames:   %s\n",
                key_frame_text(f, h.frame_count, h.mode == KOMU_MODE_SEQUENTIAL).c_str());
    std::printf("data rate:    %s a second\n",
                size_text(uint64_t(double(f.video_bytes) / seconds)).c_str());
    const std::string playback = playable == h.frame_count ? "every frame decodes"
                                 : playable == 0 ? "cinepane refuses to start: frame 1 cannot be decoded"
                                                 : "stops after frame " + std::to_string(playable) +
                                                       ": frame " + std::to_string(playable + 1) +
                                                       " cannot be decoded";
    std::printf("playback:     %s\n\n", playback.c_str());
}

int cmd_info(const parsed_args& args) {
    if (args.positional.size() != 1) {
        print_error("info: expected one FILE (see komu --help)");
        return STATUS_USAGE;
    }
    const std::string& path = args.positional[0];
    komu_stream s;
    if (!open_or_say_why(path, &s)) return STATUS_FAILED;
    const index_figures f = figures_of(s);
    std::string problem;
    const uint32_t playable = play_through(&s, &problem);
    print_summary(path, s, f, playable);

    const komu_header& h = s.header;
    print_field("magic", hex(h.magic, 8));
    print_field("width", h.width);
    print_field("height", h.height);
    print_field("pixel_format", h.pixel_format);
    print_field("flags", hex(h.flags, 2) + ((h.flags & KOMU_LOOP) ? " (loop)" : ""));
    print_field("mode", h.mode);
    print_field("frame_count", h.frame_count);
    print_field("fps_num", h.fps_num);
    print_field("fps_den", h.fps_den);
    print_field("header_size", h.header_size);
    print_field("frame_interval_us", komu_frame_interval_us(h.fps_num, h.fps_den));
    print_field("frame_bytes", s.frame_bytes);
    print_field("data_offset", s.data_offset);
    print_sized("file_size", s, s.file_size);
    print_field("raw_key", f.kinds[0]);
    print_field("rle_key", f.kinds[1]);
    print_field("raw_delta", f.kinds[2]);
    print_field("rle_delta", f.kinds[3]);
    print_field("payload_bytes", f.payload_bytes);
    print_field("gap_bytes", f.gap_bytes);
    print_sized("trailing_bytes", s, f.trailing_bytes);
    komu_close(&s);
    std::fflush(stdout);
    if (!problem.empty()) {
        print_error(path + ": " + problem);
        return STATUS_FAILED;
    }
    return STATUS_OK;
}

}  // namespace

const command INFO_COMMAND = {"info", {}, cmd_info};
