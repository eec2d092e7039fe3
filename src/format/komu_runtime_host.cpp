// The reader's system calls on this machine.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "komu.h"
#include "komu_runtime.h"

// Close-on-exec: the tools and tests that read files also start programs,
// which must not inherit the descriptor. A directory opens, but is no file
// to read: say so here, where the system can tell.
int komu_file_open(const char* path, uint32_t* failure) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *failure = errno == ENOENT   ? KOMU_FAIL_NO_SUCH_FILE
                   : errno == EACCES ? KOMU_FAIL_NO_PERMISSION
                                     : KOMU_FAIL_CANNOT_OPEN;
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        *failure = KOMU_FAIL_DIRECTORY;
        return -1;
    }
    return fd;
}

// A signal that interrupts the call is not a failure of the file: read again.
ssize_t komu_file_read(int fd, void* buf, uint32_t n) {
    ssize_t got;
    do {
        got = read(fd, buf, n);
    } while (got < 0 && errno == EINTR);
    return got;
}

void komu_error_line(const char* text) { std::fprintf(stderr, "%s\n", text); }
