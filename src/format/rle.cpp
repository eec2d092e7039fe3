// PackBits run-length decoding over 1- or 2-byte elements.
#include <cstring>

#include "komu.h"

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
            std::memcpy(dst + o, src + i + 1, n);
            i += 1 + n;
            o += n;
        } else {
            // Repeat: one element written 1 - h times (2 to 128).
            const uint32_t count = static_cast<uint32_t>(1 - h);
            if (elem > in_left || count * elem > out_left) return -1;
            const uint8_t* e = src + i + 1;
            if (elem == 1) {
                std::memset(dst + o, e[0], count);
            } else {
                for (uint32_t k = 0; k < count; ++k) std::memcpy(dst + o + k * elem, e, elem);
            }
            i += 1 + elem;
            o += count * elem;
        }
    }
    return o == dst_len ? 0 : -1;
}
