// The KOMU encoder: PackBits run-length coding, the per-frame choice of
// payload kind, and komu_encode, which builds a whole file in memory.
#include "komu_write.h"

#include <cstring>

namespace {

constexpr uint32_t MAX_RUN = 128;                   // elements per literal or repeat run
constexpr uint64_t MAX_DATA_BYTES = 0xFFFFFFFFull;  // a 32-bit offset + size must reach the end

bool same_element(const uint8_t* a, const uint8_t* b, uint32_t elem) {
    return elem == 1 ? *a == *b : (a[0] == b[0] && a[1] == b[1]);
}

// Number of equal elements starting at element i, at most MAX_RUN (a longer
// run is taken 128 at a time, and the cap keeps the scan linear).
uint32_t run_at(const uint8_t* src, size_t n, size_t i, uint32_t elem) {
    uint32_t run = 1;
    while (run < MAX_RUN && i + run < n &&
           same_element(src + (i + run) * elem, src + i * elem, elem)) {
        ++run;
    }
    return run;
}

// Whether a run of `run` equal elements is cheaper as a repeat (1 + elem
// bytes) than inside a literal (elem bytes each, plus a header byte for any
// literal the repeat would split off). For 2-byte elements a pair already
// saves (3 bytes against 4 at a literal's edge, 4 against 4 inside one). For
// bytes a pair costs 2 either way at a literal's edge and 3 against 2 when it
// splits a literal, so a pair becomes a repeat only when no literal is open
// and none follows directly (the data ends, or another run follows).
bool use_repeat(const uint8_t* src, size_t n, size_t i, uint32_t run, uint32_t elem,
                bool literal_open) {
    if (run >= 3) return true;
    if (run < 2) return false;
    if (elem == 2) return true;
    if (literal_open) return false;
    const size_t next = i + run;
    return next == n || run_at(src, n, next, elem) >= 2;
}

void flush_literal(std::vector<uint8_t>* out, const uint8_t* src, size_t start, uint32_t count,
                   uint32_t elem) {
    if (count == 0) return;
    out->push_back(static_cast<uint8_t>(count - 1));  // 0..127
    const uint8_t* p = src + start * elem;
    out->insert(out->end(), p, p + size_t{count} * elem);
}

}  // namespace

std::vector<uint8_t> rle_encode_packbits(std::span<const uint8_t> src, uint32_t elem) {
    std::vector<uint8_t> out;
    if ((elem != 1 && elem != 2) || src.size() % elem != 0) return out;
    const uint8_t* data = src.data();
    const size_t n = src.size() / elem;
    out.reserve(src.size() + n / MAX_RUN + 1);

    size_t literal_start = 0;
    uint32_t literal_count = 0;  // elements in the open literal, 0..127 between steps
    size_t i = 0;
    while (i < n) {
        const uint32_t run = run_at(data, n, i, elem);
        if (use_repeat(data, n, i, run, elem, literal_count > 0)) {
            flush_literal(&out, data, literal_start, literal_count, elem);
            literal_count = 0;
            out.push_back(static_cast<uint8_t>(1 - static_cast<int32_t>(run)));  // -1..-127
            out.insert(out.end(), data + i * elem, data + (i + 1) * elem);
            i += run;
            continue;
        }
        // Single elements (and byte pairs) join the literal, which is closed
        // whenever it reaches 128 elements.
        for (uint32_t k = 0; k < run; ++k) {
            if (literal_count == 0) literal_start = i;
            ++literal_count;
            ++i;
            if (literal_count == MAX_RUN) {
                flush_literal(&out, data, literal_start, literal_count, elem);
                literal_count = 0;
            }
        }
    }
    flush_literal(&out, data, literal_start, literal_count, elem);
    return out;
}

bool komu_check_options(const komu_encode_options& o, std::string* error) {
    if (o.width < 1 || o.width > KOMU_MAX_WIDTH || o.height < 1 || o.height > KOMU_MAX_HEIGHT) {
        *error = "size " + std::to_string(o.width) + "x" + std::to_string(o.height) +
                 " is outside 1x1..640x480";
        return false;
    }
    if (o.fps_num == 0 || o.fps_den == 0) {
        *error = "frame rate needs a non-zero numerator and denominator";
        return false;
    }
    if (o.mode < KOMU_MODE_SEQUENTIAL || o.mode > KOMU_MODE_INDEXED_ALT) {
        *error = "mode must be 1, 2 or 3";
        return false;
    }
    if (o.mode == KOMU_MODE_SEQUENTIAL && o.kind != komu_kind::automatic &&
        o.kind != komu_kind::raw) {
        *error = "mode 1 holds raw frames only";
        return false;
    }
    return true;
}

bool komu_check_size(const komu_encode_options& o, uint64_t frame_count, uint64_t data_bytes,
                     std::string* error) {
    if (frame_count == 0) {
        *error = "no frames";
        return false;
    }
    if (frame_count > 0xFFFFFFFFull) {
        *error = "more than 4,294,967,295 frames";
        return false;
    }
    if (o.mode == KOMU_MODE_SEQUENTIAL) return true;
    if (frame_count > KOMU_MAX_INDEXED_FRAMES) {
        *error = "more than " + std::to_string(KOMU_MAX_INDEXED_FRAMES) +
                 " frames cannot be indexed (use --mode 1)";
        return false;
    }
    if (data_bytes > MAX_DATA_BYTES) {
        *error = "frame data passes 4 GiB, beyond 32-bit offsets";
        return false;
    }
    return true;
}

