// Replays inputs through a fuzz target without libFuzzer, so that a crash
// file found by fuzzing is reproducible in the normal and sanitizer builds.
//
// Usage: <target>_replay PATH...  Each PATH is a file, or a folder whose
// regular files are replayed in name order. Status 0 when every input ran
// (a fault aborts the program), 2 when a path cannot be read or holds nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    // An exact-size heap copy, as libFuzzer passes it: a read one byte past
    // the end is then caught by AddressSanitizer.
    auto* data = new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)];
    std::copy(bytes.begin(), bytes.end(), data);
    LLVMFuzzerTestOneInput(data, bytes.size());
    delete[] data;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    size_t replayed = 0;
    for (int a = 1; a < argc; ++a) {
        std::error_code ec;
        std::vector<fs::path> files;
        if (fs::is_directory(argv[a], ec)) {
            for (const auto& entry : fs::directory_iterator(argv[a], ec)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        } else {
            files.emplace_back(argv[a]);
        }
        if (ec) {
            std::fprintf(stderr, "replay: %s: %s\n", argv[a], ec.message().c_str());
            return 2;
        }
        for (const fs::path& f : files) {
            if (!replay_file(f)) {
                std::fprintf(stderr, "replay: cannot read %s\n", f.c_str());
                return 2;
            }
            ++replayed;
        }
    }
    std::printf("replay: %zu inputs ran\n", replayed);
    return replayed > 0 ? 0 : 2;  // nothing replayed is a broken path, not a pass
}
