// komu demo: writes the built-in demo video.
#include <unistd.h>

#include <string>

#include "commands.h"
#include "demo.h"
#include "komu_write.h"
#include "output.h"

namespace {

constexpr option_spec DEMO_OPTIONS[] = {{"-o", "--out", true}};

int cmd_demo(const parsed_args& args) {
    if (!args.positional.empty()) {
        print_error("demo: unexpected argument '" + args.positional[0] + "'");
        return STATUS_USAGE;
    }
    const std::string out_path = args.value_or("--out", "demo.komu");
    if (out_path == "-" && isatty(STDOUT_FILENO)) {
        print_error("demo: standard output is a terminal");
        return STATUS_USAGE;
    }
    komu_writer writer;
    komu_demo_video(&writer);
    std::string error;
    output_file out;
    if (!open_output(out_path, &out, &error)) {
        print_error("demo: " + error);
        return STATUS_FAILED;
    }
    if (!komu_writer_finish(&writer, out.fd, &error)) {
        print_error("demo: " + out_path + ": " + error);
        return STATUS_FAILED;
    }
    if (!commit_output(&out, &error)) {
        print_error("demo: " + error);
        return STATUS_FAILED;
    }
    return STATUS_OK;
}

}  // namespace

const command DEMO_COMMAND = {"demo", DEMO_OPTIONS, cmd_demo};
