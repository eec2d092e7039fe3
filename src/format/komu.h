// KOMU video files: the on-disk records, the stream reader and the
// run-length decoder.
//
// A KOMU file is a fixed header, an optional frame index and a data area of
// frame payloads. Every integer is unsigned little-endian.
//
//   offset 0            header_size          data_offset
//          +-----------+-------------------+----------------------------+
//          | header    | index (modes 2,3) | payloads, in index order   |
//          | 28 bytes  | frame_count x 12  | (gaps between them allowed)|
//          | + extra   |                   |                            |
//          +-----------+-------------------+----------------------------+
//
// Header (28 bytes; header_size may declare more, the rest is skipped):
//    0 u32 magic         0x4B4D5500, file bytes 00 55 4D 4B
//    4 u16 width         1..640 pixels
//    6 u16 height        1..480 rows
//    8 u8  pixel_format  1 = RGB565, 2 bytes per pixel
//    9 u8  flags         bit 0 KOMU_LOOP: restart at frame 0 after the last
//   10 u16 mode          1 sequential raw frames, no index; 2, 3 indexed
//   12 u32 frame_count   at least 1 (indexed: at most 699,050)
//   16 u32 fps_num       0 stands for 30
//   20 u32 fps_den       0 stands for 1
//   24 u32 header_size   at least 28
//
// Index entry (12 bytes): u32 offset (from the data area's start), u32 size,
// u32 flags. Payloads never overlap and never go backwards: each offset is at
// least the previous entry's offset + size.
//
// Payload kinds (entry flags; higher bits ignored):
//   0  raw key frame        the picture itself, exactly frame_bytes long
//   1  run-length key frame  PackBits with 2-byte elements (whole pixels)
//   4  raw delta            an XOR mask, exactly frame_bytes long
//   6  run-length delta     PackBits-coded mask with 1-byte elements
// Bit 0 means nothing on a delta frame, bit 1 nothing on a key frame. The
// reference of a delta frame is the frame decoded just before; at the start
// and at every loop restart it is all zero bytes.
//
// A picture is width x height RGB565 pixels (red 15-11, green 10-5, blue
// 4-0), row-major, top row first, frame_bytes = width * height * 2 (at most
// 614,400).
//
// Run-length coding, element size E: a header byte h (signed 8-bit), then
//    0..127    literal: (h + 1) * E bytes follow and are copied
//   -127..-1   repeat: one E-byte element follows, written 1 - h times
//   -128       no operation
// No run may read past the payload or write past the frame; decoding stops
// when either is used up. Bytes after a full frame are ignored.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t KOMU_MAGIC = 0x4B4D5500u;
inline constexpr uint32_t KOMU_HEADER_BYTES = 28;
inline constexpr uint32_t KOMU_ENTRY_BYTES = 12;
inline constexpr uint32_t KOMU_MAX_WIDTH = 640;
inline constexpr uint32_t KOMU_MAX_HEIGHT = 480;
inline constexpr uint32_t KOMU_PIXEL_RGB565 = 1;
// The index of an indexed file is at most 8 MiB: 699,050 entries.
inline constexpr uint32_t KOMU_MAX_INDEX_BYTES = 0x800000u;
inline constexpr uint32_t KOMU_MAX_INDEXED_FRAMES = KOMU_MAX_INDEX_BYTES / KOMU_ENTRY_BYTES;
inline constexpr uint32_t KOMU_MAX_FRAME_BYTES = KOMU_MAX_WIDTH * KOMU_MAX_HEIGHT * 2;
// A path must fit komu_stream::path with its NUL: at most 255 characters.
inline constexpr uint32_t KOMU_MAX_PATH = 256;
// The largest payload taken from a stream of unknown size (a pipe), where the
// file's size cannot bound what a declared size makes the reader allocate:
// 1,228,800 bytes, twice the largest frame. No frame needs more. A raw
// payload is exactly one frame; run-length coding at its least efficient,
// every element a literal run of its own, adds one header byte per element:
// twice the frame for 1-byte mask elements, 1.5 times for 2-byte pixels.
// Only no-operation bytes and bytes after a full frame, which the format
// allows but no writer needs, could make a payload longer.
inline constexpr uint32_t KOMU_MAX_PIPE_PAYLOAD = 2 * KOMU_MAX_FRAME_BYTES;
// komu_stream::file_size of a descriptor that cannot seek (a pipe): it
// cannot be measured, nor read again.
inline constexpr uint64_t KOMU_SIZE_UNKNOWN = ~uint64_t{0};

