// Checks the two metadata records in a built cinepane executable, the host's
// or the target system's 32-bit one, as the target system's tools find them:
// by section name in the ELF section headers, with their flags, alignment,
// size, exact bytes and place after .rodata. A small reader over <elf.h> below; no external tool.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef SHF_GNU_RETAIN
#define SHF_GNU_RETAIN (1U << 21)
#endif

namespace {

using bytes = std::vector<unsigned char>;

struct section {
    std::string name;
    Elf64_Shdr header;
};

// The sections of a little-endian ELF file of the class of Ehdr and Shdr,
// headers widened to 64 bits; none when the file is not one or its section
// headers or their names lie outside it.
template <typename Ehdr, typename Shdr>
std::vector<section> read_sections(const bytes& file, unsigned char elf_class) {
    Ehdr eh;
    if (file.size() < sizeof eh) return {};
    std::memcpy(&eh, file.data(), sizeof eh);
    const uint64_t table_end = eh.e_shoff + uint64_t{eh.e_shnum} * sizeof(Shdr);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != elf_class ||
        eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_shentsize != sizeof(Shdr) ||
        eh.e_shstrndx >= eh.e_shnum || table_end > file.size()) {
        return {};
    }
    std::vector<Elf64_Shdr> headers;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        Shdr h;
        std::memcpy(&h, &file[eh.e_shoff + i * sizeof h], sizeof h);
        headers.push_back({h.sh_name, h.sh_type, h.sh_flags, h.sh_addr, h.sh_offset, h.sh_size,
                           h.sh_link, h.sh_info, h.sh_addralign, h.sh_entsize});
    }
    const Elf64_Shdr& names = headers[eh.e_shstrndx];
    if (names.sh_offset > file.size() || file.size() - names.sh_offset < names.sh_size) return {};
    std::vector<section> out;
    for (const Elf64_Shdr& h : headers) {
        if (h.sh_name >= names.sh_size) return {};
        const auto* name = reinterpret_cast<const char*>(&file[names.sh_offset + h.sh_name]);
        out.push_back({std::string(name, strnlen(name, names.sh_size - h.sh_name)), h});
    }
    return out;
}

// The executable under test: the host's cinepane, or the one CINEPANE_EXE
// names (the target system's build).
const char* executable() {
    const char* exe = std::getenv("CINEPANE_EXE");
    return exe ? exe : CINEPANE_BIN;
}

// Checks the section `name` of the cinepane executable against what the
// target's tools expect of it.
void check_record(const std::string& name, uint64_t alignment, const std::string& expected) {
    std::ifstream in(executable(), std::ios::binary);
    const bytes file{std::istreambuf_iterator<char>(in), {}};
    std::vector<section> sections = read_sections<Elf64_Ehdr, Elf64_Shdr>(file, ELFCLASS64);
    if (sections.empty()) sections = read_sections<Elf32_Ehdr, Elf32_Shdr>(file, ELFCLASS32);
    ASSERT_FALSE(sections.empty()) << "no readable section headers in " << executable();
    const Elf64_Shdr *found = nullptr, *rodata = nullptr;
    int copies = 0;
    for (const section& s : sections) {
        if (s.name == name) {
            found = &s.header;
            ++copies;
        }
        if (s.name == ".rodata") rodata = &s.header;
    }
    ASSERT_EQ(copies, 1) << name << ": kept by the linker, once, in a section of its own";
    ASSERT_NE(rodata, nullptr);
    const Elf64_Shdr& h = *found;
    EXPECT_EQ(h.sh_type, Elf64_Word{SHT_PROGBITS});
    // Allocated, neither writable nor executable. The linker's keep-this mark
    // may or may not reach the executable; readers ignore it.
    EXPECT_EQ(h.sh_flags & ~Elf64_Xword{SHF_GNU_RETAIN}, Elf64_Xword{SHF_ALLOC})
        << "flags 0x" << std::hex << h.sh_flags;
    EXPECT_EQ(h.sh_addralign, alignment);
    EXPECT_EQ(h.sh_addr % alignment, 0u) << "address 0x" << std::hex << h.sh_addr;
    // After the constant data, in memory and in the file.
    EXPECT_GE(h.sh_addr, rodata->sh_addr + rodata->sh_size);
    EXPECT_GE(h.sh_offset, rodata->sh_offset + rodata->sh_size);
    ASSERT_EQ(h.sh_size, expected.size());
    ASSERT_LE(h.sh_offset + h.sh_size, file.size());
    const auto begin = file.begin() + std::ptrdiff_t(h.sh_offset);
    EXPECT_EQ(std::string(begin, begin + std::ptrdiff_t(h.sh_size)), expected);
}

// Each record: a 4-byte magic, version 1 as 32-bit little-endian, each text
// with its NUL, then a NUL that ends the list; 83 and 20 bytes in all.
TEST(MetadataSections, CommandRecord) {
    const char record[] =
        "KCMD\1\0\0\0Play a KOMU video file in a dedicated backend.\0cinepane /videos/demo.komu\0";
    ASSERT_EQ(sizeof record, 83u);  // the literal's own NUL ends the list
    check_record(".kelos.cmdmeta", 32, std::string(record, sizeof record));
}

TEST(MetadataSections, PackageRecord) {
    const char record[] =
        "KPKG\1\0\0\0cinepane\0"
        "2\0";
    ASSERT_EQ(sizeof record, 20u);
    check_record(".kelos.pkgmeta", 4, std::string(record, sizeof record));
}

}  // namespace
