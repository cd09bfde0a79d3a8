// Runs a program as a child process and collects what it wrote and how it
// ended, for tests of command lines whose errors end the process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace test_child {

struct ChildResult {
    bool exited = false;
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args` and this process's environment minus every
// variable whose name starts with one of `drop_prefixes` (so that the
// caller's shell cannot change results). Standard output and standard error
// are read together, so a chatty child cannot block on one while we wait on
// the other.
inline ChildResult run(const char* program, const std::vector<std::string>& args,
                       const std::vector<std::string>& drop_prefixes) {
    ChildResult r;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
        bool keep = true;
        for (const std::string& p : drop_prefixes)
            if (strncmp(*e, p.c_str(), p.size()) == 0) keep = false;
        if (keep) envp.push_back(*e);
    }
    envp.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    EXPECT_EQ(0, pipe2(out_pipe, O_CLOEXEC));
    EXPECT_EQ(0, pipe2(err_pipe, O_CLOEXEC));

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], STDERR_FILENO);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program, &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    EXPECT_EQ(0, rc) << "cannot start " << program << ": " << strerror(rc);

    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            ADD_FAILURE() << "poll: " << strerror(errno);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);

    if (rc == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r.exited = WIFEXITED(status);
        r.exit_code = r.exited ? WEXITSTATUS(status) : -1;
    }
    return r;
}

}  // namespace test_child
