// Files for the komu tool and the writer: whole reads and writes over
// descriptors, and outputs that appear complete or not at all.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Writes all n bytes, retrying short writes and interruptions.
bool write_all(int fd, const void* data, size_t n);
// Reads up to n bytes, fewer only at the end of the input. -1 on an error.
ssize_t read_full(int fd, uint8_t* buf, size_t n);
// Copies everything of fd from its start to out_fd.
bool copy_from_start(int fd, int out_fd);
// strerror(errno), for one-line messages.
std::string errno_text();

// A descriptor for an unnamed scratch file: beside `near` when given (it is
// unlinked at once, so it never shows up), else in the system's temp folder.
int open_scratch(const std::string& near);

// Where a written file goes: standard output, or a temporary file beside the
// final path that commit_output renames into place. Until then the
// destructor removes the temporary, so no failure leaves a partial or stray
// file.
struct output_file {
    std::string path;       // final path; empty for standard output
    std::string temp_path;  // the temporary while one exists
    int fd = -1;
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();
};

// "" or "-" is standard output. False with a one-line *error.
bool open_output(const std::string& path, output_file* out, std::string* error);
bool commit_output(output_file* out, std::string* error);
