// runtool: runs the built tintcell binary for the end-to-end tests and captures what it printed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

// A run of the built binary: what it printed on each stream and its exit status.
struct run {
    int status;
    std::string out, err;
};

inline std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Scratch files are named for this process: ctest runs tests side by side.
inline std::string scratchpath(const std::string &name)
{
    return testing::TempDir() + "tintcell_" + std::to_string(getpid()) + "_" + name;
}

inline std::string scratchfile(const std::string &name, const std::string &bytes)
{
    const std::string path = scratchpath(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

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

// Runs tintcell with the arguments; standard input comes from stdinpath (or,
// when piped, the file's bytes come through a pipe) and standard output goes
// to outpath, or to a scratch file when that is empty. A run that takes more
// than a minute, as one waiting for keystrokes would, is killed: status 128 + 9.
inline run runtool(const std::vector<std::string> &args, const std::string &stdinpath = "/dev/null",
            std::string outpath = "", bool piped = false)
{
    const std::string errpath = scratchpath("stderr");
    const bool captureout = outpath.empty();
    if (captureout)
        outpath = scratchpath("stdout");
    int fds[2] = {-1, -1};
    if (piped && pipe(fds) != 0)
        return {-1, "", ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (piped) {
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, stdinpath.c_str(), O_RDONLY | O_NOCTTY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    run r{-1, "", ""};
    const bool spawned = spawntool(args, &actions, &pid);
    posix_spawn_file_actions_destroy(&actions);
    if (piped) {
        close(fds[0]);
        // The tool may stop reading early; that must not end this process.
        void (*was)(int) = signal(SIGPIPE, SIG_IGN);
        const std::string bytes = slurp(stdinpath);
        for (size_t at = 0; spawned && at < bytes.size();) {
            const ssize_t n = write(fds[1], bytes.data() + at, bytes.size() - at);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
        close(fds[1]);
        signal(SIGPIPE, was);
    }
    if (spawned) {
        rusage usage;
        const int wstatus = waitatmostaminute(pid, &usage);
        r.status = wstatus == -1 ? 128 + SIGKILL : WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    if (captureout) {
        r.out = slurp(outpath);
        unlink(outpath.c_str());
    }
    r.err = slurp(errpath);
    unlink(errpath.c_str());
    return r;
}

// Starts tintcell on the file with its standard output on a pipe and
// returns the pipe's reading end; pid gets the process.
inline int spawnpiped(const std::string &path, pid_t *pid)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const bool spawned = spawntool({path}, &actions, pid);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (!spawned) {
        close(fds[0]);
        return -1;
    }
    return fds[0];
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
