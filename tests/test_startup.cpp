// The built cinepane as a process: its start-up lines and statuses, with no
// display, so that every run ends before or at the window.
#include <gtest/gtest.h>

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

TEST(StartUp, OneLineForEachFailure) {
    const auto missing = cinepane({"/nonexistent/video.komu"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "cinepane: failed to open video\n");

    bytes bad_header = valid_video();
    bad_header[4] = 0;  // width 0
    bad_header[5] = 0;
    temp_file bh(bad_header);
    const auto header = cinepane({bh.path()});
    EXPECT_EQ(header.status, 1);
    EXPECT_EQ(header.out, "cinepane: failed to open video\n");

    const bytes p = testfile::picture(16, 8, 1);
    temp_file undecodable(testfile::indexed(testfile::header(16, 8, KOMU_MODE_INDEXED, 1),
                                            {{0, bytes(p.begin(), p.end() - 1)}}));
    const auto first = cinepane({undecodable.path()});
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.out, "cinepane: failed to decode first frame\n");

    // A valid file, further arguments ignored, and no display to open.
    temp_file good(valid_video());
    const auto window = cinepane({good.path(), "ignored"});
    EXPECT_EQ(window.status, 1);
    EXPECT_EQ(window.out, "cinepane: gui_create failed\n");
}

}  // namespace
