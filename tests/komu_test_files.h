// What the tests build KOMU files and run programs with: files byte by byte,
// including ones the encoder would never write (bad headers, gaps,
// overlapping payloads), temporary files and pipes, a stream that closes
// itself, counted allocations, and a built program run as a child process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "komu.h"

namespace testfile {

using bytes = std::vector<uint8_t>;

inline komu_header header(uint16_t w, uint16_t h, uint16_t mode, uint32_t frames,
                          uint8_t flags = 0) {
    return {KOMU_MAGIC, w, h, KOMU_PIXEL_RGB565, flags, mode, frames, 30, 1, KOMU_HEADER_BYTES};
}

struct payload {
    uint32_t flags;
    bytes data;
    uint32_t gap = 0;  // bytes of padding before this payload
};

// The header, zero-padded to header_size; then the index laid out from the
// payloads and their gaps, then the data area (no payloads: the header only).
inline bytes indexed(const komu_header& hd, const std::vector<payload>& frames) {
    bytes out(std::max<size_t>(hd.header_size, sizeof hd), 0), data;
    std::memcpy(out.data(), &hd, sizeof hd);
    for (const payload& p : frames) {
        data.resize(data.size() + p.gap, 0xEE);
        const komu_frame_entry e{uint32_t(data.size()), uint32_t(p.data.size()), p.flags};
        out.insert(out.end(), reinterpret_cast<const uint8_t*>(&e),
                   reinterpret_cast<const uint8_t*>(&e + 1));
        data.insert(data.end(), p.data.begin(), p.data.end());
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// A sequential file: header, then the frames back to back.
inline bytes sequential(const komu_header& hd, const std::vector<bytes>& frames) {
    bytes out = indexed(hd, {});
    for (const bytes& f : frames) out.insert(out.end(), f.begin(), f.end());
    return out;
}

// A recognisable picture: every pixel depends on its position and the seed.
inline bytes picture(uint16_t w, uint16_t h, uint32_t seed) {
    bytes out(size_t{w} * h * 2);
    for (size_t i = 0; i < out.size(); ++i)  // little-endian 16-bit pixels
        out[i] = uint8_t((i / 2 * 2654435761u + seed * 40503u) >> i % 2 * 8);
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
        if (write(fd, content.data(), content.size()) != ssize_t(content.size())) std::abort();
        close(fd);
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
struct opened_stream {
    explicit opened_stream(const char* path) : result(komu_open_stream(&s, path)) {}
    ~opened_stream() { komu_close(&s); }
    opened_stream(const opened_stream&) = delete;
    bytes frame() const { return bytes(s.cur_frame, s.cur_frame + s.frame_bytes); }
    komu_stream s;
    int result;
};

// While it lives, every allocation of the reader goes through it: live
// bytes, their peak and the calls counted; the fail_at-th call (1-based, 0
// never) fails as realloc does, returning null and keeping the block. Each
// block is followed by guard bytes, checked when it is resized or freed, so
// a write one byte past a buffer aborts the test instead of going unseen
// (under AddressSanitizer there are none: they would hide its report).
struct alloc_counter {
    std::map<void*, size_t> live;
    size_t bytes = 0, peak = 0, calls = 0, fail_at = 0;

    alloc_counter() {
        const komu_alloc_hooks h{re, fr, this};
        komu_set_alloc_hooks(&h);
    }
    ~alloc_counter() { komu_set_alloc_hooks(nullptr); }
    alloc_counter(const alloc_counter&) = delete;
#ifdef __SANITIZE_ADDRESS__
    static constexpr size_t GUARD = 0;  // the sanitizer's own red zones catch reads past the end too
#else
    static constexpr size_t GUARD = 16;
#endif
    static constexpr uint8_t GUARD_BYTE = 0xA5;
    size_t guarded(void* p) const {  // the block's size; an overwritten guard aborts
        const size_t n = live.at(p);
        const auto* end = static_cast<const uint8_t*>(p) + n;
        if (std::any_of(end, end + GUARD, [](uint8_t b) { return b != GUARD_BYTE; })) std::abort();
        return n;
    }
    static void* re(void* ctx, void* p, size_t n) {
        auto* c = static_cast<alloc_counter*>(ctx);
        if (++c->calls == c->fail_at) return nullptr;
        c->bytes -= p ? c->guarded(p) : 0;  // before realloc may free p
        c->live.erase(p);
        auto* q = static_cast<uint8_t*>(std::realloc(p, n + GUARD));
        if (q == nullptr) std::abort();
        std::fill_n(q + n, GUARD, GUARD_BYTE);
        c->peak = std::max(c->peak, c->bytes += c->live[q] = n);
        return q;
    }
    static void fr(void* ctx, void* p) {
        auto* c = static_cast<alloc_counter*>(ctx);
        c->bytes -= c->guarded(p);
        c->live.erase(p);
        std::free(p);
    }
};

// Descriptors this process has open.
inline int open_descriptors() {
    return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

inline bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), long(data.size()));
}

struct run_result {
    int status;            // exit status (a shell's: 128 + N after signal N)
    std::string out, err;  // everything written to standard output and error
};

// Runs a shell command line as a user would.
inline run_result run(const std::string& command) {
    const temp_file out({}), err({});
    const int status = std::system(("{ " + command + "\n} >" + out.path() + " 2>" + err.path()).c_str());
    const bytes o = read_file(out.path()), e = read_file(err.path());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, {o.begin(), o.end()}, {e.begin(), e.end()}};
}

}  // namespace testfile
