// runtool: runs the built tintcell binary for the end-to-end tests and captures what it printed.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// Runs tintcell with the arguments; standard input comes from stdinpath and
// standard output goes to outpath, or to a scratch file when that is empty.
inline run runtool(const std::vector<std::string> &args, const std::string &stdinpath = "/dev/null",
            std::string outpath = "")
{
    const std::string errpath = scratchpath("stderr");
    const bool captureout = outpath.empty();
    if (captureout)
        outpath = scratchpath("stdout");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinpath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    run r{-1, "", ""};
    if (spawntool(args, &actions, &pid)) {
        int wstatus;
        waitpid(pid, &wstatus, 0);
        r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    posix_spawn_file_actions_destroy(&actions);
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
