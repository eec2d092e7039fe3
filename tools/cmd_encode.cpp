// komu encode: any video FFmpeg's libraries read, or raw RGB565 frames
// (-s WxH), to a KOMU file. In order: the options, the source of frames
// (raw or video), the writer.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "komu_write.h"
#include "output.h"
#include "progress.h"
#include "video_source.h"

namespace {

// ---- Options -----------------------------------------------------------------

constexpr option_spec ENCODE_OPTIONS[] = {
    {"-s", "--size", true},       {"-r", "--rate", true},    {nullptr, "--fit", true},
    {nullptr, "--upscale", false}, {nullptr, "--dither", true}, {nullptr, "--loop", false},
    {nullptr, "--mode", true},    {nullptr, "--kind", true}, {"-g", "--key-interval", true},
    {"-o", "--out", true},        {"-q", "--quiet", false},
};

struct encode_request {
    komu_encode_options file;  // size and rate are the raw input's, or filled from the video
    bool raw = false;          // -s given: the input is raw RGB565 frames
    bool rate_given = false;
    video_source_options video;
    bool quiet = false;
    std::string in_path, out_path;  // "-": standard input / output
};

bool parse_size(const std::string& text, const char* option, uint16_t* w, uint16_t* h,
                std::string* error) {
    uint64_t a = 0, b = 0;
    if (!parse_pair(text, 'x', 0xFFFF, &a, &b)) {
        *error = std::string(option) + " wants WxH, e.g. 320x240, not '" + text + "'";
        return false;
    }
    *w = static_cast<uint16_t>(a);
    *h = static_cast<uint16_t>(b);
    return true;
}

// Turns the encode arguments into a request; false (with *error) when bad.
bool request_from(const parsed_args& args, encode_request* q, std::string* error) {
    const auto& v = args.values;
    komu_encode_options& o = q->file;
    uint64_t a = 0, b = 0;
    q->raw = v.contains("--size");
    if (q->raw && !parse_size(v.at("--size"), "-s", &o.width, &o.height, error)) return false;
    if (q->raw && (v.contains("--fit") || v.contains("--upscale") || v.contains("--dither"))) {
        *error = "--fit, --upscale and --dither are for video; -s says the input is raw frames";
        return false;
    }
    if (v.contains("--fit")) {
        uint16_t w = 0, h = 0;
        if (!parse_size(v.at("--fit"), "--fit", &w, &h, error)) return false;
        if (w < 1 || w > KOMU_MAX_WIDTH || h < 1 || h > KOMU_MAX_HEIGHT) {
            *error = "--fit " + v.at("--fit") + " is outside 1x1..640x480";
            return false;
        }
        q->video.fit_width = w;
        q->video.fit_height = h;
    }
    q->video.upscale = v.contains("--upscale");
    if (v.contains("--dither") && !dither_from_name(v.at("--dither").c_str(), &q->video.dither)) {
        *error = "--dither wants none, ordered or diffusion";
        return false;
    }
    q->rate_given = v.contains("--rate");
    if (q->rate_given) {
        const std::string& r = v.at("--rate");
        b = 1;  // NUM alone means NUM/1
        const bool ok = r.find('/') == std::string::npos ? parse_uint(r, 0xFFFFFFFFu, &a)
                                                         : parse_pair(r, '/', 0xFFFFFFFFu, &a, &b);
        if (!ok || a == 0 || b == 0) {
            *error = "-r wants NUM or NUM/DEN, both above 0, not '" + r + "'";
            return false;
        }
        o.fps_num = q->video.rate_num = static_cast<uint32_t>(a);
        o.fps_den = q->video.rate_den = static_cast<uint32_t>(b);
    }
    o.loop = v.contains("--loop");
    if (v.contains("--mode")) {
        if (!parse_uint(v.at("--mode"), 0xFFFF, &a)) {
            *error = "--mode wants 1, 2 or 3";
            return false;
        }
        o.mode = static_cast<uint16_t>(a);
    }
    if (v.contains("--kind")) {
        static const std::map<std::string, komu_kind> kinds = {{"auto", komu_kind::automatic},
                                                               {"raw", komu_kind::raw},
                                                               {"rle", komu_kind::rle},
                                                               {"delta", komu_kind::delta},
                                                               {"delta-rle", komu_kind::delta_rle}};
        const auto it = kinds.find(v.at("--kind"));
        if (it == kinds.end()) {
            *error = "--kind wants auto, raw, rle, delta or delta-rle";
            return false;
        }
        o.kind = it->second;
    }
    if (v.contains("--key-interval")) {
        if (!parse_uint(v.at("--key-interval"), 0xFFFFFFFFu, &a)) {
            *error = "-g wants a whole number of frames";
            return false;
        }
        o.key_interval = static_cast<uint32_t>(a);
    }
    q->quiet = v.contains("--quiet");
    if (args.positional.size() > 1) {
        *error = "more than one input given";
        return false;
    }
    q->in_path = args.positional.empty() ? "-" : args.positional[0];
    q->out_path = args.value_or("--out", "-");
    if (q->out_path.empty()) q->out_path = "-";
    // The rate is checked once the source is known; the rest now, with a
    // stand-in size for a video.
    komu_encode_options check = o;
    check.fps_num = 30;
    check.fps_den = 1;
    if (!q->raw) check.width = check.height = 1;
    return komu_check_options(check, error);
}

// ---- Sources of frames ---------------------------------------------------------

// Raw RGB565 frames from a descriptor, or a video; either gives out frames
// of the file's size at the file's rate.
struct frame_source {
    video_source* video = nullptr;
    int fd = -1;  // raw input
    komu_rate_fit fit{};
    std::vector<uint8_t> last;  // the last raw frame read
    uint32_t repeats_left = 0;  // times `last` is still to be given out
    uint64_t frames_read = 0;   // raw frames read, partial one excluded
    std::string warning;        // set when the raw input ends inside a frame
    ~frame_source() {
        video_source_close(video);
        if (fd > STDIN_FILENO) close(fd);
    }
};

// Opens the source and completes q->file with its size and playable rate.
// *note says how the rate was chosen or changed, when the user may wonder.
bool open_source(encode_request* q, frame_source* src, uint64_t* expected_frames, std::string* note,
                 std::string* error) {
    komu_encode_options& o = q->file;
    if (q->raw) {
        if (q->in_path == "-") {
            src->fd = STDIN_FILENO;
        } else if ((src->fd = open(q->in_path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
            *error = q->in_path + ": " + errno_text();
            return false;
        }
        src->fit = komu_playable_rate(o.fps_num, o.fps_den);
    } else {
        video_source_info info;
        // FFmpeg's own name for standard input.
        const std::string path = q->in_path == "-" ? "pipe:0" : q->in_path;
        src->video = video_source_open(path, q->video, &info, error);
        if (src->video == nullptr) {
            *error = q->in_path + ": " + *error;
            return false;
        }
        o.width = info.width;
        o.height = info.height;
        o.fps_num = info.wanted_num;
        o.fps_den = info.wanted_den;
        src->fit = info.fit;
        *expected_frames = info.expected_frames;
        if (!q->rate_given && info.source_rate_num == 0) {
            *note = "the source declares no frame rate: 25/1 taken (-r sets one)";
        } else if (!q->rate_given && info.variable_rate) {
            *note = "a variable rate, made constant at its average";
        }
    }
    if (src->fit.repeat > 1 || src->fit.keep_every > 1) {
        const std::string rate = std::to_string(o.fps_num) + "/" + std::to_string(o.fps_den);
        if (!note->empty()) *note += "; ";
        *note += src->fit.repeat > 1
                     ? rate + " fps is below the player's 5: each frame " +
                           std::to_string(src->fit.repeat) + " times"
                     : rate + " fps is above the player's 1000: 1 frame in " +
                           std::to_string(src->fit.keep_every) + " kept";
    }
    o.fps_num = src->fit.num;
    o.fps_den = src->fit.den;
    return true;
}

// Reads one whole raw frame. 0 a frame, 1 the end, -1 an error. An input
// that ends inside a frame is an end, with src->warning saying where.
int read_raw_frame(frame_source* src, std::span<uint8_t> frame, std::string* error) {
    const ssize_t got = read_full(src->fd, frame.data(), frame.size());
    if (got < 0) {
        *error = "reading the input: " + errno_text();
        return -1;
    }
    if (static_cast<size_t>(got) == frame.size()) {
        ++src->frames_read;
        return 0;
    }
    if (got > 0) {
        // Numbered from 1, as the player's status bar numbers frames.
        src->warning = "the input ends inside frame " + std::to_string(src->frames_read + 1) +
                       " (" + std::to_string(got) + " of " + std::to_string(frame.size()) +
                       " bytes); the whole frames before it (" +
                       std::to_string(src->frames_read) + ") are kept. Is -s right?";
    }
    return 1;
}

// The next raw frame for the file: each frame read is given out `repeat`
// times, or only every keep_every-th frame read is. 0 a frame, 1 the end,
// -1 an error.
int next_raw_frame(frame_source* src, std::span<uint8_t> frame, std::string* error) {
    if (src->repeats_left == 0) {
        const int r = read_raw_frame(src, frame, error);
        if (r != 0) return r;
        src->last.assign(frame.begin(), frame.end());
        src->repeats_left = src->fit.repeat;
        for (uint32_t skip = 1; skip < src->fit.keep_every; ++skip) {
            const int s = read_raw_frame(src, frame, error);  // an end here ends the next call
            if (s < 0) return -1;
            if (s == 1) break;
        }
    }
    std::copy(src->last.begin(), src->last.end(), frame.begin());
    --src->repeats_left;
    return 0;
}

int next_frame(frame_source* src, std::span<uint8_t> frame, std::string* error) {
    return src->video ? video_source_next(src->video, frame, error)
                      : next_raw_frame(src, frame, error);
}

// ---- The writer ----------------------------------------------------------------

// Encodes every frame of src into out. The payloads wait in an unnamed
// scratch file beside the output until the header and index are known.
int encode_stream(const encode_request& q, frame_source* src, uint64_t expected_frames,
                  const std::string& note, output_file* out, std::string* error) {
    const int scratch = open_scratch(out->path);
    if (scratch < 0) {
        *error = "cannot create a scratch file: " + errno_text();
        return STATUS_FAILED;
    }
    struct closer {
        int fd;
        ~closer() { close(fd); }
    } scratch_closer{scratch};

    komu_writer writer;
    if (!komu_writer_begin(&writer, q.file, scratch, error)) return STATUS_FAILED;
    encode_progress progress;
    progress_begin(&progress, q.quiet, expected_frames);
    std::vector<uint8_t> frame(writer.frame_bytes);
    int got = 0;
    while ((got = next_frame(src, frame, error)) == 0) {
        if (!komu_writer_add(&writer, frame, q.file.kind, error)) break;
        progress_update(&progress, writer);
    }
    progress_clear(&progress);
    if (!src->warning.empty()) print_error("warning: " + src->warning);
    if (got != 1) return STATUS_FAILED;  // a read, decode or writer failure
    if (writer.frames == 0) {
        *error = src->warning.empty() ? "the input has no frames" : "no whole frame to write";
        return STATUS_FAILED;
    }
    const std::string out_name = out->path.empty() ? "standard output" : out->path;
    if (!komu_writer_finish(&writer, out->fd, error)) {
        *error = out_name + ": " + *error;
        return STATUS_FAILED;
    }
    if (!commit_output(out, error)) return STATUS_FAILED;
    progress_summary(&progress, writer, out_name, note);
    return STATUS_OK;
}

int cmd_encode(const parsed_args& args) {
    encode_request q;
    std::string error;
    if (!request_from(args, &q, &error)) {
        print_error("encode: " + error);
        return STATUS_USAGE;
    }
    if (q.out_path == "-" && isatty(STDOUT_FILENO)) {
        print_error("encode: give -o OUT; standard output is a terminal");
        return STATUS_USAGE;
    }
    if (q.in_path == "-" && isatty(STDIN_FILENO)) {
        print_error("encode: give IN; standard input is a terminal");
        return STATUS_USAGE;
    }
    frame_source src;
    uint64_t expected_frames = 0;
    std::string note;
    if (!open_source(&q, &src, &expected_frames, &note, &error)) {
        print_error("encode: " + error);
        return STATUS_FAILED;
    }
    output_file out;
    if (!open_output(q.out_path, &out, &error) ||
        encode_stream(q, &src, expected_frames, note, &out, &error) != STATUS_OK) {
        print_error("encode: " + error);
        return STATUS_FAILED;
    }
    return STATUS_OK;
}

}  // namespace

const command ENCODE_COMMAND = {"encode", ENCODE_OPTIONS, cmd_encode};
