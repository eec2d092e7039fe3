// Checks the two metadata records in the built cinepane executable, as the
// target system's tools would find them: by section name in the ELF section
// headers, with their flags, alignment, size, exact bytes and place after
// .rodata. A small reader over <elf.h> below; no external tool.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef SHF_GNU_RETAIN
#define SHF_GNU_RETAIN (1U << 21)
#endif

namespace {

struct elf_section {
    std::string name;
    Elf64_Shdr header;
};

struct elf_file {
    std::vector<unsigned char> bytes;  // the whole file
    std::vector<elf_section> sections;
    std::string error;                 // empty when read fine
};

template <typename T>
bool read_at(const std::vector<unsigned char>& bytes, uint64_t offset, T* out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(out, bytes.data() + offset, sizeof(T));
    return true;
}

// Reads a 64-bit little-endian ELF file's section headers and names.
elf_file read_elf(const std::string& path) {
    elf_file elf;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        elf.error = "cannot open " + path;
        return elf;
    }
    elf.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());

    Elf64_Ehdr eh;
    if (!read_at(elf.bytes, 0, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) {
        elf.error = "not an ELF file";
        return elf;
    }
    if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB) {
        elf.error = "not a 64-bit little-endian ELF file";
        return elf;
    }
    if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Elf64_Shdr)) {
        elf.error = "no usable section header table";
        return elf;
    }
    Elf64_Shdr first;
    if (!read_at(elf.bytes, eh.e_shoff, &first)) {
        elf.error = "section header table past the end of the file";
        return elf;
    }
    // Past 0xff00 sections the count and the name table's index move into
    // section 0.
    const uint64_t count = eh.e_shnum != 0 ? eh.e_shnum : first.sh_size;
    const uint64_t names_index = eh.e_shstrndx != SHN_XINDEX ? eh.e_shstrndx : first.sh_link;

    std::vector<Elf64_Shdr> headers(count);
    for (uint64_t i = 0; i < count; ++i) {
        if (!read_at(elf.bytes, eh.e_shoff + i * sizeof(Elf64_Shdr), &headers[i])) {
            elf.error = "section header table past the end of the file";
            return elf;
        }
    }
    if (names_index >= count) {
        elf.error = "no section name table";
        return elf;
    }
    const Elf64_Shdr& names = headers[names_index];
    if (names.sh_offset > elf.bytes.size() || elf.bytes.size() - names.sh_offset < names.sh_size) {
        elf.error = "section name table past the end of the file";
        return elf;
    }
    for (const Elf64_Shdr& h : headers) {
        if (h.sh_name >= names.sh_size) {
            elf.error = "section name outside the name table";
            return elf;
        }
        const char* start = reinterpret_cast<const char*>(elf.bytes.data() + names.sh_offset + h.sh_name);
        const size_t room = static_cast<size_t>(names.sh_size - h.sh_name);
        elf.sections.push_back({std::string(start, strnlen(start, room)), h});
    }
    return elf;
}

const elf_file& cinepane_elf() {
    static const elf_file elf = read_elf(CINEPANE_BIN);
    return elf;
}

// Record bytes as the target's tools expect them: `size` zero bytes with each
// field copied in at its offset. A text field's size counts its NUL.
struct field {
    size_t offset;
    size_t size;
    const char* text;  // nullptr: a 32-bit little-endian value instead
    uint32_t value;
};

std::vector<unsigned char> layout(size_t size, const std::vector<field>& fields) {
    std::vector<unsigned char> out(size, 0);
    for (const field& f : fields) {
        EXPECT_LE(f.offset + f.size, size);
        if (f.offset + f.size > size) continue;
        if (f.text != nullptr) {
            const size_t length = std::strlen(f.text);
            // The magic has no NUL; every other text fills its field plus one NUL.
            EXPECT_TRUE(length == f.size || length + 1 == f.size) << f.text;
            std::memcpy(out.data() + f.offset, f.text, std::min(length, f.size));
        } else {
            EXPECT_EQ(f.size, 4u);
            for (size_t i = 0; i < 4; ++i) out[f.offset + i] = static_cast<unsigned char>(f.value >> (8 * i));
        }
    }
    return out;
}

