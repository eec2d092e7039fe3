// Files for the komu tool and the writer: see output.h.
#include "output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

bool write_all(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

ssize_t read_full(int fd, uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

bool copy_from_start(int fd, int out_fd) {
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    std::vector<uint8_t> buf(1 << 20);
    for (;;) {
        const ssize_t got = read_full(fd, buf.data(), buf.size());
        if (got < 0) return false;
        if (got == 0) return true;
        if (!write_all(out_fd, buf.data(), static_cast<size_t>(got))) return false;
    }
}

std::string errno_text() { return std::strerror(errno); }

int open_scratch(const std::string& near) {
    if (near.empty()) {
        std::FILE* f = std::tmpfile();
        if (f == nullptr) return -1;
        const int fd = dup(fileno(f));
        std::fclose(f);
        return fd;
    }
    std::string name = near + ".tmpXXXXXX";
    const int fd = mkstemp(name.data());
    if (fd >= 0) unlink(name.c_str());
    return fd;
}

namespace {

// The temporary being written, for the signal handler: an interrupted
// encode (Ctrl-C) must not leave OUT.tmpXXXXXX behind. Empty when none.
char pending_temp[4096];
constexpr int WATCHED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void remove_pending_temp(int sig) {
    if (pending_temp[0] != '\0') unlink(pending_temp);  // async-signal-safe
    raise(sig);  // the handler was reset: the signal now ends the program as it would have
}

void watch_temp(const std::string& path) {
    if (path.size() >= sizeof pending_temp) return;  // left behind on a signal, as before
    path.copy(pending_temp, path.size());
    pending_temp[path.size()] = '\0';
    struct sigaction action {};
    action.sa_handler = remove_pending_temp;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    for (int sig : WATCHED_SIGNALS) sigaction(sig, &action, nullptr);
}

}  // namespace

output_file::~output_file() {
    if (!temp_path.empty()) {
        close(fd);
        unlink(temp_path.c_str());
        pending_temp[0] = '\0';
    }
}

bool open_output(const std::string& path, output_file* out, std::string* error) {
    if (path.empty() || path == "-") {
        out->fd = STDOUT_FILENO;
        return true;
    }
    std::string temp = path + ".tmpXXXXXX";
    // No signal between the temporary's creation and its being watched.
    sigset_t signals, before;
    sigemptyset(&signals);
    for (int sig : WATCHED_SIGNALS) sigaddset(&signals, sig);
    sigprocmask(SIG_BLOCK, &signals, &before);
    const int fd = mkstemp(temp.data());
    if (fd >= 0) watch_temp(temp);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) {
        *error = path + ": cannot create a file beside it: " + errno_text();
        return false;
    }
    // mkstemp makes the file 0600; give it the mode a plain create would.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    out->path = path;
    out->temp_path = temp;
    out->fd = fd;
    return true;
}

bool commit_output(output_file* out, std::string* error) {
    if (out->temp_path.empty()) return true;
    const int fd = out->fd;
    out->fd = -1;
    const bool ok = close(fd) == 0 && rename(out->temp_path.c_str(), out->path.c_str()) == 0;
    if (!ok) {
        *error = out->path + ": " + errno_text();
        unlink(out->temp_path.c_str());
    }
    out->temp_path.clear();
    pending_temp[0] = '\0';
    return ok;
}
