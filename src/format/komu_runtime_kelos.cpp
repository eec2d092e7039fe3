// The reader's system calls on the target system: the plain file calls of
// its runtime library. The player, the one program built with it there,
// starts no programs and installs no signal handlers, so a descriptor is
// never inherited and a read never interrupted.
#include <fcntl.h>
#include <unistd.h>

#include "komu_runtime.h"

int komu_file_open(const char* path) { return open(path, O_RDONLY); }

ssize_t komu_file_read(int fd, void* buf, uint32_t n) { return read(fd, buf, n); }
