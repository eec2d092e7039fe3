// PackBits run-length decoding over 1- or 2-byte elements.
//
// Runs are at most 256 bytes, most far shorter, so they are written with
// plain 4-, 8- and 16-byte moves (the last one overlapping the one before)
// rather than memcpy/memset of a variable size, which compilers expand into
// string instructions whose start-up cost is larger than such a run. Every
// move stays inside the run being written.
#include <cstring>

#include "komu.h"

namespace {

// Copies n bytes (1 <= n < 16) as two overlapping moves.
inline void copy_short(uint8_t* d, const uint8_t* s, uint32_t n) {
    if (n >= 8) {
        std::memcpy(d, s, 8);
        std::memcpy(d + n - 8, s + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(d, s, 4);
        std::memcpy(d + n - 4, s + n - 4, 4);
    } else {
        d[0] = s[0];
        d[n / 2] = s[n / 2];
        d[n - 1] = s[n - 1];
    }
}

// Copies n bytes (n >= 16) in 16-byte pieces, the last one ending at n.
inline void copy_long(uint8_t* d, const uint8_t* s, uint32_t n) {
    uint32_t k = 0;
    for (; k + 16 < n; k += 16) std::memcpy(d + k, s + k, 16);
    std::memcpy(d + n - 16, s + n - 16, 16);
}

// Writes n bytes (n >= 2, a multiple of the element size) of `unit`, eight
// bytes of the element repeated as they lie in memory. Pieces start at
// multiples of the element size, so overlapping ones agree.
inline void fill_run(uint8_t* d, uint64_t unit, uint32_t n) {
    if (n >= 8) {
        uint32_t k = 0;
        for (; k + 8 < n; k += 8) std::memcpy(d + k, &unit, 8);
        std::memcpy(d + n - 8, &unit, 8);
    } else if (n >= 4) {
        std::memcpy(d, &unit, 4);
        std::memcpy(d + n - 4, &unit, 4);
    } else {  // 2 or 3 bytes: only 1-byte elements get here
        std::memcpy(d, &unit, 2);
        d[n - 1] = d[0];
    }
}

// The element at e repeated over eight bytes, in memory order. Built in a
// register (a byte array read back as a whole would stall on every run).
inline uint64_t repeat_unit(const uint8_t* e, uint32_t elem) {
    if (elem == 1) return uint64_t{e[0]} * 0x0101010101010101u;
    uint16_t pair;  // native order in and out, so any byte order works
    std::memcpy(&pair, e, 2);
    return uint64_t{pair} * 0x0001000100010001u;
}

}  // namespace

int rle_decode_packbits(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t dst_len,
                        uint32_t elem) {
    if (src == nullptr || dst == nullptr) return -1;
    // Only whole pixels (2) and mask bytes (1) exist; this also keeps every
    // run length below 2 * 128 bytes, so no product below can overflow.
    if (elem != 1 && elem != 2) return -1;
    if (src_len == 0 || dst_len == 0) return dst_len == 0 ? 0 : -1;

    // i and o never pass src_len and dst_len, so the "left" counts never wrap.
    uint32_t i = 0;
    uint32_t o = 0;
    while (i < src_len && o < dst_len) {
        const auto h = static_cast<int8_t>(src[i]);
        const uint32_t in_left = src_len - (i + 1);
        const uint32_t out_left = dst_len - o;
        if (h == -128) {
            i += 1;  // no operation
        } else if (h >= 0) {
            // Literal: h + 1 elements copied as one block.
            const uint32_t n = (static_cast<uint32_t>(h) + 1) * elem;
            if (n > in_left || n > out_left) return -1;
            if (n >= 16) {
                copy_long(dst + o, src + i + 1, n);
            } else {
                copy_short(dst + o, src + i + 1, n);
            }
            i += 1 + n;
            o += n;
        } else {
            // Repeat: one element written 1 - h times (2 to 128).
            const uint32_t count = static_cast<uint32_t>(1 - h);
            if (elem > in_left || count * elem > out_left) return -1;
            fill_run(dst + o, repeat_unit(src + i + 1, elem), count * elem);
            i += 1 + elem;
            o += count * elem;
        }
    }
    return o == dst_len ? 0 : -1;
}