// Header flags.
inline constexpr uint8_t KOMU_LOOP = 1u << 0;

// Index entry flags.
inline constexpr uint32_t KOMU_FRAME_RLE16 = 1u << 0;
inline constexpr uint32_t KOMU_FRAME_DELTA_RLE = 1u << 1;
inline constexpr uint32_t KOMU_FRAME_DELTA = 1u << 2;

// Modes.
inline constexpr uint16_t KOMU_MODE_SEQUENTIAL = 1;
inline constexpr uint16_t KOMU_MODE_INDEXED = 2;
inline constexpr uint16_t KOMU_MODE_INDEXED_ALT = 3;  // read exactly like mode 2

#pragma pack(push, 1)
struct komu_header {
    uint32_t magic;
    uint16_t width;
    uint16_t height;
    uint8_t pixel_format;
    uint8_t flags;
    uint16_t mode;
    uint32_t frame_count;
    uint32_t fps_num;
    uint32_t fps_den;
    uint32_t header_size;
};

struct komu_frame_entry {
    uint32_t offset;  // from the data area's start
    uint32_t size;    // payload bytes
    uint32_t flags;   // KOMU_FRAME_*
};
#pragma pack(pop)

// The records are read straight from the file, so their layout is the file's.
// (This also means the reader assumes a little-endian host.)
static_assert(sizeof(komu_header) == KOMU_HEADER_BYTES);
static_assert(offsetof(komu_header, width) == 4);
static_assert(offsetof(komu_header, height) == 6);
static_assert(offsetof(komu_header, pixel_format) == 8);
static_assert(offsetof(komu_header, flags) == 9);
static_assert(offsetof(komu_header, mode) == 10);
static_assert(offsetof(komu_header, frame_count) == 12);
static_assert(offsetof(komu_header, fps_num) == 16);
static_assert(offsetof(komu_header, fps_den) == 20);
static_assert(offsetof(komu_header, header_size) == 24);
static_assert(sizeof(komu_frame_entry) == KOMU_ENTRY_BYTES);
static_assert(offsetof(komu_frame_entry, size) == 4);
static_assert(offsetof(komu_frame_entry, flags) == 8);

// Why the last open or decode failed: a code and the figures its words
// need. The reader sets it wherever it returns -1; komu_failure_text turns
// it into words, so every program says the same thing about the same file.
struct komu_failure {
    uint32_t code;   // KOMU_FAIL_*; 0 when nothing failed
    uint32_t frame;  // decode failures: the frame, counted from 1 as the status bar does
    uint64_t a, b;   // the figures named beside each code
};

