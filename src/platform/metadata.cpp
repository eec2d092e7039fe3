// Two constant records linked into the cinepane executable, each in a section
// of its own, for the target system's shell (command help) and package tools
// to read straight from the file without running the program. The program
// itself never reads them.
//
// Record layout, all records: 4-byte magic, 32-bit little-endian version, the
// texts each followed by its NUL, then one final NUL that ends the list.
//   .kelos.cmdmeta "KCMD" v1: summary, usage example     (32-byte aligned)
//   .kelos.pkgmeta "KPKG" v1: package name, package version (4-byte aligned)
//
// The sections are read-only and allocated (SHF_ALLOC only), so the linker
// places them with the other constant data, after .rodata. `used` keeps the
// compiler from dropping the unreferenced variables; `retain` (SHF_GNU_RETAIN)
// keeps the linker from dropping the unreferenced sections under
// -Wl,--gc-sections.
#include <array>
#include <cstddef>
#include <cstdint>

// Reached only while a malformed record is being evaluated: neither is
// constexpr, so the compiler stops there and names the fault. (No throw: the
// target's build has no exceptions.)
void record_magic_must_be_four_characters();
void record_text_holds_a_nul_before_its_end();

namespace {

// Bytes of a record whose texts are string literals of sizes Ns (each size
// counts the literal's own NUL), evaluated by the compiler only. A literal
// with a NUL inside it, or a magic that is not four characters, stops
// compilation.
template <std::size_t... Ns>
consteval std::array<unsigned char, 4 + 4 + (Ns + ... + 0) + 1> make_record(
    const char (&magic)[5], uint32_t version, const char (&... texts)[Ns]) {
    std::array<unsigned char, 4 + 4 + (Ns + ... + 0) + 1> out{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (magic[i] == '\0') record_magic_must_be_four_characters();
        out[at++] = static_cast<unsigned char>(magic[i]);
    }
    for (int shift = 0; shift < 32; shift += 8) {
        out[at++] = static_cast<unsigned char>((version >> shift) & 0xFFu);
    }
    auto append = [&](const char* text, std::size_t size) {
        for (std::size_t i = 0; i + 1 < size; ++i) {
            if (text[i] == '\0') record_text_holds_a_nul_before_its_end();
            out[at++] = static_cast<unsigned char>(text[i]);
        }
        out[at++] = 0;  // the text's NUL
    };
    (append(texts, Ns), ...);
    out[at++] = 0;  // end of the list
    return out;
}

}  // namespace

// C linkage keeps the symbol names plain in the symbol table; `extern` gives
// the constants external linkage so they are emitted once, as these records.
extern "C" {
__attribute__((used, retain, section(".kelos.cmdmeta"), aligned(32)))
extern constexpr auto g_cmdmeta_0 =
    make_record("KCMD", 1, "Play a KOMU video file in a dedicated backend.",
                "cinepane /videos/demo.komu");

__attribute__((used, retain, section(".kelos.pkgmeta"), aligned(4)))
extern constexpr auto g_pkgmeta_0 = make_record("KPKG", 1, "cinepane", "2");
}

// The target's tools expect exactly these sizes.
static_assert(sizeof(g_cmdmeta_0) == 83, "command record must be 83 bytes");
static_assert(sizeof(g_pkgmeta_0) == 20, "package record must be 20 bytes");
