// The KOMU encoder: PackBits run-length coding, the per-frame choice of
// payload kind, and the streaming writer.
#include "komu_write.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "output.h"

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

namespace {

// num/den in lowest terms; a fraction too large for 32 bits (only from
// absurd inputs) is approximated by dropping low bits of both.
void reduce_to_u32(uint64_t num, uint64_t den, uint32_t* out_num, uint32_t* out_den) {
    const uint64_t g = std::gcd(num, den);
    num /= g;
    den /= g;
    while (num > 0xFFFFFFFFull || den > 0xFFFFFFFFull) {
        num = (num + 1) >> 1;
        den = (den + 1) >> 1;
    }
    *out_num = static_cast<uint32_t>(num);
    *out_den = static_cast<uint32_t>(den);
}

bool playable(uint64_t num, uint64_t den) {
    return num >= KOMU_MIN_FPS * den && num <= KOMU_MAX_FPS * den;
}

}  // namespace

komu_rate_fit komu_playable_rate(uint32_t num, uint32_t den) {
    komu_rate_fit fit{num, den, 1, 1};
    if (num == 0 || den == 0 || playable(num, den)) return fit;
    if (num < uint64_t{KOMU_MIN_FPS} * den) {
        const uint64_t m = (uint64_t{KOMU_MIN_FPS} * den + num - 1) / num;  // >= 2
        fit.repeat = static_cast<uint32_t>(std::min<uint64_t>(m, 0xFFFFFFFFull));
        reduce_to_u32(uint64_t{num} * fit.repeat, den, &fit.num, &fit.den);
    } else {
        const uint64_t m = (num + uint64_t{KOMU_MAX_FPS} * den - 1) / (uint64_t{KOMU_MAX_FPS} * den);
        fit.keep_every = static_cast<uint32_t>(m);
        reduce_to_u32(num, uint64_t{den} * m, &fit.num, &fit.den);
    }
    // An approximated fraction may land just outside; the bound itself is then closest.
    if (!playable(fit.num, fit.den)) {
        fit.num = fit.repeat > 1 ? KOMU_MIN_FPS : KOMU_MAX_FPS;
        fit.den = 1;
    }
    return fit;
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
    if (!playable(o.fps_num, o.fps_den)) {
        *error = "frame rate " + std::to_string(o.fps_num) + "/" + std::to_string(o.fps_den) +
                 " is outside the 5..1000 frames per second the player plays";
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

namespace {

komu_header make_header(const komu_encode_options& o, uint32_t frame_count) {
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
    h.header_size = KOMU_HEADER_BYTES + o.header_extra;
    return h;
}

// The payload of the next frame into w->payload; returns its entry flags.
uint32_t encode_frame(komu_writer* w, std::span<const uint8_t> frame, komu_kind kind) {
    const komu_encode_options& o = w->options;
    const uint8_t* pixels = frame.data();
    const bool key_due = o.key_interval > 0 && w->since_key >= o.key_interval;
    std::vector<uint8_t>* payload = &w->payload;
    uint32_t flags = 0;

    auto make_raw = [&] { payload->assign(pixels, pixels + w->frame_bytes); };
    auto make_mask = [&] {
        for (uint32_t i = 0; i < w->frame_bytes; ++i) {
            w->mask[i] = static_cast<uint8_t>(pixels[i] ^ w->reference[i]);
        }
    };

    if (o.mode == KOMU_MODE_SEQUENTIAL || kind == komu_kind::raw ||
        (kind == komu_kind::delta && key_due)) {
        make_raw();
    } else if (kind == komu_kind::rle || (kind == komu_kind::delta_rle && key_due)) {
        *payload = rle_encode_packbits(frame.first(w->frame_bytes), 2);
        flags = KOMU_FRAME_RLE16;
    } else if (kind == komu_kind::delta) {
        make_mask();
        payload->assign(w->mask.begin(), w->mask.end());
        flags = KOMU_FRAME_DELTA;
    } else if (kind == komu_kind::delta_rle) {
        make_mask();
        *payload = rle_encode_packbits(w->mask, 1);
        flags = KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE;
    } else {
        // Automatic: a raw key unless a run-length payload is strictly smaller.
        std::vector<uint8_t> best = rle_encode_packbits(frame.first(w->frame_bytes), 2);
        flags = KOMU_FRAME_RLE16;
        if (!key_due && w->frames > 0) {
            make_mask();
            std::vector<uint8_t> delta = rle_encode_packbits(w->mask, 1);
            if (delta.size() < best.size()) {
                best.swap(delta);
                flags = KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE;
            }
        }
        if (best.size() < w->frame_bytes) {
            payload->swap(best);
        } else {
            make_raw();
            flags = 0;
        }
    }
    return o.mode == KOMU_MODE_SEQUENTIAL ? 0 : flags;
}

// Header and index: everything of the file before its data area.
std::vector<uint8_t> file_prefix(const komu_writer& w) {
    const komu_header h = make_header(w.options, static_cast<uint32_t>(w.frames));
    std::vector<uint8_t> out(KOMU_HEADER_BYTES + w.options.header_extra, 0);
    std::memcpy(out.data(), &h, KOMU_HEADER_BYTES);
    const auto* x = reinterpret_cast<const uint8_t*>(w.index.data());
    out.insert(out.end(), x, x + w.index.size() * KOMU_ENTRY_BYTES);
    return out;
}

bool check_finish(const komu_writer& w, std::string* error) {
    if (w.frames > 0) return true;
    *error = "no frames";
    return false;
}

}  // namespace

int komu_payload_kind(uint32_t flags) {
    if (flags & KOMU_FRAME_DELTA) return (flags & KOMU_FRAME_DELTA_RLE) ? 3 : 2;
    return (flags & KOMU_FRAME_RLE16) ? 1 : 0;
}

bool komu_writer_begin(komu_writer* w, const komu_encode_options& options, int scratch_fd,
                       std::string* error) {
    if (!komu_check_options(options, error)) return false;
    *w = komu_writer{};
    w->options = options;
    w->frame_bytes = uint32_t{options.width} * options.height * 2;
    w->since_key = options.key_interval;
    w->scratch_fd = scratch_fd;
    w->reference.assign(w->frame_bytes, 0);
    w->mask.assign(w->frame_bytes, 0);
    return true;
}

bool komu_writer_add(komu_writer* w, std::span<const uint8_t> frame, komu_kind kind,
                     std::string* error) {
    if (frame.size() != w->frame_bytes) {
        *error = "a frame of " + std::to_string(frame.size()) + " bytes, not " +
                 std::to_string(w->frame_bytes);
        return false;
    }
    const uint32_t flags = encode_frame(w, frame, kind);
    if (!komu_check_size(w->options, w->frames + 1, w->data_bytes + w->payload.size(), error)) {
        return false;
    }
    if (w->scratch_fd >= 0) {
        if (!write_all(w->scratch_fd, w->payload.data(), w->payload.size())) {
            *error = "writing the scratch file: " + errno_text();
            return false;
        }
    } else {
        w->data.insert(w->data.end(), w->payload.begin(), w->payload.end());
    }
    if (w->options.mode != KOMU_MODE_SEQUENTIAL) {
        w->index.push_back({static_cast<uint32_t>(w->data_bytes),
                            static_cast<uint32_t>(w->payload.size()), flags});
    }
    std::memcpy(w->reference.data(), frame.data(), w->frame_bytes);
    w->frames += 1;
    w->data_bytes += w->payload.size();
    w->kinds[komu_payload_kind(flags)] += 1;
    w->since_key = (flags & KOMU_FRAME_DELTA) ? w->since_key + 1 : 1;
    return true;
}

uint64_t komu_writer_file_bytes(const komu_writer& w) {
    return KOMU_HEADER_BYTES + uint64_t{w.options.header_extra} +
           uint64_t{KOMU_ENTRY_BYTES} * w.index.size() + w.data_bytes;
}

bool komu_writer_finish(komu_writer* w, int out_fd, std::string* error) {
    if (!check_finish(*w, error)) return false;
    const std::vector<uint8_t> prefix = file_prefix(*w);
    const bool ok = write_all(out_fd, prefix.data(), prefix.size()) &&
                    (w->scratch_fd >= 0 ? copy_from_start(w->scratch_fd, out_fd)
                                        : write_all(out_fd, w->data.data(), w->data.size()));
    if (!ok) *error = errno_text();
    return ok;
}

bool komu_writer_finish(komu_writer* w, std::vector<uint8_t>* file, std::string* error) {
    if (!check_finish(*w, error)) return false;
    if (w->scratch_fd >= 0) {
        *error = "the payloads are in a scratch file";
        return false;
    }
    *file = file_prefix(*w);
    file->insert(file->end(), w->data.begin(), w->data.end());
    return true;
}

bool komu_encode(const komu_encode_options& options, std::span<const uint8_t> frames,
                 std::vector<uint8_t>* file, std::string* error) {
    komu_writer w;
    if (!komu_writer_begin(&w, options, -1, error)) return false;
    if (frames.size() % w.frame_bytes != 0) {
        *error = "input is not a whole number of " + std::to_string(w.frame_bytes) + "-byte frames";
        return false;
    }
    for (size_t at = 0; at < frames.size(); at += w.frame_bytes) {
        if (!komu_writer_add(&w, frames.subspan(at, w.frame_bytes), options.kind, error)) {
            return false;
        }
    }
    return komu_writer_finish(&w, file, error);
}
