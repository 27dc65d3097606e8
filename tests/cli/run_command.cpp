#include "run_command.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#ifndef CONNWALK_COMMAND_PATH
#error "CONNWALK_COMMAND_PATH must name the built command"
#endif

extern char **environ;

namespace connwalk::testing {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe MakePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    return {ends[0], ends[1]};
}

// Reads both pipes to their ends, whichever fills first, so that a command
// writing much to one never blocks on the other.
void Drain(int outFd, int errFd, std::string *out, std::string *err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string *sinks[2] = {out, err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

CommandRun RunConnwalk(const std::vector<std::string> &arguments,
                       const std::vector<std::string> &environment) {
    std::vector<std::string> argumentStrings = {CONNWALK_COMMAND_PATH};
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &argument : argumentStrings) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The added entries go first, where getenv finds them before any
    // inherited entry of the same name.
    std::vector<std::string> environmentStrings = environment;
    for (char **entry = environ; *entry != nullptr; ++entry) environmentStrings.emplace_back(*entry);
    std::vector<char *> envp;
    for (std::string &entry : environmentStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const Pipe out = MakePipe();
    const Pipe err = MakePipe();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);

    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, CONNWALK_COMMAND_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out.write);
    close(err.write);

    CommandRun run;
    if (spawned == 0) Drain(out.read, err.read, &run.out, &run.err);
    close(out.read);
    close(err.read);
    if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "posix_spawn");

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace connwalk::testing
