// komu: the companion tool for KOMU videos. One executable with
// subcommands (commands.h), each in a file of its own. Status 0 on success,
// 1 when a file or the input is bad, 2 for bad arguments; errors are one
// line on standard error, "komu: ...".
#include <cstdio>
#include <string>
#include <string_view>

#include "commands.h"

namespace {

constexpr const char* USAGE = R"(Usage: komu COMMAND [ARGS]
Inspects, decodes and writes KOMU videos (RGB565 frames).

  komu info FILE
      Says what FILE holds: size, frames, rate and duration, looping or not,
      mode, payload kinds with their counts and sizes, key frames, data rate
      and whether every frame decodes; then the header fields under their
      names in komu.h and the layout figures. Every frame is decoded once,
      as the player would: status 1, with the reason on standard error,
      when the player would refuse FILE or stop before its end.

  komu decode [--start N] FILE [COUNT]
      Decodes COUNT frames (default: to the last frame) in playback order,
      from frame N (default 0; counted from 0), and writes them to standard
      output (not a terminal) as raw RGB565 little-endian, width*height*2
      bytes each: the same bytes as decoding from frame 0 and dropping N
      frames. A looping file wraps to frame 0; otherwise decoding stops
      after the last frame. A frame that fails: status 1, the frames before
      it written. FILE may be a pipe (e.g. /dev/stdin); a looping file from
      a pipe ends after its last frame, status 1.

  komu encode IN [-o OUT] [--fit WxH] [--upscale] [--dither D] [OPTIONS]
  komu encode -s WxH [OPTIONS] [-o OUT] [IN]
      Writes a KOMU file from any video FFmpeg's libraries read (the first
      form; IN "-" is standard input), or from raw RGB565 little-endian
      frames of WxH (-s; IN default or "-": standard input). A video is
      scaled to fit 640x480 with its display aspect kept and never enlarged,
      written at its own rate as an exact fraction (a variable rate at its
      average), its sound left out. Rates outside the 5..1000 frames a second
      the player keeps are brought inside by showing each frame a whole
      number of times, or only every n-th, so the timing stays.
        --fit WxH       fit within WxH instead (at most 640x480)
        --upscale       enlarge a smaller picture to fill the fit
        --dither D      ordered (default): a fixed 8x8 pattern, stable from
                        frame to frame; diffusion: error diffusion, finer but
                        larger files; none: the nearest RGB565 colour
        -s WxH          raw input of this frame size, 1x1 to 640x480
        -r NUM[/DEN]    frame rate, e.g. 25 or 30000/1001 (raw default 30/1)
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
        -q              no progress line (shown when standard error is a
                        terminal) and no summary
      A raw input that ends inside a frame keeps the whole frames before it,
      with a warning.

  komu demo [-o OUT]
      Writes the built-in demo video (640x480, 30 fps, 300 frames, looping)
      to OUT (default demo.komu).

  komu thumbnail [-s SIZE] FILE OUT.png
      Writes the first frame as a PNG picture scaled to fit SIZE x SIZE
      pixels (default 256; never enlarged), for file managers' previews.

  komu --help       this text
  komu --version    the version

Status: 0 success, 1 bad file or input, 2 bad arguments.
)";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(USAGE, stderr);
        return STATUS_USAGE;
    }
    const std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(USAGE, stdout);
        return STATUS_OK;
    }
    if (name == "--version") {
        std::printf("komu %s\n", KOMU_VERSION);
        return STATUS_OK;
    }

    const command* const commands[] = {&INFO_COMMAND, &DECODE_COMMAND, &ENCODE_COMMAND,
                                       &DEMO_COMMAND, &THUMBNAIL_COMMAND};
    for (const command* c : commands) {
        if (name != c->name) continue;
        parsed_args args;
        std::string error;
        if (!parse_args(argc, argv, 2, c->options, &args, &error)) {
            print_error(std::string(c->name) + ": " + error + " (see komu --help)");
            return STATUS_USAGE;
        }
        if (args.help) {
            std::fputs(USAGE, stdout);
            return STATUS_OK;
        }
        return c->run(args);
    }
    print_error("unknown command '" + std::string(name) + "' (see komu --help)");
    return STATUS_USAGE;
}
