// komu encode: raw RGB565 frames to a KOMU file.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "komu_write.h"
#include "output.h"

namespace {

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

// Encodes frames from in_fd into out. The payloads wait in an unnamed
// scratch file beside the output until the header and index are known.
// Returns the status; *error is set on failure.
int encode_stream(const komu_encode_options& o, int in_fd, output_file* out, std::string* error) {
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
    if (!komu_writer_begin(&writer, o, scratch, error)) return STATUS_FAILED;
    std::vector<uint8_t> frame(writer.frame_bytes);
    for (;;) {
        const ssize_t got = read_full(in_fd, frame.data(), frame.size());
        if (got < 0) {
            *error = "reading the input: " + errno_text();
            return STATUS_FAILED;
        }
        if (got == 0) break;
        if (static_cast<size_t>(got) < frame.size()) {
            *error = "the input ends inside frame " + std::to_string(writer.frames) + " (" +
                     std::to_string(got) + " of " + std::to_string(frame.size()) +
                     " bytes); is -s right?";
            return STATUS_FAILED;
        }
        if (!komu_writer_add(&writer, frame, o.kind, error)) return STATUS_FAILED;
    }
    if (writer.frames == 0) {
        *error = "the input is empty";
        return STATUS_FAILED;
    }
    if (!komu_writer_finish(&writer, out->fd, error)) {
        *error = (out->path.empty() ? "standard output" : out->path) + ": " + *error;
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
    const std::string out_path = args.value_or("--out", "");
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

}  // namespace

const command ENCODE_COMMAND = {"encode", ENCODE_OPTIONS, cmd_encode};
