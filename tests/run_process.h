// Runs a built program as a child process, as a user would, and collects
// its exit status, standard output and standard error.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace testproc {

struct result {
    int status;       // exit status, or -1 when the child did not exit normally
    std::string out;  // everything written to standard output
    std::string err;  // ... and to standard error
};

// argv[0] is the program's path. `unset` names environment variables the
// child must not see (e.g. DISPLAY, so that no window can be opened).
inline result run(const std::vector<std::string>& argv, const std::vector<std::string>& unset = {}) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, "", ""};
    char err_name[] = "/tmp/run_process_err_XXXXXX";  // a file: no second pipe to drain
    const int err_fd = mkstemp(err_name);
    unlink(err_name);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(err_fd, 2);
        close(fds[0]);
        close(fds[1]);
        for (const auto& name : unset) unsetenv(name.c_str());
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    result r{-1, "", ""};
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    lseek(err_fd, 0, SEEK_SET);
    while ((n = read(err_fd, buf, sizeof buf)) > 0) r.err.append(buf, static_cast<size_t>(n));
    close(err_fd);
    return r;
}

}  // namespace testproc
