// The reader's system calls on this machine.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "komu_runtime.h"

// Close-on-exec: the tools and tests that read files also start programs,
// which must not inherit the descriptor.
int komu_file_open(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

// A signal that interrupts the call is not a failure of the file: read again.
ssize_t komu_file_read(int fd, void* buf, uint32_t n) {
    ssize_t got;
    do {
        got = read(fd, buf, n);
    } while (got < 0 && errno == EINTR);
    return got;
}