enum : uint32_t {
    KOMU_FAIL_NONE,
    // Opening.
    KOMU_FAIL_PATH_TOO_LONG,     // 256 characters or more
    KOMU_FAIL_NO_SUCH_FILE,
    KOMU_FAIL_NO_PERMISSION,
    KOMU_FAIL_CANNOT_OPEN,       // for any other reason
    KOMU_FAIL_DIRECTORY,
    KOMU_FAIL_READ_ERROR,
    KOMU_FAIL_TOO_SHORT,         // a: the file's size (under 28 bytes, or KOMU_SIZE_UNKNOWN)
    KOMU_FAIL_NOT_KOMU,          // the magic is wrong
    KOMU_FAIL_MODE,              // a: the mode
    KOMU_FAIL_WIDTH,             // a: the width
    KOMU_FAIL_HEIGHT,            // a: the height
    KOMU_FAIL_PIXEL_FORMAT,      // a: the pixel format
    KOMU_FAIL_NO_FRAMES,
    KOMU_FAIL_HEADER_SIZE,       // a: header_size (under 28)
    KOMU_FAIL_HEADER_PAST_END,   // a: header_size, b: the file's size (or KOMU_SIZE_UNKNOWN)
    KOMU_FAIL_TOO_MANY_FRAMES,   // a: frame_count of an indexed file
    KOMU_FAIL_INDEX_PAST_END,    // a: the index's bytes, b: what the file holds after the header
                                 //    (or KOMU_SIZE_UNKNOWN)
    KOMU_FAIL_CHANGED,           // reopened to loop, the file holds another video
    KOMU_FAIL_NO_MEMORY,
    // Decoding frame `frame`.
    KOMU_FAIL_NOT_OPEN,
    KOMU_FAIL_CANNOT_REOPEN,     // to loop, with no path to reopen
    KOMU_FAIL_FRAME_CUT,         // mode 1: the file ends inside the frame
    KOMU_FAIL_OVERLAP,           // a: the payload's offset, b: the previous payload's end
    KOMU_FAIL_PAYLOAD_PAST_END,  // a: the payload's end in the file, b: the file's size
    KOMU_FAIL_PAYLOAD_CUT,       // the file ends inside the payload
    KOMU_FAIL_RAW_SIZE,          // a: the payload's size, b: the frame's
    KOMU_FAIL_RAW_MASK_SIZE,     // a: the payload's size, b: the frame's
    KOMU_FAIL_RLE_PICTURE,       // a: the payload's size; it does not make exactly one frame
    KOMU_FAIL_RLE_MASK,          // a: the payload's size
    KOMU_FAIL_PIPE_PAYLOAD,      // a: the payload's size, b: KOMU_MAX_PIPE_PAYLOAD
    // Seeking (komu_seek).
    KOMU_FAIL_CANNOT_SEEK,       // the stream is a pipe
    KOMU_FAIL_NO_SUCH_FRAME,     // a: the frame asked for, counted from 1; b: frame_count
};

// The failure in words, without the file's name ("width 700 is over 640",
// "frame 1 cannot be decoded: its payload is 3 bytes, a raw frame needs
// 614,400"), into text[cap], cut to fit.
void komu_failure_text(const komu_failure* failure, char* text, uint32_t cap);

// One open video. A fresh record is all zero with fd = -1; komu_close leaves
// it exactly so. The record owns the descriptor and every buffer it points
// to (index, cur_frame, prev_frame, payload, scratch), and komu_close
// releases them all.
struct komu_stream {
    int32_t width, height;        // pixels; set by start-up from the header
    int32_t fd;                   // -1 when no file is open
    char path[KOMU_MAX_PATH];     // used to reopen when looping; "" = cannot
    komu_header header;           // the last open's header
    komu_frame_entry* index;      // frame_count entries; null in mode 1
    uint8_t* cur_frame;           // frame_bytes: the most recently decoded frame
    uint8_t* prev_frame;          // frame_bytes: reference for delta frames
    uint8_t* payload;             // current payload, grown by doubling
    uint32_t payload_cap;         // bytes
    // Where komu_seek keeps cur_frame and prev_frame as they were, to put
    // them back when the seek fails: 2 * frame_bytes, allocated by the first
    // seek. (Run-length delta masks are applied to the reference in place, so
    // no mask is ever expanded here.)
    uint8_t* scratch;
    uint32_t scratch_cap;         // bytes
    uint32_t frame_bytes;         // width * height * 2
    uint32_t next_index;          // next frame to decode = frames decoded since the last (re)start
    uint32_t consumed;            // bytes of the data area read so far
    uint32_t data_offset;         // absolute offset of the data area; 0 until an open succeeds
    int32_t playing;              // the player's play/pause flag
    uint32_t frame_interval_us;   // the player's frame interval
    // Size of the file at the last open. Lets the reader refuse a declared
    // size larger than what is left before allocating for it.
    // KOMU_SIZE_UNKNOWN for a pipe, whose payloads are capped instead
    // (KOMU_MAX_PIPE_PAYLOAD).
    uint64_t file_size;
    komu_failure failure;  // why the last -1 came
    // 1 for a regular file; 0 for a pipe (or a FIFO, a socket), which is read
    // once from start to end: komu_seek refuses it and a looping file played
    // from it ends after its last frame, as a failed restart does.
    int32_t seekable;
};

