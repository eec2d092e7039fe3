// The stream reader: validates a KOMU file, loads its index and decodes one
// frame per call, strictly forwards, over a plain descriptor.
//
// Hostile files: every size the file declares (extra header bytes, the
// index, a payload, a gap) is compared with what the file still holds before
// anything is allocated or skipped for it, so a small file can never make the
// reader reserve more than about twice its own size plus two frames.
#include <unistd.h>

#include <cstring>

#include "komu.h"
#include "komu_runtime.h"

namespace {

constexpr uint32_t SKIP_CHUNK = 256;          // bytes skipped per read
constexpr uint32_t FIRST_CAPACITY = 4096;     // first size of a growable buffer
constexpr uint64_t MAX_U32 = 0xFFFFFFFFu;

// Reads exactly n bytes. A read that returns 0 or less fails; no retry.
bool read_exact(int fd, void* buf, uint32_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        const ssize_t got = komu_file_read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<uint32_t>(got);
    }
    return true;
}

// Passes over n bytes by reading them, 256 at a time.
bool skip_bytes(int fd, uint64_t n) {
    uint8_t sink[SKIP_CHUNK];
    while (n > 0) {
        const uint32_t chunk = n < SKIP_CHUNK ? static_cast<uint32_t>(n) : SKIP_CHUNK;
        if (!read_exact(fd, sink, chunk)) return false;
        n -= chunk;
    }
    return true;
}

// Grows *buf to hold at least need bytes: from 4096 (or the current
// capacity) by doubling, keeping the contents. Fails, leaving buffer and
// capacity as they were, when reallocation fails or the doubling would pass
// 2^31 (the largest capacity a 32-bit count can double to).
bool grow(uint8_t** buf, uint32_t* cap, uint32_t need) {
    if (*cap >= need) return true;
    uint64_t new_cap = *cap ? *cap : FIRST_CAPACITY;
    while (new_cap < need) new_cap *= 2;
    if (new_cap > 0x80000000u) return false;
    void* p = komu_realloc(*buf, static_cast<size_t>(new_cap));
    if (p == nullptr) return false;
    *buf = static_cast<uint8_t*>(p);
    *cap = static_cast<uint32_t>(new_cap);
    return true;
}

// The file's size, by seeking to its end and back to the start; unknown
// when the descriptor cannot seek (a pipe, a terminal).
uint64_t file_size_of(int fd) {
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) != 0) return KOMU_SIZE_UNKNOWN;
    return static_cast<uint64_t>(end);
}

bool header_is_valid(const komu_header& h) {
    return h.magic == KOMU_MAGIC && h.mode >= KOMU_MODE_SEQUENTIAL &&
           h.mode <= KOMU_MODE_INDEXED_ALT && h.width >= 1 && h.width <= KOMU_MAX_WIDTH &&
           h.height >= 1 && h.height <= KOMU_MAX_HEIGHT && h.pixel_format == KOMU_PIXEL_RGB565 &&
           h.frame_count != 0 && h.header_size >= KOMU_HEADER_BYTES;
}

// A reopen while looping must describe the same video: the frame buffers
// and the loaded index were sized from the first open.
bool same_video(const komu_header& a, const komu_header& b) {
    return a.width == b.width && a.height == b.height && a.mode == b.mode &&
           a.frame_count == b.frame_count;
}

uint32_t frame_bytes_of(const komu_header& h) {
    return static_cast<uint32_t>(h.width) * h.height * 2;  // at most 614,400
}

// new = old XOR mask, and the result kept as the next reference, in one pass.
void apply_delta(uint8_t* cur, uint8_t* prev, const uint8_t* mask, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        const auto v = static_cast<uint8_t>(prev[i] ^ mask[i]);
        cur[i] = v;
        prev[i] = v;
    }
}

