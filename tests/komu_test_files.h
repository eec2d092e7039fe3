// Building KOMU files byte by byte in the tests, including ones the encoder
// would never write (bad headers, gaps, overlapping payloads), and temporary
// files that remove themselves.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "komu.h"

namespace testfile {

using bytes = std::vector<uint8_t>;

inline komu_header header(uint16_t w, uint16_t h, uint16_t mode, uint32_t frames,
                          uint8_t flags = 0) {
    komu_header hd{};
    hd.magic = KOMU_MAGIC;
    hd.width = w;
    hd.height = h;
    hd.pixel_format = KOMU_PIXEL_RGB565;
    hd.flags = flags;
    hd.mode = mode;
    hd.frame_count = frames;
    hd.fps_num = 30;
    hd.fps_den = 1;
    hd.header_size = KOMU_HEADER_BYTES;
    return hd;
}

inline void append(bytes* out, const void* p, size_t n) {
    const size_t at = out->size();
    out->resize(at + n);
    std::memcpy(out->data() + at, p, n);
}

// The header, padded with zeros to header_size (when that is larger).
inline bytes header_bytes(const komu_header& hd) {
    bytes out(hd.header_size > sizeof hd ? hd.header_size : sizeof hd, 0);
    std::memcpy(out.data(), &hd, sizeof hd);
    return out;
}

struct payload {
    uint32_t flags;
    bytes data;
    uint32_t gap = 0;  // bytes of padding before this payload
};

// An indexed file: header (header_size honoured with zero padding), index
// laid out from the payloads and their gaps, then the data area.
inline bytes indexed(komu_header hd, const std::vector<payload>& frames) {
    bytes out = header_bytes(hd);
    bytes data;
    for (const payload& p : frames) {
        data.resize(data.size() + p.gap, 0xEE);
        const komu_frame_entry e{static_cast<uint32_t>(data.size()),
                                 static_cast<uint32_t>(p.data.size()), p.flags};
        append(&out, &e, sizeof e);
        data.insert(data.end(), p.data.begin(), p.data.end());
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// A sequential file: header, then the frames back to back.
inline bytes sequential(komu_header hd, const std::vector<bytes>& frames) {
    bytes out = header_bytes(hd);
    for (const bytes& f : frames) out.insert(out.end(), f.begin(), f.end());
    return out;
}

// A recognisable picture: every pixel depends on its position and the seed.
inline bytes picture(uint16_t w, uint16_t h, uint32_t seed) {
    bytes out(size_t{w} * h * 2);
    for (size_t i = 0; i < out.size() / 2; ++i) {
        const auto v = static_cast<uint16_t>(i * 2654435761u + seed * 40503u);
        out[2 * i] = static_cast<uint8_t>(v);
        out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    return out;
}

inline bytes xor_of(const bytes& a, const bytes& b) {
    bytes out(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
    return out;
}

// A file in the temporary folder, removed when the object goes; or, as a
// pipe, the content in a pipe whose writing end is closed, so that path()
// reads it once from start to end as a FIFO would (at most 64 KiB, what a
// pipe holds).
class temp_file {
public:
    explicit temp_file(const bytes& content, bool as_pipe = false) {
        char name[] = "/tmp/komu_test_XXXXXX";
        int fds[2] = {-1, -1};
        if (as_pipe && pipe(fds) != 0) std::abort();
        const int fd = as_pipe ? fds[1] : mkstemp(name);
        pipe_fd_ = fds[0];
        path_ = as_pipe ? "/proc/self/fd/" + std::to_string(fds[0]) : name;
        size_t done = 0;
        while (fd >= 0 && done < content.size()) {
            const ssize_t n = write(fd, content.data() + done, content.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (fd >= 0) close(fd);
    }
    ~temp_file() { pipe_fd_ >= 0 ? close(pipe_fd_) : unlink(path_.c_str()); }
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
    int pipe_fd_;  // the pipe's reading end; -1 for a file
};

// A stream opened the way the player's start-up opens it, closed on scope exit.
class opened_stream {
public:
    explicit opened_stream(const char* path) : result(komu_open_stream(&s, path)) {}
    ~opened_stream() { komu_close(&s); }
    opened_stream(const opened_stream&) = delete;
    opened_stream& operator=(const opened_stream&) = delete;
    bytes frame() const { return bytes(s.cur_frame, s.cur_frame + s.frame_bytes); }

    komu_stream s;
    int result;
};

// Live bytes of every allocation made through the reader's hooks; can make
// the fail_at-th call fail as realloc does (returning null, the block kept).
struct alloc_counter {
    std::map<void*, size_t> live;
    size_t bytes = 0, peak = 0, calls = 0;
    size_t fail_at = 0;  // 1-based; 0 never

    static void* re(void* ctx, void* p, size_t n) {
        auto* c = static_cast<alloc_counter*>(ctx);
        if (++c->calls == c->fail_at) return nullptr;
        const size_t old = p ? c->live.at(p) : 0;  // before realloc may free p
        if (p) c->live.erase(p);
        void* q = std::realloc(p, n);
        if (q == nullptr) std::abort();
        c->live[q] = n;
        c->bytes = c->bytes - old + n;
        c->peak = std::max(c->peak, c->bytes);
        return q;
    }
    static void fr(void* ctx, void* p) {
        auto* c = static_cast<alloc_counter*>(ctx);
        c->bytes -= c->live.at(p);
        c->live.erase(p);
        std::free(p);
    }
};

// Routes the reader's allocations through a counter for its lifetime.
class hooked {
public:
    explicit hooked(alloc_counter* c) {
        const komu_alloc_hooks h{alloc_counter::re, alloc_counter::fr, c};
        komu_set_alloc_hooks(&h);
    }
    ~hooked() { komu_set_alloc_hooks(nullptr); }
    hooked(const hooked&) = delete;
    hooked& operator=(const hooked&) = delete;
};

// Descriptors this process has open.
inline int open_descriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

}  // namespace testfile
