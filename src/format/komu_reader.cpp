// The stream reader: validates a KOMU file, loads its index and decodes one
// frame per call, strictly forwards, over a plain descriptor.
//
// Hostile files: every size the file declares (extra header bytes, the
// index, a payload, a gap) is compared with what the file still holds before
// anything is allocated or skipped for it, so a small file can never make the
// reader reserve more than about twice its own size plus two frames.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "komu.h"

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
// READ_ERROR. A read that returns 0 or less ends the loop (no retry, except
// after an interrupting signal, which is not a failure of the file).
enum read_result { READ_OK, READ_END, READ_ERROR };

read_result read_exact(int fd, void* buf, uint32_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
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

// Rewinds a looping stream to frame 0: seeks back to the data area, or
// reopens the file when the seek does not land there.
int restart(komu_stream* s) {
    s->next_index = 0;
    s->consumed = 0;
    const bool positioned = s->data_offset != 0 &&
                            lseek(s->fd, s->data_offset, SEEK_SET) == off_t{s->data_offset};
    if (!positioned) {
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
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return fail(stream, KOMU_FAIL_NO_SUCH_FILE);
        return fail(stream, KOMU_FAIL_CANNOT_OPEN, static_cast<uint64_t>(errno));
    }

    // Only regular files: their size bounds every declared size below, and
    // looping needs a file that can be read again from the start. Before the
    // header is stored, a failure closes the descriptor here.
    struct stat st {};
    komu_header h{};
    const int bad = [&] {
        if (fstat(fd, &st) != 0) return fail(stream, KOMU_FAIL_READ_ERROR);
        if (S_ISDIR(st.st_mode)) return fail(stream, KOMU_FAIL_DIRECTORY);
        if (!S_ISREG(st.st_mode)) return fail(stream, KOMU_FAIL_NOT_REGULAR);
        const uint64_t size = static_cast<uint64_t>(st.st_size);
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
    stream->file_size = static_cast<uint64_t>(st.st_size);

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

    if (stream->index != nullptr) {
        // A reopen: same frame count (checked above), so the loaded index stands.
        const read_result r = skip_bytes(fd, index_bytes);
        if (r != READ_OK) return fail_read(stream, r, KOMU_FAIL_INDEX_PAST_END);
    } else {
        void* p = komu_realloc(nullptr, static_cast<size_t>(index_bytes));
        if (p == nullptr) return fail(stream, KOMU_FAIL_NO_MEMORY);
        stream->index = static_cast<komu_frame_entry*>(p);
        const read_result r = read_exact(fd, stream->index, static_cast<uint32_t>(index_bytes));
        if (r != READ_OK) return fail_read(stream, r, KOMU_FAIL_INDEX_PAST_END);
    }
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
    if (result != 0) stream->failure.frame = stream->next_index + 1;  // as the status bar counts
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
