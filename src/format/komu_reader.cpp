// The stream reader: validates a KOMU file, loads its index and decodes one
// frame per call, forwards, over a plain descriptor; komu_seek moves to any
// frame of a regular file by decoding forwards from a key frame.
//
// Hostile files: every size the file declares (extra header bytes, the
// index, a payload, a gap) is compared with what the file still holds before
// anything is allocated or skipped for it, so a small file can never make the
// reader reserve more than about twice its own size plus two frames (four
// once komu_seek has set two aside). A pipe has no size to compare with:
// there the index is bounded by the format (8 MiB) and a payload by
// KOMU_MAX_PIPE_PAYLOAD.
#include <unistd.h>

#include <cstring>
#include <limits>

#include "komu.h"
#include "komu_runtime.h"

namespace {

constexpr uint32_t SKIP_CHUNK = 256;          // bytes skipped per read
constexpr uint32_t FIRST_CAPACITY = 4096;     // first size of a growable buffer
constexpr uint64_t MAX_U32 = 0xFFFFFFFFu;

// Records why the stream failed and returns -1, the reader's one failure.
int fail(komu_stream* s, uint32_t code, uint64_t a = 0, uint64_t b = 0) {
    s->failure = komu_failure{code, 0, a, b};
    return -1;
}

// Reads exactly n bytes: READ_OK, READ_END when the file ends first, or
// READ_ERROR. A read that returns 0 or less ends the loop; no retry.
enum read_result { READ_OK, READ_END, READ_ERROR };

read_result read_exact(int fd, void* buf, uint32_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        const ssize_t got = komu_file_read(fd, p, n);
        if (got == 0) return READ_END;
        if (got < 0) return READ_ERROR;
        p += got;
        n -= static_cast<uint32_t>(got);
    }
    return READ_OK;
}

// Passes over n bytes by reading them, 256 at a time.
read_result skip_bytes(int fd, uint64_t n) {
    uint8_t sink[SKIP_CHUNK];
    while (n > 0) {
        const uint32_t chunk = n < SKIP_CHUNK ? static_cast<uint32_t>(n) : SKIP_CHUNK;
        if (const read_result r = read_exact(fd, sink, chunk); r != READ_OK) return r;
        n -= chunk;
    }
    return READ_OK;
}

