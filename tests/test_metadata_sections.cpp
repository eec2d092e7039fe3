// Checks the two metadata records in a built cinepane executable, the host's
// or the target system's 32-bit one (CINEPANE_EXE), as the target system's
// tools find them: by section name in the ELF section headers (here as
// readelf lists them), with their flags, alignment, size, exact bytes and
// place after .rodata.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

struct section {
    std::string type, flags;
    uint64_t address = 0, offset = 0, size = 0, alignment = 0;
};

// Each record: a 4-byte magic, version 1 as 32-bit little-endian, each text
// with its NUL, then a NUL that ends the list (the literal's own).
TEST(MetadataSections, CommandAndPackageRecords) {
    const std::string exe = std::getenv("CINEPANE_EXE") ? std::getenv("CINEPANE_EXE") : CINEPANE_BIN;
    std::ifstream in(exe, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), {}};
    // The section headers by name, from readelf's rows: name, type, address,
    // offset, size, entry size, flags, link, info, alignment.
    std::multimap<std::string, section> sections;
    std::string table;
    FILE* readelf = popen(("readelf -S -W " + exe).c_str(), "r");
    for (int c; readelf != nullptr && (c = std::fgetc(readelf)) != EOF;) table += char(c);
    if (readelf != nullptr) pclose(readelf);
    std::istringstream rows(table);
    for (std::string line; std::getline(rows, line);) {
        if (line.find("] ") == std::string::npos) continue;
        std::istringstream row(line.substr(line.find("] ") + 2));
        std::string name, entry_size, link, info;
        section s;
        row >> name >> s.type >> std::hex >> s.address >> s.offset >> s.size >> entry_size >> s.flags >> link >>
            info >> std::dec >> s.alignment;
        sections.emplace(name, s);
    }
    ASSERT_EQ(sections.count(".rodata"), 1u) << "no section headers in " << exe;
    const section& rodata = sections.find(".rodata")->second;
    const char cmd[] =
        "KCMD\1\0\0\0Play a KOMU video file in a dedicated backend.\0cinepane /videos/demo.komu\0";
    const char pkg[] = "KPKG\1\0\0\0cinepane\0" "2\0";
    static_assert(sizeof cmd == 83 && sizeof pkg == 20);
    const std::tuple<std::string, uint64_t, std::string> records[] = {
        {".kelos.cmdmeta", 32, std::string(cmd, sizeof cmd)},
        {".kelos.pkgmeta", 4, std::string(pkg, sizeof pkg)}};
    for (const auto& [name, alignment, expected] : records) {
        SCOPED_TRACE(name);
        ASSERT_EQ(sections.count(name), 1u) << "kept by the linker, once, in a section of its own";
        const section& h = sections.find(name)->second;
        EXPECT_EQ(h.type, "PROGBITS");
        // Allocated, neither writable nor executable. The linker's keep-this
        // mark (R, or o for any such bit) may or may not reach the
        // executable; readers ignore it.
        EXPECT_TRUE(h.flags == "A" || h.flags == "AR" || h.flags == "Ao") << h.flags;
        EXPECT_EQ(h.alignment, alignment);
        EXPECT_EQ(h.address % alignment, 0u) << h.address;
        // After the constant data, in memory and in the file.
        EXPECT_GE(h.address, rodata.address + rodata.size);
        EXPECT_GE(h.offset, rodata.offset + rodata.size);
        EXPECT_EQ(file.substr(h.offset, h.size), expected);
    }
}

}  // namespace
