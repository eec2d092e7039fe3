// The built cinepane's command line, with no display, so that every run ends
// before or at the window. (Its lines for broken files: test_hostile.cpp.)
#include <gtest/gtest.h>

#include <fstream>

#include "komu_test_files.h"

namespace {

using namespace testfile;

// The usage line for no argument or an empty first one; help and version,
// unless a file of that name exists: it is then played (here refused as the
// bad video it is); a path of 255 characters tried (it gets as far as the
// window), one of 256 refused without touching the file.
TEST(StartUp, UsageHelpVersionAndThePathLimit) {
    const temp_file video(indexed(header(16, 8, KOMU_MODE_INDEXED, 1), {{0, picture(16, 8, 1)}}));
    std::string p255 = video.path();
    p255.insert(0, 255 - p255.size(), '/');
    char dir[] = "/tmp/cinepane_opt_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ofstream(std::string(dir) + "/--help") << "not a video";
    const std::string usage = "Usage: cinepane <input.komu>\n", open = "cinepane: failed to open video\n";
    const struct { std::string cwd, args; int status; std::string out; } rows[] = {
        {"/", "", 1, usage}, {"/", "''", 1, usage}, {"/", "'' also.komu", 1, usage},
        {"/", "--version", 0, "cinepane " KOMU_VERSION "\n"}, {"/", "--help", 0, usage},
        {"/", "-h", 0, usage}, {dir, "--help", 1, open}, {"/", "/" + p255, 1, open},
        {"/", p255, 1, "cinepane: gui_create failed\n"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.cwd + " " + r.args);
        const run_result got = run("cd " + r.cwd + " && exec env -u DISPLAY -u WAYLAND_DISPLAY "
                                   "-u SDL_VIDEODRIVER " CINEPANE_BIN " " + r.args);
        const bool help = r.status == 0 && r.out == usage;  // the keys follow
        EXPECT_EQ(got.status, r.status);
        EXPECT_EQ(help ? got.out.substr(0, usage.size()) : got.out, r.out);
        EXPECT_EQ(got.out.find("\n  Esc, q ") != std::string::npos, help);
    }
    std::remove((std::string(dir) + "/--help").c_str());
    rmdir(dir);
}

}  // namespace