// A read that fell short, as a failure: the file ended (cut) or could not
// be read.
int fail_read(komu_stream* s, read_result r, uint32_t cut_code) {
    return fail(s, r == READ_END ? cut_code : KOMU_FAIL_READ_ERROR);
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

// Puts the descriptor at byte `at` of the data area.
bool position_at(const komu_stream* s, uint64_t at) {
    const uint64_t pos = s->data_offset + at;
    if (pos > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
    return lseek(s->fd, static_cast<off_t>(pos), SEEK_SET) == static_cast<off_t>(pos);
}

// Validates the header's fields; 0, or the failure of the first bad one.
int check_header(komu_stream* s, const komu_header& h) {
    if (h.magic != KOMU_MAGIC) return fail(s, KOMU_FAIL_NOT_KOMU);
    if (h.mode < KOMU_MODE_SEQUENTIAL || h.mode > KOMU_MODE_INDEXED_ALT) {
        return fail(s, KOMU_FAIL_MODE, h.mode);
    }
    if (h.width < 1 || h.width > KOMU_MAX_WIDTH) return fail(s, KOMU_FAIL_WIDTH, h.width);
    if (h.height < 1 || h.height > KOMU_MAX_HEIGHT) return fail(s, KOMU_FAIL_HEIGHT, h.height);
    if (h.pixel_format != KOMU_PIXEL_RGB565) return fail(s, KOMU_FAIL_PIXEL_FORMAT, h.pixel_format);
    if (h.frame_count == 0) return fail(s, KOMU_FAIL_NO_FRAMES);
    if (h.header_size < KOMU_HEADER_BYTES) return fail(s, KOMU_FAIL_HEADER_SIZE, h.header_size);
    return 0;
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

// Back to the start of the data area, as before frame 0: false when the
// descriptor cannot be put there (or no open has found the data area).
bool rewind_data(komu_stream* s) {
    s->next_index = 0;
    s->consumed = 0;
    return s->data_offset != 0 && position_at(s, 0);
}

// Rewinds a looping stream to frame 0: seeks back to the data area, or
// reopens the file when the seek does not land there. A pipe cannot be read
// again (and reopening a FIFO would wait for another writer).
int restart(komu_stream* s) {
    if (!s->seekable) return fail(s, KOMU_FAIL_CANNOT_REOPEN);
    if (!rewind_data(s)) {
        if (s->fd >= 0) close(s->fd);
        s->fd = -1;
        if (s->path[0] == '\0') return fail(s, KOMU_FAIL_CANNOT_REOPEN);
        if (komu_open_and_prepare_stream(s, s->path) != 0) return -1;
    }
    std::memset(s->prev_frame, 0, s->frame_bytes);  // a delta at frame 0 is its own mask
    return 0;
}

int decode_sequential(komu_stream* s) {
    const read_result r = read_exact(s->fd, s->cur_frame, s->frame_bytes);
    if (r != READ_OK) return fail_read(s, r, KOMU_FAIL_FRAME_CUT);
    std::memcpy(s->prev_frame, s->cur_frame, s->frame_bytes);
    s->next_index += 1;
    s->consumed += s->frame_bytes;  // wraps past 4 GiB; only indexed files rely on it
    return 0;
}

int decode_indexed(komu_stream* s) {
    const komu_frame_entry e = s->index[s->next_index];
    // Overlapping or backward payload.
    if (e.offset < s->consumed) return fail(s, KOMU_FAIL_OVERLAP, e.offset, s->consumed);
    // The payload must end where a 32-bit position can count it, and inside
    // the file: checked before the gap is skipped or the buffer grown.
    const uint64_t end = uint64_t{e.offset} + e.size;
    if (end > MAX_U32 || s->data_offset + end > s->file_size) {
        return fail(s, KOMU_FAIL_PAYLOAD_PAST_END, s->data_offset + end, s->file_size);
    }
    if (!s->seekable && e.size > KOMU_MAX_PIPE_PAYLOAD) {
        return fail(s, KOMU_FAIL_PIPE_PAYLOAD, e.size, KOMU_MAX_PIPE_PAYLOAD);
    }

    if (e.offset > s->consumed) {
        const read_result r = skip_bytes(s->fd, e.offset - s->consumed);
        if (r != READ_OK) return fail_read(s, r, KOMU_FAIL_PAYLOAD_CUT);
        s->consumed = e.offset;
    }
    if (!grow(&s->payload, &s->payload_cap, e.size)) return fail(s, KOMU_FAIL_NO_MEMORY);
    if (e.size > 0) {
        const read_result r = read_exact(s->fd, s->payload, e.size);
        if (r != READ_OK) return fail_read(s, r, KOMU_FAIL_PAYLOAD_CUT);
    }
    s->consumed += e.size;

    if (e.flags & KOMU_FRAME_DELTA) {
        if (e.flags & KOMU_FRAME_DELTA_RLE) {
            // The coded mask is applied to the reference in place, run by
            // run (a mask is mostly zero runs, which change nothing), rather
            // than expanded first: no mask buffer, two frame passes fewer.
            if (rle_xor_packbits(s->payload, e.size, s->prev_frame, s->frame_bytes) != 0) {
                return fail(s, KOMU_FAIL_RLE_MASK, e.size);
            }
            std::memcpy(s->cur_frame, s->prev_frame, s->frame_bytes);
        } else {
            if (e.size != s->frame_bytes) {
                return fail(s, KOMU_FAIL_RAW_MASK_SIZE, e.size, s->frame_bytes);
            }
            apply_delta(s->cur_frame, s->prev_frame, s->payload, s->frame_bytes);
        }
    } else {
        if (e.flags & KOMU_FRAME_RLE16) {
            if (rle_decode_packbits(s->payload, e.size, s->cur_frame, s->frame_bytes, 2) != 0) {
                return fail(s, KOMU_FAIL_RLE_PICTURE, e.size);
            }
        } else {
            if (e.size != s->frame_bytes) return fail(s, KOMU_FAIL_RAW_SIZE, e.size, s->frame_bytes);
            std::memcpy(s->cur_frame, s->payload, s->frame_bytes);
        }
        std::memcpy(s->prev_frame, s->cur_frame, s->frame_bytes);
    }
    s->next_index += 1;
    return 0;
}

// Where `consumed` stands once frame k of an indexed file is decoded.
uint64_t payload_end(const komu_stream* s, uint32_t k) {
    return uint64_t{s->index[k].offset} + s->index[k].size;
}

// komu_seek's work for frames >= 1, its bounds checked. Mode 1 reads frame
// frames - 1 where it lies.
int seek_sequential(komu_stream* s, uint32_t frames) {
    s->next_index = frames - 1;
    s->consumed = (frames - 1) * s->frame_bytes;  // wraps past 4 GiB, as decoding does
    if (!position_at(s, uint64_t{frames - 1} * s->frame_bytes)) return fail(s, KOMU_FAIL_READ_ERROR);
    return decode_sequential(s);
}

// Indexed modes decode frames from..frames-1, `from` being the nearest of: a
// key frame at or before frames - 1; the next frame of the record as it
// stands, when consumed shows it is where decoding left it; frame 0 with a
// zero reference.
int seek_indexed(komu_stream* s, uint32_t frames) {
    const uint32_t here = s->next_index;
    const bool go_on = here >= 1 && here < frames && s->consumed == payload_end(s, here - 1);
    uint32_t from = frames - 1;
    while (from > 0 && !(go_on && from == here) && (s->index[from].flags & KOMU_FRAME_DELTA)) {
        --from;
    }
    if (from == 0) {
        s->next_index = 0;
        s->consumed = 0;
        std::memset(s->prev_frame, 0, s->frame_bytes);
    } else if (!(go_on && from == here)) {
        // Just past the payload before, as decoding forwards would stand, so
        // that frame `from` gets the same order check and gap. An end past
        // 32 bits is cut to MAX_U32: frame `from` then starts before it, or
        // is an empty payload at MAX_U32, which no payload kind accepts.
        const uint64_t before = payload_end(s, from - 1);
        s->next_index = from;
        s->consumed = static_cast<uint32_t>(before < MAX_U32 ? before : MAX_U32);
    }
    if (!position_at(s, s->consumed)) return fail(s, KOMU_FAIL_READ_ERROR);
    while (s->next_index < frames) {
        if (decode_indexed(s) != 0) return -1;
    }
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
    uint32_t why = 0;
    const int fd = komu_file_open(path, &why);
    if (fd < 0) return fail(stream, why);

    // A file's size bounds every declared size below; a pipe has none (its
    // size is KOMU_SIZE_UNKNOWN, which passes every such check), and is read
    // once from start to end. Before the header is stored, a failure closes
    // the descriptor here.
    const uint64_t size = file_size_of(fd);
    komu_header h{};
    const int bad = [&] {
        const read_result r = read_exact(fd, &h, KOMU_HEADER_BYTES);
        if (r == READ_END) return fail(stream, KOMU_FAIL_TOO_SHORT, size);
        if (r != READ_OK) return fail(stream, KOMU_FAIL_READ_ERROR);
        if (check_header(stream, h) != 0) return -1;
        if (h.header_size > size) return fail(stream, KOMU_FAIL_HEADER_PAST_END, h.header_size, size);
        if (stream->header.magic == KOMU_MAGIC && !same_video(stream->header, h)) {
            return fail(stream, KOMU_FAIL_CHANGED);
        }
        const read_result skipped = skip_bytes(fd, h.header_size - KOMU_HEADER_BYTES);
        if (skipped == READ_END) return fail(stream, KOMU_FAIL_HEADER_PAST_END, h.header_size, size);
        return skipped == READ_OK ? 0 : fail(stream, KOMU_FAIL_READ_ERROR);
    }();
    if (bad != 0) {
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
    stream->seekable = size != KOMU_SIZE_UNKNOWN ? 1 : 0;

    if (h.mode == KOMU_MODE_SEQUENTIAL) {
        stream->data_offset = h.header_size;
        return 0;
    }

    // Indexed. From here a failure leaves fd in the record for komu_close.
    const uint64_t index_bytes = uint64_t{KOMU_ENTRY_BYTES} * h.frame_count;
    if (index_bytes > KOMU_MAX_INDEX_BYTES) return fail(stream, KOMU_FAIL_TOO_MANY_FRAMES, h.frame_count);
    const uint64_t data_offset = uint64_t{h.header_size} + index_bytes;
    if (data_offset > MAX_U32 || data_offset > stream->file_size) {
        return fail(stream, KOMU_FAIL_INDEX_PAST_END, index_bytes,
                    stream->file_size - h.header_size);
    }

    // A reopen has the same frame count (checked above): the loaded index stands.
    const bool reopen = stream->index != nullptr;
    if (!reopen) {
        void* p = komu_realloc(nullptr, static_cast<size_t>(index_bytes));
        if (p == nullptr) return fail(stream, KOMU_FAIL_NO_MEMORY);
        stream->index = static_cast<komu_frame_entry*>(p);
    }
    const read_result r = reopen ? skip_bytes(fd, index_bytes)
                                 : read_exact(fd, stream->index, static_cast<uint32_t>(index_bytes));
    if (r == READ_END) return fail(stream, KOMU_FAIL_INDEX_PAST_END, index_bytes, KOMU_SIZE_UNKNOWN);
    if (r != READ_OK) return fail(stream, KOMU_FAIL_READ_ERROR);
    stream->data_offset = static_cast<uint32_t>(data_offset);
    return 0;
}

int komu_open_stream(komu_stream* stream, const char* path) {
    komu_stream_init(stream);
    size_t len = 0;
    while (len < KOMU_MAX_PATH && path[len] != '\0') ++len;
    if (len == KOMU_MAX_PATH) return fail(stream, KOMU_FAIL_PATH_TOO_LONG);  // nothing is opened
    std::memcpy(stream->path, path, len + 1);

    // From the open on the record owns whatever was obtained, and komu_close
    // releases it on any failure; only the reason stays.
    int result = komu_open_and_prepare_stream(stream, stream->path);
    if (result == 0 && !prepare_frames(stream)) result = fail(stream, KOMU_FAIL_NO_MEMORY);
    if (result != 0) {
        const komu_failure why = stream->failure;
        komu_close(stream);
        stream->failure = why;
    }
    return result;
}

int komu_decode_next(komu_stream* stream) {
    if (stream->fd < 0 || stream->cur_frame == nullptr || stream->prev_frame == nullptr) {
        return fail(stream, KOMU_FAIL_NOT_OPEN);
    }
    int result = 0;
    if (stream->next_index >= stream->header.frame_count) {
        if (!(stream->header.flags & KOMU_LOOP)) return 1;
        result = restart(stream);
    }
    if (result == 0) {
        result = stream->header.mode == KOMU_MODE_SEQUENTIAL ? decode_sequential(stream)
                                                              : decode_indexed(stream);
    }
    // The frame being decoded, as the status bar counts (1 for a restart
    // that failed before moving the count back).
    if (result != 0) stream->failure.frame = stream->next_index % stream->header.frame_count + 1;
    return result;
}

int komu_seek(komu_stream* s, uint32_t frames) {
    if (s->fd < 0 || s->cur_frame == nullptr || s->prev_frame == nullptr) {
        return fail(s, KOMU_FAIL_NOT_OPEN);
    }
    if (!s->seekable) return fail(s, KOMU_FAIL_CANNOT_SEEK);
    if (frames > s->header.frame_count) {
        return fail(s, KOMU_FAIL_NO_SUCH_FRAME, frames, s->header.frame_count);
    }
    // Set aside all that a failure puts back: the file offset, the two
    // pictures (in scratch), the position.
    const off_t offset = lseek(s->fd, 0, SEEK_CUR);
    if (offset < 0) return fail(s, KOMU_FAIL_READ_ERROR);
    const uint32_t fb = s->frame_bytes;  // at most 614,400: 2 * fb fits
    if (s->scratch_cap < 2 * fb) {
        void* p = komu_realloc(s->scratch, size_t{2} * fb);
        if (p == nullptr) return fail(s, KOMU_FAIL_NO_MEMORY);
        s->scratch = static_cast<uint8_t*>(p);
        s->scratch_cap = 2 * fb;
    }
    std::memcpy(s->scratch, s->cur_frame, fb);
    std::memcpy(s->scratch + fb, s->prev_frame, fb);
    const uint32_t next_index = s->next_index, consumed = s->consumed;

    int result = 0;
    if (frames == 0) {
        result = rewind_data(s) ? 0 : fail(s, KOMU_FAIL_READ_ERROR);
        if (result == 0) std::memset(s->prev_frame, 0, fb);
    } else {
        result = s->header.mode == KOMU_MODE_SEQUENTIAL ? seek_sequential(s, frames)
                                                         : seek_indexed(s, frames);
    }
    if (result != 0) {
        s->failure.frame = s->next_index + 1;
        std::memcpy(s->cur_frame, s->scratch, fb);
        std::memcpy(s->prev_frame, s->scratch + fb, fb);
        s->next_index = next_index;
        s->consumed = consumed;
        (void)lseek(s->fd, offset, SEEK_SET);  // back where a regular file was
    }
    return result;
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
