// komu: the companion tool for KOMU videos. One executable with four
// subcommands: info, decode, encode and demo. Status 0 on success, 1 when a
// file or the input is bad, 2 for bad arguments; errors are one line on
// standard error, "komu: ...".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "demo.h"
#include "komu.h"
#include "komu_write.h"

namespace {

constexpr int STATUS_OK = 0;
constexpr int STATUS_FAILED = 1;
constexpr int STATUS_USAGE = 2;

constexpr const char* USAGE = R"(Usage: komu COMMAND [ARGS]
Inspects, decodes and writes KOMU videos (RGB565 frames).

  komu info FILE
      Prints the header fields, the frame interval the player will use and,
      for indexed files (modes 2, 3), how many frames of each payload kind
      there are, the payload and gap bytes and the first index entry that
      breaks the payload order. Status 1 if the player would refuse FILE.

  komu decode FILE [COUNT]
      Decodes COUNT frames (default: frame_count) in playback order and writes
      them to standard output as raw RGB565 little-endian, width*height*2
      bytes each. A looping file wraps to frame 0; otherwise decoding stops
      after the last frame. A frame that fails: status 1, the frames before
      it written.

  komu encode -s WxH [-r NUM[/DEN]] [--loop] [--mode 1|2|3]
              [--kind auto|raw|rle|delta|delta-rle] [-g N] [-o OUT] [IN]
      Reads raw RGB565 little-endian frames from IN (default, or "-":
      standard input), e.g. from ffmpeg ... -pix_fmt rgb565le -f rawvideo -,
      and writes a KOMU file.
        -s WxH          frame size, 1x1 to 640x480 (required)
        -r NUM[/DEN]    frame rate (default 30/1)
        --loop          set the loop flag
        --mode M        1: raw frames, no index; 2 (default), 3: indexed
        --kind K        auto (default): the smallest payload of each frame;
                        raw, rle: key frames; delta, delta-rle: XOR masks
                        against the previous frame (mode 1: raw only)
        -g N            a key frame at least every N frames
        -o OUT          the output file; it is written as OUT.tmpXXXXXX and
                        renamed when complete, so a failure leaves no OUT.
                        Without -o (or with -o -) the file goes to standard
                        output, which must then not be a terminal.

  komu demo [-o OUT]
      Writes the built-in demo video (640x480, 30 fps, 300 frames, looping)
      to OUT (default demo.komu).

  komu --help       this text
  komu --version    the version

Status: 0 success, 1 bad file or input, 2 bad arguments.
)";

// ---- Messages ----------------------------------------------------------------

void print_error(const std::string& message) {
    std::fprintf(stderr, "komu: %s\n", message.c_str());
}

std::string errno_text() { return std::strerror(errno); }

// ---- A small argument parser -------------------------------------------------

struct option_spec {
    const char* short_name;  // "-o", or null
    const char* long_name;   // "--out"; also the key of the parsed value
    bool takes_value;
};

struct parsed_args {
    std::map<std::string, std::string> values;  // by long name; "" for flags
    std::vector<std::string> positional;
    bool help = false;
};

// Parses argv[first..argc). Options take their value from the next argument
// or, for long names, after '='; "--" ends the options; "-" is positional.
bool parse_args(int argc, char** argv, int first, std::span<const option_spec> specs,
                parsed_args* out, std::string* error) {
    bool options_done = false;
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            out->positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out->help = true;
            continue;
        }
        const size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, eq);
        const option_spec* opt = nullptr;
        for (const option_spec& s : specs) {
            if ((s.short_name && name == s.short_name) || name == s.long_name) opt = &s;
        }
        if (opt == nullptr) {
            *error = "unknown option " + std::string(name);
            return false;
        }
        std::string value;
        if (opt->takes_value) {
            if (eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                *error = "option " + std::string(name) + " needs a value";
                return false;
            }
        } else if (eq != std::string_view::npos) {
            *error = "option " + std::string(name) + " takes no value";
            return false;
        }
        out->values[opt->long_name] = value;
    }
    return true;
}

