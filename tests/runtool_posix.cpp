// runtool_posix: starts the built binary with posix_spawn for the end-to-end tests.
#include "posixtool.h"

int processnumber()
{
    return static_cast<int>(getpid());
}

const char emptyinput[] = "/dev/null";

run runtool(const std::vector<std::string> &args, const std::string &stdinpath, std::string outpath, bool piped)
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
    collectoutput(&r, captureout, outpath, errpath);
    return r;
}