// Checks one record's section in the executable against what the target's
// tools expect of it.
void check_record(const std::string& name, uint64_t alignment, const std::vector<unsigned char>& expected) {
    const elf_file& elf = cinepane_elf();
    ASSERT_EQ(elf.error, "") << CINEPANE_BIN;

    const elf_section* found = nullptr;
    const elf_section* rodata = nullptr;
    int copies = 0;
    for (const elf_section& s : elf.sections) {
        if (s.name == name) {
            found = &s;
            ++copies;
        }
        if (s.name == ".rodata") rodata = &s;
    }
    ASSERT_EQ(copies, 1) << name << " must be present once (kept by the linker, in a section of its own)";
    ASSERT_NE(rodata, nullptr) << "no .rodata in " << CINEPANE_BIN;
    const Elf64_Shdr& h = found->header;

    EXPECT_EQ(h.sh_type, static_cast<Elf64_Word>(SHT_PROGBITS));
    // Allocated and read-only: nothing else, apart from the linker's
    // keep-this-section mark, which toolchains may or may not carry into the
    // executable and which readers ignore.
    EXPECT_EQ(h.sh_flags & ~static_cast<Elf64_Xword>(SHF_GNU_RETAIN), static_cast<Elf64_Xword>(SHF_ALLOC))
        << "flags 0x" << std::hex << h.sh_flags;
    EXPECT_EQ(h.sh_flags & SHF_WRITE, 0u);
    EXPECT_EQ(h.sh_flags & SHF_EXECINSTR, 0u);
    EXPECT_EQ(h.sh_addralign, alignment);
    EXPECT_EQ(h.sh_addr % alignment, 0u) << "address 0x" << std::hex << h.sh_addr;

    // After the constant data, in both the address space and the file.
    EXPECT_GE(h.sh_addr, rodata->header.sh_addr + rodata->header.sh_size);
    EXPECT_GE(h.sh_offset, rodata->header.sh_offset + rodata->header.sh_size);

    ASSERT_EQ(h.sh_size, expected.size());
    ASSERT_LE(h.sh_offset + h.sh_size, elf.bytes.size());
    const auto begin = elf.bytes.begin() + static_cast<std::ptrdiff_t>(h.sh_offset);
    const std::vector<unsigned char> actual(begin, begin + static_cast<std::ptrdiff_t>(h.sh_size));
    size_t same = 0;  // bytes equal before the first difference
    while (same < expected.size() && actual[same] == expected[same]) ++same;
    if (same < expected.size()) {
        ADD_FAILURE() << name << " differs first at offset " << same << ": byte " << int{actual[same]}
                      << ", expected " << int{expected[same]};
    }
}

TEST(MetadataSections, ExecutableSectionHeadersAreReadable) {
    const elf_file& elf = cinepane_elf();
    ASSERT_EQ(elf.error, "") << CINEPANE_BIN;
    ASSERT_FALSE(elf.sections.empty());
    EXPECT_EQ(elf.sections[0].header.sh_type, static_cast<Elf64_Word>(SHT_NULL));
    bool has_text = false;
    for (const elf_section& s : elf.sections) has_text = has_text || s.name == ".text";
    EXPECT_TRUE(has_text) << "section names misread";
}

TEST(MetadataSections, CommandRecord) {
    const std::vector<unsigned char> expected =
        layout(83, {{0, 4, "KCMD", 0},
                    {4, 4, nullptr, 1},
                    {8, 47, "Play a KOMU video file in a dedicated backend.", 0},
                    {55, 27, "cinepane /videos/demo.komu", 0}});  // 82: the final NUL
    check_record(".kelos.cmdmeta", 32, expected);
}

TEST(MetadataSections, PackageRecord) {
    const std::vector<unsigned char> expected =
        layout(20, {{0, 4, "KPKG", 0}, {4, 4, nullptr, 1}, {8, 9, "cinepane", 0}, {17, 2, "2", 0}});  // 19: final NUL
    check_record(".kelos.pkgmeta", 4, expected);
}

}  // namespace
