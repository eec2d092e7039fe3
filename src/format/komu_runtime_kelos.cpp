// The reader's system calls on the target system: the plain file calls of
// its runtime library. The player, the one program built with it there,
// starts no programs and installs no signal handlers, so a descriptor is
// never inherited and a read never interrupted. The runtime says nothing of
// why an open failed, and has no standard error: the one line on standard
// output is all a failed start says there.
#include <fcntl.h>
#include <unistd.h>

#include "komu.h"
#include "komu_runtime.h"

int komu_file_open(const char* path, uint32_t* failure) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) *failure = KOMU_FAIL_CANNOT_OPEN;
    return fd;
}

ssize_t komu_file_read(int fd, void* buf, uint32_t n) { return read(fd, buf, n); }

void komu_error_line(const char*) {}
