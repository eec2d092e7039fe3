// Fuzz target: the PackBits decoder, both element widths, and the in-place
// XOR of a coded delta mask, against a byte-at-a-time reference decoder
// written from the format's description.
//
// Input: byte 0 chooses the element width (bit 7 clear: 1 + bit 0, so 1 or
// 2; bit 7 set: the low 7 bits as given, nearly always refused) and the
// output length's range (bit 6 set: 0..1 MiB; clear: 0..4 KiB, small frames,
// which keeps most inputs fast); bytes 1-4 are the output length (u32
// little-endian, reduced into that range); the rest is the run-length coded
// source. Any difference from the reference in result or output aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "komu.h"

namespace {

constexpr uint32_t MAX_OUTPUT = 1u << 20;        // bytes
constexpr uint32_t MAX_SMALL_OUTPUT = 1u << 12;  // bytes
constexpr uint8_t UNTOUCHED = 0xA5;              // output bytes not yet written

// The reference: each run is checked against what is left of the source and
// of the output before any of it is written, as the decoder promises; a
// failing run therefore leaves the output exactly as the runs before it made it.
int reference_decode(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t dst_len,
                     uint32_t elem) {
    if (elem != 1 && elem != 2) return -1;
    uint64_t i = 0, o = 0;
    while (i < src_len && o < dst_len) {
        const int h = static_cast<int8_t>(src[i]);
        if (h == -128) {
            i += 1;
            continue;
        }
        const uint64_t count = h >= 0 ? uint64_t(h) + 1 : uint64_t(1 - h);  // elements
        const uint64_t in_bytes = h >= 0 ? count * elem : elem;
        if (i + 1 + in_bytes > src_len || o + count * elem > dst_len) return -1;
        for (uint64_t k = 0; k < count * elem; ++k) {
            dst[o + k] = h >= 0 ? src[i + 1 + k] : src[i + 1 + k % elem];
        }
        i += 1 + in_bytes;
        o += count * elem;
    }
    return o == dst_len ? 0 : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint32_t elem = (data[0] & 0x80) ? (data[0] & 0x7Fu) : 1u + (data[0] & 1u);
    uint32_t declared;
    std::memcpy(&declared, data + 1, 4);
    const uint32_t dst_len = declared % (((data[0] & 0x40) ? MAX_OUTPUT : MAX_SMALL_OUTPUT) + 1);
    const auto src_len = static_cast<uint32_t>(size - 5);

    // Exact-size heap buffers, so that AddressSanitizer sees one byte too far.
    std::vector<uint8_t> src(data + 5, data + size);
    auto* dst = static_cast<uint8_t*>(std::malloc(dst_len ? dst_len : 1));
    std::vector<uint8_t> want(dst_len, UNTOUCHED);
    if (dst == nullptr) std::abort();
    std::memset(dst, UNTOUCHED, dst_len);

    const uint8_t* src_ptr = src_len ? src.data() : data + 5;  // never null, never read
    const int got = rle_decode_packbits(src_ptr, src_len, dst, dst_len, elem);
    const int expected = reference_decode(src.data(), src_len, want.data(), dst_len, elem);
    if (got != expected) std::abort();
    if (dst_len > 0 && std::memcmp(dst, want.data(), dst_len) != 0) std::abort();

    // The same source as a delta mask over a reference picture: the picture
    // XOR the decoded mask, or the picture untouched when the mask is bad.
    if (elem == 1) {
        static std::vector<uint8_t> picture, xored;  // reused: no 1 MiB churn per input
        picture.resize(dst_len);
        xored.resize(dst_len);
        for (uint32_t k = 0; k < dst_len; ++k) picture[k] = static_cast<uint8_t>(k * 131 + 7);
        if (dst_len > 0) std::memcpy(dst, picture.data(), dst_len);
        if (rle_xor_packbits(src_ptr, src_len, dst, dst_len) != expected) std::abort();
        for (uint32_t k = 0; k < dst_len; ++k) {
            xored[k] = expected == 0 ? picture[k] ^ want[k] : picture[k];
        }
        if (dst_len > 0 && std::memcmp(dst, xored.data(), dst_len) != 0) std::abort();
    }
    std::free(dst);
    return 0;
}
