// platform: what differs by operating system, one form per system behind the declarations of platform.h.
#include "platform.h"

#include <cerrno>
#include <csignal>

#ifndef _WIN32

#include <poll.h>
#include <unistd.h>

// POSIX: descriptors, poll and signals.

static void waitfor(int fd, short events)
{
    pollfd p = {fd, events, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

bool writeall(FILE *to, const char *bytes, size_t length)
{
    const int fd = fileno(to);
    if (fd < 0)  // a stream in memory, or of the caller's own functions
        return fwrite(bytes, 1, length, to) == length;
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n > 0) {
            bytes += n;
            length -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitfor(fd, POLLOUT);  // a descriptor in non-blocking mode is full
        } else {
            return false;
        }
    }
    return true;
}

bool readagain(FILE *from, int error)
{
    if (error == EINTR)
        return true;
    const int fd = fileno(from);
    if ((error == EAGAIN || error == EWOULDBLOCK) && fd >= 0) {
        waitfor(fd, POLLIN);
        return true;
    }
    return false;
}

// The signals that end the run, and the one that stops it.
static constexpr int caughtsignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
static constexpr int ncaught = sizeof caughtsignals / sizeof caughtsignals[0];
static bool caught[ncaught];

static volatile sig_atomic_t endasked;  // the signal that asked to end, or 0
static volatile sig_atomic_t stopasked;

static void onsignal(int sig)
{
    if (sig == SIGTSTP)
        stopasked = 1;
    else
        endasked = sig;
}

// No SA_RESTART: a read that waits on a slow source is interrupted, so the
// run acts on the signal without waiting for the data.
static void sethandler(int sig, void (*handler)(int))
{
    struct sigaction a = {};
    a.sa_handler = handler;
    sigfillset(&a.sa_mask);
    sigaction(sig, &a, nullptr);
}

void catchinterrupts()
{
    endasked = 0;
    stopasked = 0;
    for (int i = 0; i < ncaught; i++) {
        struct sigaction old = {};
        caught[i] = sigaction(caughtsignals[i], nullptr, &old) == 0 && old.sa_handler == SIG_DFL;
        if (caught[i])
            sethandler(caughtsignals[i], onsignal);
    }
}

interrupt pendinginterrupt()
{
    if (endasked != 0)
        return interruptend;
    if (stopasked == 0)
        return interruptnone;
    stopasked = 0;
    return interruptstop;
}

// The stop signal is blocked while its handler is swapped, so it is raised
// and taken exactly once.
void stopforinterrupt()
{
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_BLOCK, &stop, &old);
    sethandler(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // stops here until continued
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    sethandler(SIGTSTP, onsignal);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void endforinterrupt()
{
    const int sig = endasked;
    sethandler(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

void releaseinterrupts()
{
    for (int i = 0; i < ncaught; i++) {
        if (caught[i])
            sethandler(caughtsignals[i], SIG_DFL);
        caught[i] = false;
    }
    if (endasked != 0)
        raise(endasked);
    if (stopasked != 0)
        raise(SIGTSTP);
    endasked = 0;
    stopasked = 0;
}

bool stdinisterminal()
{
    return isatty(STDIN_FILENO) == 1;
}

#else

#include <io.h>

// Windows: no form of its own yet. Writes go through the stream, and no
// interrupt is caught: the console's Ctrl-C ends the process as it would.

bool writeall(FILE *to, const char *bytes, size_t length)
{
    return fwrite(bytes, 1, length, to) == length;
}

bool readagain(FILE *, int)
{
    return false;
}

void catchinterrupts() {}

interrupt pendinginterrupt()
{
    return interruptnone;
}

void stopforinterrupt() {}

void endforinterrupt() {}

void releaseinterrupts() {}

bool stdinisterminal()
{
    return _isatty(0) != 0;
}

#endif
