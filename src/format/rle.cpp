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

// d ^= s over n bytes, eight at a time.
inline void xor_bytes(uint8_t* d, const uint8_t* s, uint32_t n) {
    uint32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t a, b;
        std::memcpy(&a, d + k, 8);
        std::memcpy(&b, s + k, 8);
        a ^= b;
        std::memcpy(d + k, &a, 8);
    }
    for (; k < n; ++k) d[k] ^= s[k];
}

// d ^= the byte repeated in unit, over n bytes, eight at a time.
inline void xor_repeat(uint8_t* d, uint64_t unit, uint32_t n) {
    uint32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t a;
        std::memcpy(&a, d + k, 8);
        a ^= unit;
        std::memcpy(d + k, &a, 8);
    }
    for (; k < n; ++k) d[k] ^= static_cast<uint8_t>(unit);
}

// Walks the runs of src, calling literal(o, bytes, n) and repeat(o, element,
// n) for output bytes [o, o + n), each only after the run's bounds have been
// checked against what is left of the input and the output. 0 when the
// output is filled exactly, -1 otherwise.
template <typename Literal, typename Repeat>
int walk_runs(const uint8_t* src, uint32_t src_len, uint32_t dst_len, uint32_t elem,
              Literal literal, Repeat repeat) {
    // Only whole pixels (2) and mask bytes (1) exist; this also keeps every
    // run below 2 * 128 bytes, so no product below can overflow.
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
            literal(o, src + i + 1, n);
            i += 1 + n;
            o += n;
        } else {
            // Repeat: one element written 1 - h times (2 to 128).
            const uint32_t n = static_cast<uint32_t>(1 - h) * elem;
            if (elem > in_left || n > out_left) return -1;
            repeat(o, src + i + 1, n);
            i += 1 + elem;
            o += n;
        }
    }
    return o == dst_len ? 0 : -1;
}

}  // namespace

int rle_decode_packbits(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t dst_len,
                        uint32_t elem) {
    if (src == nullptr || dst == nullptr) return -1;
    return walk_runs(
        src, src_len, dst_len, elem,
        [dst](uint32_t o, const uint8_t* bytes, uint32_t n) {
            if (n >= 16) {
                copy_long(dst + o, bytes, n);
            } else {
                copy_short(dst + o, bytes, n);
            }
        },
        [dst, elem](uint32_t o, const uint8_t* e, uint32_t n) {
            fill_run(dst + o, repeat_unit(e, elem), n);
        });
}

int rle_xor_packbits(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t dst_len) {
    if (src == nullptr || dst == nullptr) return -1;
    // A first walk only checks, so that a bad mask changes nothing.
    const auto nothing = [](uint32_t, const uint8_t*, uint32_t) {};
    if (walk_runs(src, src_len, dst_len, 1, nothing, nothing) != 0) return -1;
    return walk_runs(
        src, src_len, dst_len, 1,
        [dst](uint32_t o, const uint8_t* bytes, uint32_t n) { xor_bytes(dst + o, bytes, n); },
        [dst](uint32_t o, const uint8_t* e, uint32_t n) {
            if (e[0] == 0) return;  // the unchanged stretches of a delta
            xor_repeat(dst + o, repeat_unit(e, 1), n);
        });
}
