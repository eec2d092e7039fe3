// The built cinepane as a process: its start-up lines and statuses, with no
// display, so that every run ends before or at the window.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "komu_test_files.h"
#include "run_process.h"

namespace {

using testfile::bytes;
using testfile::temp_file;

const std::vector<std::string> NO_DISPLAY = {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"};

testproc::result cinepane(std::vector<std::string> args) {
    args.insert(args.begin(), CINEPANE_BIN);
    return testproc::run(args, NO_DISPLAY);
}

bytes valid_video() {
    return testfile::indexed(testfile::header(16, 8, KOMU_MODE_INDEXED, 2),
                             {{0, testfile::picture(16, 8, 1)}, {0, testfile::picture(16, 8, 2)}});
}

TEST(StartUp, UsageForAMissingOrEmptyArgument) {
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{""},
                             std::vector<std::string>{"", "also.komu"}}) {
        const auto r = cinepane(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Usage: cinepane <input.komu>\n");
    }
}

TEST(StartUp, PathLimitIs255Characters) {
    // 255 characters naming a real file: tried, and it gets as far as the window.
    temp_file f(valid_video());
    std::string p255 = f.path();
    p255.insert(0, 255 - p255.size(), '/');
    ASSERT_EQ(p255.size(), 255u);
    auto r = cinepane({p255});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "cinepane: gui_create failed\n");
    // 256: refused without touching the file.
    const auto r256 = cinepane({"/" + p255});
    EXPECT_EQ(r256.status, 1);
    EXPECT_EQ(r256.out, "cinepane: failed to open video\n");
}

// One line on standard output for each failure, as documented, and the file
// and the reason on standard error.
TEST(StartUp, OneLineForEachFailureAndTheReasonOnStandardError) {
    bytes bad_header = valid_video();
    bad_header[4] = 0xBC;  // width 700
    bad_header[5] = 0x02;
    temp_file bh(bad_header);
    const bytes p = testfile::picture(16, 8, 1);
    temp_file undecodable(testfile::indexed(testfile::header(16, 8, KOMU_MODE_INDEXED, 1),
                                            {{0, bytes(p.begin(), p.end() - 1)}}));
    temp_file good(valid_video());  // further arguments are ignored, and there is no display
    const std::string open = "cinepane: failed to open video\n";
    const std::vector<std::vector<std::string>> cases = {
        {"/nonexistent/video.komu", open, "does not exist"},
        {"/tmp", open, "is a directory"},
        {bh.path(), open, "width 700 is over 640"},
        {undecodable.path(), "cinepane: failed to decode first frame\n",
         "frame 1 cannot be decoded: its payload is 255 bytes, a raw frame needs 256"},
        {good.path(), "cinepane: gui_create failed\n", ""},
    };
    for (const auto& c : cases) {
        const auto r = cinepane({c[0], "ignored"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c[1]);
        EXPECT_EQ(r.err, c[2].empty() ? "" : "cinepane: " + c[0] + ": " + c[2] + "\n");
    }
}

// --help, -h and --version answer with status 0, unless a file of that name
// exists: then it is played (or, here, refused as the bad video it is).
TEST(StartUp, HelpAndVersionOnlyWhereNoSuchFileExists) {
    EXPECT_EQ(cinepane({"--version"}).out, "cinepane " KOMU_VERSION "\n");
    for (const char* option : {"--help", "-h"}) {
        const auto r = cinepane({option});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.starts_with("Usage: cinepane <input.komu>\n")) << r.out;
        EXPECT_NE(r.out.find("Esc"), std::string::npos);
    }
    char dir[] = "/tmp/cinepane_opt_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/--help";
    { std::ofstream(file) << "not a video"; }
    const auto r = testproc::run({"/bin/sh", "-c", std::string("cd ") + dir + " && " CINEPANE_BIN " --help"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "cinepane: failed to open video\n");
    std::remove(file.c_str());
    rmdir(dir);
}

}  // namespace
