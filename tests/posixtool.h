// posixtool: starting, stopping and tracing the built binary, for the tests that need POSIX.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "runtool.h"

extern char **environ;

// The command line that runs the built tool with the arguments: in a cross
// build, under the emulator that runs the target's programs.
inline std::vector<std::string> toolcommand(const std::vector<std::string> &args)
{
    std::vector<std::string> command;
    if (std::string(TINTCELL_EMULATOR) != "")
        command.push_back(TINTCELL_EMULATOR);
    command.push_back(TINTCELL_BINARY);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

// Starts the tool with the file actions and attributes; false when it could
// not be started.
inline bool spawntool(const std::vector<std::string> &args, const posix_spawn_file_actions_t *actions, pid_t *pid,
                      const posix_spawnattr_t *attributes = nullptr)
{
    const std::vector<std::string> command = toolcommand(args);
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    return posix_spawnp(pid, argv[0], actions, attributes, argv.data(), environ) == 0;
}

// Waits up to a minute for the process; its wait status, or -1 if it had to be killed.
inline int waitatmostaminute(pid_t pid, rusage *usage)
{
    int status;
    for (int i = 0; i < 6000; i++) {
        if (wait4(pid, &status, WNOHANG, usage) == pid)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    wait4(pid, &status, 0, usage);
    return -1;
}

// Starts tintcell on the file, with the attributes, its standard output on
// the writing end of the pipe fds, which is closed here; returns the pipe's
// reading end, or -1 (closing it) when the tool could not be started. pid
// gets the process.
inline int spawnonpipe(const std::string &path, const int (&fds)[2], pid_t *pid,
                       const posix_spawnattr_t *attributes = nullptr)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const bool spawned = spawntool({path}, &actions, pid, attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (!spawned) {
        close(fds[0]);
        return -1;
    }
    return fds[0];
}

// Starts tintcell on the file with its standard output on a pipe and
// returns the pipe's reading end; pid gets the process.
inline int spawnpiped(const std::string &path, pid_t *pid)
{
    int fds[2];
    return pipe(fds) == 0 ? spawnonpipe(path, fds, pid) : -1;
}

// What the shell command printed on its standard output.
inline std::string commandoutput(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, p)) > 0;)
        out.append(block, n);
    pclose(p);
    return out;
}

// The tool's own peak resident memory, in KiB: the high-water mark of its
// address space, read from /proc while it stops on its way out. ru_maxrss
// would not do: a child started with posix_spawn or fork carries the
// starter's resident pages in that figure until it execs, so it would
// measure this test process as well.
//
// A traced run: tintcell on one file, its standard output on a pipe.
struct tracedrun {
    pid_t pid;
    int fd;       // the pipe's reading end
    long peakkb;  // -1 until the tool has been seen on its way out
    int status;   // the wait status once it has ended
    bool ended;
};

// Starts the run; false when it cannot be started.
inline bool starttraced(tracedrun *t, const std::string &path)
{
    *t = {-1, -1, -1, 0, false};
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    // In a cross build this is the emulator's memory, the tool's with it.
    const std::vector<std::string> command = toolcommand({path});
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    // LeakSanitizer stops the process with ptrace at exit, which a traced
    // process cannot allow; the tool allocates nothing of its own anyway.
    const char *asan = getenv("ASAN_OPTIONS");
    std::string asanoptions = "ASAN_OPTIONS=detect_leaks=0" + (asan != nullptr ? ":" + std::string(asan) : "");
    std::vector<char *> env{&asanoptions[0]};
    for (char **e = environ; *e != nullptr; e++) {
        if (strncmp(*e, "ASAN_OPTIONS=", 13) != 0)
            env.push_back(*e);
    }
    env.push_back(nullptr);
    t->pid = fork();
    if (t->pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 && dup2(fds[1], 1) == 1) {
            close(fds[0]);
            close(fds[1]);
            execvpe(argv[0], argv.data(), env.data());
        }
        _exit(127);
    }
    close(fds[1]);
    int status;
    // A traced process stops with SIGTRAP once it has execed.
    if (t->pid < 0 || waitpid(t->pid, &status, 0) != t->pid || !WIFSTOPPED(status)) {
        close(fds[0]);
        return false;
    }
    ptrace(PTRACE_SETOPTIONS, t->pid, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
    ptrace(PTRACE_CONT, t->pid, nullptr, nullptr);
    t->fd = fds[0];
    return true;
}

inline long peakresidentkib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Looks at the tool once without waiting: at its exit stop, before its
// address space is released, notes the peak and lets it go on; any other
// stop is a signal, passed on.
inline void steptraced(tracedrun *t)
{
    int status;
    if (t->ended || waitpid(t->pid, &status, WNOHANG) != t->pid)
        return;
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
        t->status = status;
        t->ended = true;
        return;
    }
    const bool exiting = status >> 8 == (SIGTRAP | PTRACE_EVENT_EXIT << 8);
    if (exiting)
        t->peakkb = peakresidentkib(t->pid);
    ptrace(PTRACE_CONT, t->pid, nullptr, reinterpret_cast<void *>(static_cast<long>(exiting ? 0 : WSTOPSIG(status))));
}

// Reads what the tool writes next, as read does: 0 at the end of its output,
// which comes only once it has been let past its exit stop.
inline ssize_t readtraced(tracedrun *t, char *buf, size_t size)
{
    pollfd p{t->fd, POLLIN, 0};
    while (poll(&p, 1, 10) == 0)
        steptraced(t);
    return read(t->fd, buf, size);
}

// Waits up to a minute for the end; the wait status, or -1 if the tool had
// to be killed.
inline int endtraced(tracedrun *t)
{
    close(t->fd);
    for (int i = 0; i < 6000 && !t->ended; i++) {
        steptraced(t);
        if (!t->ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (t->ended)
        return t->status;
    kill(t->pid, SIGKILL);
    waitpid(t->pid, &t->status, 0);
    return -1;
}