// Rewinds a looping stream to frame 0: seeks back to the data area, or
// reopens the file when the seek does not land there.
int restart(komu_stream* s) {
    s->next_index = 0;
    s->consumed = 0;
    // data_offset lies within the file, whose size lseek reported as an
    // off_t, so it fits one (also where off_t is 32-bit).
    const auto offset = static_cast<off_t>(s->data_offset);
    const bool positioned = s->data_offset != 0 && lseek(s->fd, offset, SEEK_SET) == offset;
    if (!positioned) {
        if (s->fd >= 0) close(s->fd);
        s->fd = -1;
        if (s->path[0] == '\0') return -1;
        if (komu_open_and_prepare_stream(s, s->path) != 0) return -1;
    }
    std::memset(s->prev_frame, 0, s->frame_bytes);  // a delta at frame 0 is its own mask
    return 0;
}

int decode_sequential(komu_stream* s) {
    if (!read_exact(s->fd, s->cur_frame, s->frame_bytes)) return -1;
    std::memcpy(s->prev_frame, s->cur_frame, s->frame_bytes);
    s->next_index += 1;
    s->consumed += s->frame_bytes;  // wraps past 4 GiB; only indexed files rely on it
    return 0;
}

int decode_indexed(komu_stream* s) {
    const komu_frame_entry e = s->index[s->next_index];
    if (e.offset < s->consumed) return -1;  // overlapping or backward payload
    // The payload must end where a 32-bit position can count it, and inside
    // the file: checked before the gap is skipped or the buffer grown.
    const uint64_t end = uint64_t{e.offset} + e.size;
    if (end > MAX_U32 || s->data_offset + end > s->file_size) return -1;

    if (e.offset > s->consumed) {
        if (!skip_bytes(s->fd, e.offset - s->consumed)) return -1;
        s->consumed = e.offset;
    }
    if (!grow(&s->payload, &s->payload_cap, e.size)) return -1;
    if (e.size > 0 && !read_exact(s->fd, s->payload, e.size)) return -1;
    s->consumed += e.size;

    if (e.flags & KOMU_FRAME_DELTA) {
        if (e.flags & KOMU_FRAME_DELTA_RLE) {
            // The coded mask is applied to the reference in place, run by
            // run (a mask is mostly zero runs, which change nothing), rather
            // than expanded first: no mask buffer, two frame passes fewer.
            if (rle_xor_packbits(s->payload, e.size, s->prev_frame, s->frame_bytes) != 0) {
                return -1;
            }
            std::memcpy(s->cur_frame, s->prev_frame, s->frame_bytes);
        } else {
            if (e.size != s->frame_bytes) return -1;
            apply_delta(s->cur_frame, s->prev_frame, s->payload, s->frame_bytes);
        }
    } else {
        if (e.flags & KOMU_FRAME_RLE16) {
            if (rle_decode_packbits(s->payload, e.size, s->cur_frame, s->frame_bytes, 2) != 0) {
                return -1;
            }
        } else {
            if (e.size != s->frame_bytes) return -1;
            std::memcpy(s->cur_frame, s->payload, s->frame_bytes);
        }
        std::memcpy(s->prev_frame, s->cur_frame, s->frame_bytes);
    }
    s->next_index += 1;
    return 0;
}

// Sets width and height from the header and allocates cur_frame, then
// prev_frame, storing each pointer as soon as it is obtained.
bool prepare_frames(komu_stream* s) {
    s->width = s->header.width;
    s->height = s->header.height;
    s->cur_frame = static_cast<uint8_t*>(komu_realloc(nullptr, s->frame_bytes));
    if (s->cur_frame == nullptr) return false;
    s->prev_frame = static_cast<uint8_t*>(komu_realloc(nullptr, s->frame_bytes));
    if (s->prev_frame == nullptr) return false;
    std::memset(s->cur_frame, 0, s->frame_bytes);
    std::memset(s->prev_frame, 0, s->frame_bytes);
    return true;
}

}  // namespace

void komu_stream_init(komu_stream* stream) {
    std::memset(stream, 0, sizeof *stream);
    stream->fd = -1;
}