komu_header komu_make_header(const komu_encode_options& o, uint32_t frame_count) {
    komu_header h{};
    h.magic = KOMU_MAGIC;
    h.width = o.width;
    h.height = o.height;
    h.pixel_format = KOMU_PIXEL_RGB565;
    h.flags = o.loop ? KOMU_LOOP : 0;
    h.mode = o.mode;
    h.frame_count = frame_count;
    h.fps_num = o.fps_num;
    h.fps_den = o.fps_den;
    h.header_size = KOMU_HEADER_BYTES;
    return h;
}

void komu_append_prefix(const komu_header& header, std::span<const komu_frame_entry> index,
                        std::vector<uint8_t>* out) {
    const auto* h = reinterpret_cast<const uint8_t*>(&header);
    const auto* x = reinterpret_cast<const uint8_t*>(index.data());
    out->insert(out->end(), h, h + KOMU_HEADER_BYTES);
    out->insert(out->end(), x, x + index.size() * KOMU_ENTRY_BYTES);
}

void komu_encoder_init(komu_frame_encoder* e, const komu_encode_options& options) {
    e->options = options;
    e->frame_bytes = uint32_t{options.width} * options.height * 2;
    e->position = 0;
    e->since_key = options.key_interval;
    e->reference.assign(e->frame_bytes, 0);
    e->mask.assign(e->frame_bytes, 0);
}

int komu_payload_kind(uint32_t flags) {
    if (flags & KOMU_FRAME_DELTA) return (flags & KOMU_FRAME_DELTA_RLE) ? 3 : 2;
    return (flags & KOMU_FRAME_RLE16) ? 1 : 0;
}

uint32_t komu_encode_frame(komu_frame_encoder* e, std::span<const uint8_t> frame, komu_kind kind,
                           std::vector<uint8_t>* payload) {
    const komu_encode_options& o = e->options;
    const uint8_t* pixels = frame.data();
    const bool key_due = o.key_interval > 0 && e->since_key >= o.key_interval;
    // The flags of the chosen kind; its payload is left in *payload.
    uint32_t flags = 0;

    auto make_raw = [&] { payload->assign(pixels, pixels + e->frame_bytes); };
    auto make_mask = [&] {
        for (uint32_t i = 0; i < e->frame_bytes; ++i) {
            e->mask[i] = static_cast<uint8_t>(pixels[i] ^ e->reference[i]);
        }
    };

    if (o.mode == KOMU_MODE_SEQUENTIAL || kind == komu_kind::raw ||
        (kind == komu_kind::delta && key_due)) {
        make_raw();
    } else if (kind == komu_kind::rle || (kind == komu_kind::delta_rle && key_due)) {
        *payload = rle_encode_packbits(frame.first(e->frame_bytes), 2);
        flags = KOMU_FRAME_RLE16;
    } else if (kind == komu_kind::delta) {
        make_mask();
        payload->assign(e->mask.begin(), e->mask.end());
        flags = KOMU_FRAME_DELTA;
    } else if (kind == komu_kind::delta_rle) {
        make_mask();
        *payload = rle_encode_packbits(e->mask, 1);
        flags = KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE;
    } else {
        // Automatic: a raw key unless a run-length payload is strictly smaller.
        std::vector<uint8_t> best = rle_encode_packbits(frame.first(e->frame_bytes), 2);
        flags = KOMU_FRAME_RLE16;
        if (!key_due && e->position > 0) {
            make_mask();
            std::vector<uint8_t> delta = rle_encode_packbits(e->mask, 1);
            if (delta.size() < best.size()) {
                best.swap(delta);
                flags = KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE;
            }
        }
        if (best.size() < e->frame_bytes) {
            payload->swap(best);
        } else {
            make_raw();
            flags = 0;
        }
    }

    std::memcpy(e->reference.data(), pixels, e->frame_bytes);
    e->position += 1;
    e->since_key = (flags & KOMU_FRAME_DELTA) ? e->since_key + 1 : 1;
    return o.mode == KOMU_MODE_SEQUENTIAL ? 0 : flags;
}

bool komu_encode(const komu_encode_options& options, std::span<const uint8_t> frames,
                 std::vector<uint8_t>* file, std::string* error) {
    if (!komu_check_options(options, error)) return false;
    const size_t frame_bytes = size_t{options.width} * options.height * 2;
    if (frames.empty() || frames.size() % frame_bytes != 0) {
        *error = "input is not a whole number of " + std::to_string(frame_bytes) + "-byte frames";
        return false;
    }
    const uint64_t count = frames.size() / frame_bytes;
    if (!komu_check_size(options, count, 0, error)) return false;

    const bool indexed = options.mode != KOMU_MODE_SEQUENTIAL;
    komu_frame_encoder encoder;
    komu_encoder_init(&encoder, options);
    std::vector<komu_frame_entry> index;
    std::vector<uint8_t> data;
    std::vector<uint8_t> payload;
    for (uint64_t f = 0; f < count; ++f) {
        const uint32_t flags = komu_encode_frame(
            &encoder, frames.subspan(f * frame_bytes, frame_bytes), options.kind, &payload);
        if (!komu_check_size(options, count, data.size() + payload.size(), error)) return false;
        if (indexed) {
            index.push_back(
                {static_cast<uint32_t>(data.size()), static_cast<uint32_t>(payload.size()), flags});
        }
        data.insert(data.end(), payload.begin(), payload.end());
    }

    file->clear();
    file->reserve(KOMU_HEADER_BYTES + index.size() * KOMU_ENTRY_BYTES + data.size());
    komu_append_prefix(komu_make_header(options, static_cast<uint32_t>(count)), index, file);
    file->insert(file->end(), data.begin(), data.end());
    return true;
}
