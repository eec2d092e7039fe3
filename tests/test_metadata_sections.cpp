// Checks the two metadata records in a built cinepane executable, the host's
// or the target system's 32-bit one (CINEPANE_EXE), as the target system's
// tools find them: by section name in the ELF section headers (here as
// readelf lists them), with their flags, alignment, size, exact bytes and
// place after .rodata.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

// Each record: a 4-byte magic, version 1 as 32-bit little-endian, each text
// with its NUL, then a NUL that ends the list (the literal's own).
TEST(MetadataSections, CommandAndPackageRecords) {
    const std::string exe = std::getenv("CINEPANE_EXE") ? std::getenv("CINEPANE_EXE") : CINEPANE_BIN;
    std::ifstream in(exe, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), {}};
    // The section headers by name, from readelf's rows: name, type, address,
    // offset, size, entry size, flags, link, info, alignment.
    std::multimap<std::string, std::vector<std::string>> sections;
    FILE* readelf = popen(("readelf -S -W " + exe).c_str(), "r");
    for (char line[512]; readelf != nullptr && std::fgets(line, sizeof line, readelf) != nullptr;) {
        std::istringstream row(std::strstr(line, "] ") ? std::strstr(line, "] ") + 2 : "");
        std::vector<std::string> c;
        for (std::string word; row >> word;) c.push_back(word);
        if (!c.empty()) sections.emplace(c[0], c);
    }
    if (readelf != nullptr) pclose(readelf);
    const auto hex = [](const std::vector<std::string>& c, size_t i) { return std::stoull(c[i], nullptr, 16); };
    ASSERT_EQ(sections.count(".rodata"), 1u) << "no section headers in " << exe;
    const auto& rodata = sections.find(".rodata")->second;
    const char cmd[] =
        "KCMD\1\0\0\0Play a KOMU video file in a dedicated backend.\0cinepane /videos/demo.komu\0";
    const char pkg[] = "KPKG\1\0\0\0cinepane\0" "2\0";
    static_assert(sizeof cmd == 83 && sizeof pkg == 20);
    const std::tuple<std::string, std::string, std::string> records[] = {
        {".kelos.cmdmeta", "32", std::string(cmd, sizeof cmd)},
        {".kelos.pkgmeta", "4", std::string(pkg, sizeof pkg)}};
    for (const auto& [name, alignment, expected] : records) {
        SCOPED_TRACE(name);
        ASSERT_EQ(sections.count(name), 1u) << "kept by the linker, once, in a section of its own";
        const auto& h = sections.find(name)->second;
        ASSERT_EQ(h.size(), 10u);
        EXPECT_EQ(h[1], "PROGBITS");
        // Allocated, neither writable nor executable. The linker's keep-this
        // mark (R, or o for any such bit) may or may not reach the
        // executable; readers ignore it.
        EXPECT_TRUE(h[6] == "A" || h[6] == "AR" || h[6] == "Ao") << h[6];
        EXPECT_EQ(h[9], alignment);
        EXPECT_EQ(hex(h, 2) % std::stoull(alignment), 0u) << h[2];
        // After the constant data, in memory and in the file.
        EXPECT_GE(hex(h, 2), hex(rodata, 2) + hex(rodata, 4));
        EXPECT_GE(hex(h, 3), hex(rodata, 3) + hex(rodata, 4));
        EXPECT_EQ(file.substr(hex(h, 3), hex(h, 4)), expected);
    }
}

}  // namespace
