#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "tests/support/child_host.h"

extern char** environ;

namespace rivu::test {

ChildHostRun RunChildHost(const std::string& ending) {
    ChildHostRun run;
    int output[2];
    if (pipe(output) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    std::string self = "/proc/self/exe", flag = kChildHostFlag, how = ending;
    char* arguments[] = {self.data(), flag.data(), how.data(), nullptr};
    pid_t child = -1;
    const bool started = posix_spawn(&child, self.c_str(), &actions, nullptr, arguments, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    if (!started) {
        close(output[0]);
        return run;
    }
    // The pipe ends with the child (nothing else holds its write end).
    const long long limit = platform::SteadyMilliseconds() + 30000;
    char chunk[256];
    while (platform::SteadyMilliseconds() < limit) {
        pollfd ready = {output[0], POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        const ssize_t count = read(output[0], chunk, sizeof chunk);
        if (count > 0) run.output.append(chunk, static_cast<std::size_t>(count));
        if (count == 0 || (count < 0 && errno != EINTR)) break;
    }
    close(output[0]);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            run.ended = true;
            break;
        }
        if (done < 0 || platform::SteadyMilliseconds() > limit) break;
        platform::SleepMilliseconds(5);
    }
    run.endedAtMs = platform::SteadyMilliseconds();
    if (!run.ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

long long HoldLogLines(int holdMs) {
    const long long releasedAt = platform::SteadyMilliseconds() + holdMs;
    const std::string fifo = "/tmp/rivu-held-log-" + std::to_string(getpid());
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0) return releasedAt;
    // This process holds the reading end, so the enabler's open succeeds and
    // its write blocks on the full pipe.
    const int reading = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filling = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    static const char block[4096] = {};
    while (write(filling, block, sizeof block) > 0) {
    }
    close(filling);
    setenv("RIVU_LOG_FILE", fifo.c_str(), 1);
    std::thread([reading, holdMs, fifo] {
        platform::SleepMilliseconds(static_cast<std::uint32_t>(holdMs));
        unlink(fifo.c_str());
        char chunk[4096];
        for (;;) {  // empties the pipe for as long as the process lives
            pollfd ready = {reading, POLLIN, 0};
            if (poll(&ready, 1, 1000) > 0 && read(reading, chunk, sizeof chunk) <= 0) platform::SleepMilliseconds(5);
        }
    }).detach();
    return releasedAt;
}

}  // namespace rivu::test