// Puts a record into its fresh state (all zero, fd = -1).
void komu_stream_init(komu_stream* stream);

// Opens path, validates the header and leaves the descriptor at the data
// area. 0 on success, -1 on failure. On a failure before the header is stored
// the descriptor is closed here; later failures leave it for komu_close.
int komu_open_and_prepare_stream(komu_stream* stream, const char* path);

// Everything the player does before its first decode, in one call, so that
// every program that reads a KOMU file opens it the same way: puts the
// record in its fresh state, refuses a path of KOMU_MAX_PATH characters or
// more without touching any file, keeps the path for reopening, opens and
// validates the file, sets width and height, and allocates cur_frame and
// prev_frame (frame_bytes each, zero-filled). 0 on success; on -1 the record
// has been closed again and holds nothing but `failure`.
int komu_open_stream(komu_stream* stream, const char* path);

// Decodes the next frame into cur_frame (and copies it to prev_frame).
// 0 a frame was decoded; 1 end of a non-looping stream; -1 error.
int komu_decode_next(komu_stream* stream);

// Moves a seekable stream to any point of its video: afterwards the record
// is exactly as if the stream had just been (re)started and frames 0 to
// frames - 1 decoded, for any frames from 0 to frame_count: next_index =
// frames, consumed and the file where that left them, cur_frame and
// prev_frame holding frame frames - 1 (for 0: prev_frame zero, cur_frame
// as it was), so the next komu_decode_next yields frame `frames` (or ends or
// loops). So komu_seek(s, k + 1) shows frame k, numbered k + 1 as the status
// bar counts. Mode 1 reads that one frame; indexed modes decode forward from
// the nearest key frame at or before it (no delta bit), or from where the
// stream stands when that is nearer, or from frame 0 with a zero reference,
// through the same checks as komu_decode_next. 0 on success. -1 when the
// stream cannot seek (a pipe), `frames` is past the end, the scratch buffer
// cannot be had or a frame on the way fails: then the record is as it was
// (pictures, position, reference, file offset) but for `failure` and the
// capacity of its scratch and payload buffers.
int komu_seek(komu_stream* stream, uint32_t frames);

// Releases the descriptor and every buffer; safe on a fresh or closed record.
void komu_close(komu_stream* stream);

// Expands PackBits runs of elem-byte elements (1 or 2) from src into exactly
// dst_len bytes of dst. 0 when dst was filled exactly, -1 otherwise. Each run
// is bounds-checked before anything of it is written; allocates nothing.
int rle_decode_packbits(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t dst_len,
                        uint32_t elem);

// XORs a PackBits-coded mask of 1-byte elements into exactly dst_len bytes of
// dst, as a delta frame is applied to its reference. The whole mask is
// checked before anything is changed, so on -1 dst is untouched.
int rle_xor_packbits(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t dst_len);

// Frame interval in microseconds for a declared rate: fps_num 0 stands for
// 30 and fps_den 0 for 1; clamped to 1,000..200,000 (1000 down to 5 fps).
uint32_t komu_frame_interval_us(uint32_t fps_num, uint32_t fps_den);

// Every allocation of the reader (and of the player's frame buffers, which
// the stream record owns) goes through these two, so that tests and fuzz
// targets can count live bytes or fail the k-th allocation. Without hooks
// they are realloc and free.
struct komu_alloc_hooks {
    void* (*realloc_fn)(void* ctx, void* ptr, size_t bytes);
    void (*free_fn)(void* ctx, void* ptr);
    void* ctx;
};
void komu_set_alloc_hooks(const komu_alloc_hooks* hooks);  // null restores the defaults
void* komu_realloc(void* ptr, size_t bytes);
void komu_free(void* ptr);