uint32_t komu_frame_interval_us(uint32_t fps_num, uint32_t fps_den) {
    const uint64_t num = fps_num ? fps_num : 30;
    const uint64_t den = fps_den ? fps_den : 1;
    uint64_t us = den * 1'000'000u / num;
    if (us > 200'000) us = 200'000;
    if (us < 1'000) us = 1'000;
    return static_cast<uint32_t>(us);
}

int komu_open_and_prepare_stream(komu_stream* stream, const char* path) {
    const int fd = komu_file_open(path);
    if (fd < 0) return -1;

    // Only files of a known size: it bounds every declared size below, and
    // looping needs a file that can be read again from the start.
    const uint64_t size = file_size_of(fd);
    komu_header h{};
    const bool ok = size != KOMU_SIZE_UNKNOWN && read_exact(fd, &h, KOMU_HEADER_BYTES) &&
                    header_is_valid(h) && h.header_size <= size &&
                    (stream->header.magic != KOMU_MAGIC || same_video(stream->header, h)) &&
                    skip_bytes(fd, h.header_size - KOMU_HEADER_BYTES);
    if (!ok) {
        close(fd);
        return -1;
    }

    stream->fd = fd;
    stream->next_index = 0;
    stream->header = h;
    stream->consumed = 0;
    stream->frame_bytes = frame_bytes_of(h);
    stream->data_offset = 0;
    stream->file_size = size;

    if (h.mode == KOMU_MODE_SEQUENTIAL) {
        stream->data_offset = h.header_size;
        return 0;
    }

    // Indexed. From here a failure leaves fd in the record for komu_close.
    const uint64_t index_bytes = uint64_t{KOMU_ENTRY_BYTES} * h.frame_count;
    if (index_bytes > KOMU_MAX_INDEX_BYTES) return -1;
    const uint64_t data_offset = uint64_t{h.header_size} + index_bytes;
    if (data_offset > MAX_U32 || data_offset > stream->file_size) return -1;

    if (stream->index != nullptr) {
        // A reopen: same frame count (checked above), so the loaded index stands.
        if (!skip_bytes(fd, index_bytes)) return -1;
    } else {
        void* p = komu_realloc(nullptr, static_cast<size_t>(index_bytes));
        if (p == nullptr) return -1;
        stream->index = static_cast<komu_frame_entry*>(p);
        if (!read_exact(fd, stream->index, static_cast<uint32_t>(index_bytes))) return -1;
    }
    stream->data_offset = static_cast<uint32_t>(data_offset);
    return 0;
}

int komu_open_stream(komu_stream* stream, const char* path) {
    komu_stream_init(stream);
    size_t len = 0;
    while (len < KOMU_MAX_PATH && path[len] != '\0') ++len;
    if (len == KOMU_MAX_PATH) return -1;  // too long: nothing is opened
    std::memcpy(stream->path, path, len + 1);

    // From the open on the record owns whatever was obtained, and komu_close
    // releases it on any failure.
    const bool ok = komu_open_and_prepare_stream(stream, stream->path) == 0 && prepare_frames(stream);
    if (!ok) komu_close(stream);
    return ok ? 0 : -1;
}

int komu_decode_next(komu_stream* stream) {
    if (stream->fd < 0 || stream->cur_frame == nullptr || stream->prev_frame == nullptr) return -1;
    if (stream->next_index >= stream->header.frame_count) {
        if (!(stream->header.flags & KOMU_LOOP)) return 1;
        if (restart(stream) != 0) return -1;
    }
    if (stream->header.mode == KOMU_MODE_SEQUENTIAL) return decode_sequential(stream);
    return decode_indexed(stream);
}

void komu_close(komu_stream* stream) {
    if (stream->fd >= 0) close(stream->fd);
    komu_free(stream->index);
    komu_free(stream->cur_frame);
    komu_free(stream->prev_frame);
    komu_free(stream->payload);
    komu_free(stream->scratch);
    komu_stream_init(stream);
}
