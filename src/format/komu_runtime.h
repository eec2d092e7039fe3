// What the reader and the player ask of the system besides lseek, close and
// puts, which mean the same everywhere. One source per system, picked by the build:
//   komu_runtime_host.cpp   this machine (the komu tool, the tests, cinepane)
//   komu_runtime_kelos.cpp  the target system (cinepane-kelos): the plain
//                           calls of its runtime library
#pragma once

#include <sys/types.h>

#include <cstdint>

// Opens path for reading. A descriptor >= 0, or -1 with *failure set to the
// KOMU_FAIL_* code that says why, as far as the system tells.
int komu_file_open(const char* path, uint32_t* failure);

// Reads at most n bytes: the count read, 0 at the end of the file, negative
// on failure.
ssize_t komu_file_read(int fd, void* buf, uint32_t n);

// Writes text and a newline to standard error, where the system has one.
void komu_error_line(const char* text);