// A whole decimal number in 0..max.
bool parse_uint(std::string_view text, uint64_t max, uint64_t* value) {
    uint64_t v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc{} || ptr != end || v > max) return false;
    *value = v;
    return true;
}

// "A" + separator + "B", both whole numbers in 0..max.
bool parse_pair(std::string_view text, char separator, uint64_t max, uint64_t* a, uint64_t* b) {
    const size_t at = text.find(separator);
    if (at == std::string_view::npos) return false;
    return parse_uint(text.substr(0, at), max, a) && parse_uint(text.substr(at + 1), max, b);
}

// ---- Files ---------------------------------------------------------------

bool write_all(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// Reads up to n bytes, fewer only at the end of the input. -1 on an error.
ssize_t read_full(int fd, uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// Where a written file goes: standard output, or a temporary file beside the
// final path that commit() renames into place. Until then the destructor
// removes the temporary, so no failure leaves a partial or stray file.
struct output_file {
    std::string path;       // final path; empty for standard output
    std::string temp_path;  // the temporary while one exists
    int fd = -1;
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file() {
        if (!temp_path.empty()) {
            close(fd);
            unlink(temp_path.c_str());
        }
    }
};

// A descriptor for an unnamed scratch file: beside `near` when given (it is
// unlinked at once, so it never shows up), else in the system's temp folder.
int open_scratch(const std::string& near) {
    if (near.empty()) {
        std::FILE* f = std::tmpfile();
        if (f == nullptr) return -1;
        const int fd = dup(fileno(f));
        std::fclose(f);
        return fd;
    }
    std::string name = near + ".tmpXXXXXX";
    const int fd = mkstemp(name.data());
    if (fd >= 0) unlink(name.c_str());
    return fd;
}

bool open_output(const std::string& path, output_file* out, std::string* error) {
    if (path.empty() || path == "-") {
        out->fd = STDOUT_FILENO;
        return true;
    }
    std::string temp = path + ".tmpXXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = path + ": cannot create a file beside it: " + errno_text();
        return false;
    }
    // mkstemp makes the file 0600; give it the mode a plain create would.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    out->path = path;
    out->temp_path = temp;
    out->fd = fd;
    return true;
}

bool commit_output(output_file* out, std::string* error) {
    if (out->temp_path.empty()) return true;
    const int fd = out->fd;
    out->fd = -1;
    if (close(fd) != 0 || rename(out->temp_path.c_str(), out->path.c_str()) != 0) {
        *error = out->path + ": " + errno_text();
        unlink(out->temp_path.c_str());
        out->temp_path.clear();
        return false;
    }
    out->temp_path.clear();
    return true;
}

// ---- komu info -------------------------------------------------------------

void print_field(const char* name, const std::string& value) {
    std::printf("%-18s %s\n", name, value.c_str());
}

void print_field(const char* name, uint64_t value) { print_field(name, std::to_string(value)); }

std::string hex(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

// Payload kinds, counts, payload and gap bytes and the first entry that
// breaks the order, from the index of an opened indexed stream.
void print_index_summary(const komu_stream& s) {
    const uint32_t count = s.header.frame_count;
    uint64_t kinds[4] = {};
    uint64_t payload_bytes = 0;
    uint64_t gap_bytes = 0;
    uint64_t previous_end = 0;  // from the data area's start
    uint64_t furthest_end = 0;
    std::string order_break = "none";
    std::string past_end = "none";
    const uint64_t data_bytes = s.file_size - s.data_offset;
    for (uint32_t i = 0; i < count; ++i) {
        const komu_frame_entry& e = s.index[i];
        const uint64_t end = uint64_t{e.offset} + e.size;
        kinds[komu_payload_kind(e.flags)] += 1;
        payload_bytes += e.size;
        if (e.offset >= previous_end) {
            gap_bytes += e.offset - previous_end;
        } else if (order_break == "none") {
            order_break = "entry " + std::to_string(i) + ": offset " + std::to_string(e.offset) +
                          " is before the previous payload's end " + std::to_string(previous_end);
        }
        if (end > data_bytes && past_end == "none") {
            past_end = "entry " + std::to_string(i) + ": ends at " + std::to_string(end) +
                       ", the data area holds " + std::to_string(data_bytes);
        }
        previous_end = end;
        if (end > furthest_end) furthest_end = end;
    }
    print_field("raw_key", kinds[0]);
    print_field("rle_key", kinds[1]);
    print_field("raw_delta", kinds[2]);
    print_field("rle_delta", kinds[3]);
    print_field("payload_bytes", payload_bytes);
    print_field("gap_bytes", gap_bytes);
    print_field("trailing_bytes", data_bytes > furthest_end ? data_bytes - furthest_end : 0);
    print_field("order_break", order_break);
    print_field("past_end", past_end);
}

int cmd_info(const parsed_args& args) {
    if (args.positional.size() != 1) {
        print_error("info: expected one FILE (see komu --help)");
        return STATUS_USAGE;
    }
    const std::string& path = args.positional[0];
    komu_stream s;
    if (komu_open_stream(&s, path.c_str()) != 0) {
        print_error(path + ": not a KOMU file the player can open");
        return STATUS_FAILED;
    }
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
    print_field("file_size", s.file_size);
    if (h.mode != KOMU_MODE_SEQUENTIAL) print_index_summary(s);
    komu_close(&s);
    return STATUS_OK;
}

// ---- komu decode -------------------------------------------------------------

int cmd_decode(const parsed_args& args) {
    if (args.positional.empty() || args.positional.size() > 2) {
        print_error("decode: expected FILE [COUNT] (see komu --help)");
        return STATUS_USAGE;
    }
    const std::string& path = args.positional[0];
    uint64_t count = 0;
    const bool count_given = args.positional.size() == 2;
    if (count_given && !parse_uint(args.positional[1], 0xFFFFFFFFu, &count)) {
        print_error("decode: COUNT must be a whole number, not '" + args.positional[1] + "'");
        return STATUS_USAGE;
    }

    komu_stream s;
    if (komu_open_stream(&s, path.c_str()) != 0) {
        print_error(path + ": not a KOMU file the player can open");
        return STATUS_FAILED;
    }
    if (!count_given) count = s.header.frame_count;

    int status = STATUS_OK;
    for (uint64_t position = 0; position < count; ++position) {
        const uint32_t frame = s.next_index < s.header.frame_count ? s.next_index : 0;
        const int r = komu_decode_next(&s);
        if (r == 1) break;  // the end of a file without the loop flag
        if (r != 0) {
            print_error(path + ": frame at position " + std::to_string(position) +
                        " (index entry " + std::to_string(frame) + ") failed to decode");
            status = STATUS_FAILED;
            break;
        }
        if (!write_all(STDOUT_FILENO, s.cur_frame, s.frame_bytes)) {
            print_error("standard output: " + errno_text());
            status = STATUS_FAILED;
            break;
        }
    }
    komu_close(&s);
    return status;
}

// ---- komu encode -------------------------------------------------------------

constexpr option_spec ENCODE_OPTIONS[] = {
    {"-s", "--size", true},    {"-r", "--rate", true},    {nullptr, "--loop", false},
    {nullptr, "--mode", true}, {nullptr, "--kind", true}, {"-g", "--key-interval", true},
    {"-o", "--out", true},
};

// Turns the encode arguments into options; false (with *error) when bad.
bool encode_options_from(const parsed_args& args, komu_encode_options* o, std::string* error) {
    const auto& v = args.values;
    uint64_t a = 0, b = 0;
    if (!v.contains("--size")) {
        *error = "-s WxH is required";
        return false;
    }
    if (!parse_pair(v.at("--size"), 'x', 0xFFFF, &a, &b)) {
        *error = "-s wants WxH, e.g. 320x240, not '" + v.at("--size") + "'";
        return false;
    }
    o->width = static_cast<uint16_t>(a);
    o->height = static_cast<uint16_t>(b);
    if (v.contains("--rate")) {
        const std::string& r = v.at("--rate");
        b = 1;  // NUM alone means NUM/1
        const bool ok = r.find('/') == std::string::npos ? parse_uint(r, 0xFFFFFFFFu, &a)
                                                         : parse_pair(r, '/', 0xFFFFFFFFu, &a, &b);
        if (!ok) {
            *error = "-r wants NUM or NUM/DEN, not '" + r + "'";
            return false;
        }
        o->fps_num = static_cast<uint32_t>(a);
        o->fps_den = static_cast<uint32_t>(b);
    }
    o->loop = v.contains("--loop");
    if (v.contains("--mode")) {
        if (!parse_uint(v.at("--mode"), 0xFFFF, &a)) {
            *error = "--mode wants 1, 2 or 3";
            return false;
        }
        o->mode = static_cast<uint16_t>(a);
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
        o->kind = it->second;
    }
    if (v.contains("--key-interval")) {
        if (!parse_uint(v.at("--key-interval"), 0xFFFFFFFFu, &a)) {
            *error = "-g wants a whole number of frames";
            return false;
        }
        o->key_interval = static_cast<uint32_t>(a);
    }
    return komu_check_options(*o, error);
}

// Copies everything of fd from its start to out_fd.
bool copy_file(int fd, int out_fd) {
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    std::vector<uint8_t> buf(1 << 20);
    for (;;) {
        const ssize_t got = read_full(fd, buf.data(), buf.size());
        if (got < 0) return false;
        if (got == 0) return true;
        if (!write_all(out_fd, buf.data(), static_cast<size_t>(got))) return false;
    }
}

// Encodes frames from in_fd into out. The header and index come before the
// data but are known only at the end, so the payloads go first to an
// unnamed scratch file, then follow the header and index into out. Returns
// the status; *error is set on failure.
int encode_stream(const komu_encode_options& o, int in_fd, output_file* out, std::string* error) {
    const uint32_t frame_bytes = uint32_t{o.width} * o.height * 2;
    const int scratch = open_scratch(out->path);
    if (scratch < 0) {
        *error = "cannot create a scratch file: " + errno_text();
        return STATUS_FAILED;
    }
    struct closer {
        int fd;
        ~closer() { close(fd); }
    } scratch_closer{scratch};

    komu_frame_encoder encoder;
    komu_encoder_init(&encoder, o);
    std::vector<uint8_t> frame(frame_bytes);
    std::vector<uint8_t> payload;
    std::vector<komu_frame_entry> index;
    uint64_t count = 0;
    uint64_t data_bytes = 0;
    for (;;) {
        const ssize_t got = read_full(in_fd, frame.data(), frame_bytes);
        if (got < 0) {
            *error = "reading the input: " + errno_text();
            return STATUS_FAILED;
        }
        if (got == 0) break;
        if (static_cast<size_t>(got) < frame_bytes) {
            *error = "the input ends inside frame " + std::to_string(count) + " (" +
                     std::to_string(got) + " of " + std::to_string(frame_bytes) +
                     " bytes); is -s right?";
            return STATUS_FAILED;
        }
        const uint32_t flags = komu_encode_frame(&encoder, frame, o.kind, &payload);
        if (!komu_check_size(o, count + 1, data_bytes + payload.size(), error)) {
            return STATUS_FAILED;
        }
        if (o.mode != KOMU_MODE_SEQUENTIAL) {
            index.push_back(
                {static_cast<uint32_t>(data_bytes), static_cast<uint32_t>(payload.size()), flags});
        }
        if (!write_all(scratch, payload.data(), payload.size())) {
            *error = "writing the scratch file: " + errno_text();
            return STATUS_FAILED;
        }
        data_bytes += payload.size();
        count += 1;
    }
    if (count == 0) {
        *error = "the input is empty";
        return STATUS_FAILED;
    }

    std::vector<uint8_t> prefix;
    komu_append_prefix(komu_make_header(o, static_cast<uint32_t>(count)), index, &prefix);
    if (!write_all(out->fd, prefix.data(), prefix.size()) || !copy_file(scratch, out->fd)) {
        *error = (out->path.empty() ? "standard output" : out->path) + ": " + errno_text();
        return STATUS_FAILED;
    }
    return commit_output(out, error) ? STATUS_OK : STATUS_FAILED;
}

int cmd_encode(const parsed_args& args) {
    komu_encode_options o;
    std::string error;
    if (!encode_options_from(args, &o, &error)) {
        print_error("encode: " + error);
        return STATUS_USAGE;
    }
    if (args.positional.size() > 1) {
        print_error("encode: more than one input given");
        return STATUS_USAGE;
    }
    const std::string out_path = args.values.contains("--out") ? args.values.at("--out") : "";
    if ((out_path.empty() || out_path == "-") && isatty(STDOUT_FILENO)) {
        print_error("encode: give -o OUT; standard output is a terminal");
        return STATUS_USAGE;
    }

    int in_fd = STDIN_FILENO;
    const std::string in_path = args.positional.empty() ? "-" : args.positional[0];
    if (in_path == "-" && isatty(STDIN_FILENO)) {
        print_error("encode: give IN; standard input is a terminal");
        return STATUS_USAGE;
    }
    if (in_path != "-") {
        in_fd = open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in_fd < 0) {
            print_error(in_path + ": " + errno_text());
            return STATUS_FAILED;
        }
    }
    int status = STATUS_FAILED;
    {
        output_file out;
        if (open_output(out_path, &out, &error)) status = encode_stream(o, in_fd, &out, &error);
    }
    if (in_fd != STDIN_FILENO) close(in_fd);
    if (status != STATUS_OK) print_error("encode: " + error);
    return status;
}

// ---- komu demo -------------------------------------------------------------

int cmd_demo(const parsed_args& args) {
    if (!args.positional.empty()) {
        print_error("demo: unexpected argument '" + args.positional[0] + "'");
        return STATUS_USAGE;
    }
    const std::string out_path =
        args.values.contains("--out") ? args.values.at("--out") : "demo.komu";
    if (out_path == "-" && isatty(STDOUT_FILENO)) {
        print_error("demo: standard output is a terminal");
        return STATUS_USAGE;
    }
    const std::vector<uint8_t> file = komu_demo_file();
    std::string error;
    output_file out;
    if (!open_output(out_path, &out, &error)) {
        print_error("demo: " + error);
        return STATUS_FAILED;
    }
    if (!write_all(out.fd, file.data(), file.size())) {
        print_error("demo: " + out_path + ": " + errno_text());
        return STATUS_FAILED;
    }
    if (!commit_output(&out, &error)) {
        print_error("demo: " + error);
        return STATUS_FAILED;
    }
    return STATUS_OK;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(USAGE, stderr);
        return STATUS_USAGE;
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(USAGE, stdout);
        return STATUS_OK;
    }
    if (command == "--version") {
        std::printf("komu %s\n", KOMU_VERSION);
        return STATUS_OK;
    }

    struct subcommand {
        const char* name;
        std::span<const option_spec> options;
        int (*run)(const parsed_args&);
    };
    static constexpr option_spec DEMO_OPTIONS[] = {{"-o", "--out", true}};
    const subcommand commands[] = {
        {"info", {}, cmd_info},
        {"decode", {}, cmd_decode},
        {"encode", ENCODE_OPTIONS, cmd_encode},
        {"demo", DEMO_OPTIONS, cmd_demo},
    };
    for (const subcommand& c : commands) {
        if (command != c.name) continue;
        parsed_args args;
        std::string error;
        if (!parse_args(argc, argv, 2, c.options, &args, &error)) {
            print_error(std::string(c.name) + ": " + error + " (see komu --help)");
            return STATUS_USAGE;
        }
        if (args.help) {
            std::fputs(USAGE, stdout);
            return STATUS_OK;
        }
        return c.run(args);
    }
    print_error("unknown command '" + std::string(command) + "' (see komu --help)");
    return STATUS_USAGE;
}
