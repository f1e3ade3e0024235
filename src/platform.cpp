// platform: what differs by operating system, one form per system behind the declarations of platform.h.
#include "platform.h"

#include <cerrno>
#include <csignal>

#ifndef _WIN32

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// POSIX: descriptors, poll and signals.

// "b" changes nothing here; the mode reads the same on every system.
FILE *openimage(const char *path)
{
    return fopen(path, "rb");
}

void setbinary(FILE *) {}

// A terminal interprets the sequences as it is.
void beginconsole(FILE *) {}

void endconsole() {}

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

bool readerwaits(FILE *to)
{
    const int fd = fileno(to);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return true;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || isatty(fd) != 0;
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

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>

// Windows: the CRT's streams over handles, the console's own modes, and its
// control handler in place of signals.

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// A command line holds at most 32767 UTF-16 units, and each becomes at most
// three bytes of UTF-8.
static constexpr int maxpathunits = 32768;
static char utf8path[3 * maxpathunits + 1];
static wchar_t widepath[maxpathunits + 1];

// UTF-16 to UTF-8, a lone surrogate written as the three bytes its code
// point would take (the form called WTF-8), so that every name converts
// back to itself.
const char *utf8argument(const wchar_t *argument)
{
    char *out = utf8path;
    for (const wchar_t *p = argument; *p != 0 && p - argument < maxpathunits; p++) {
        unsigned long c = static_cast<unsigned short>(*p);
        if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned short>(p[1]) - 0xDC00);
            p++;
        }
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | c >> 6);
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out++ = static_cast<char>(0xE0 | c >> 12);
            *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | c >> 18);
            *out++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
            *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    *out = '\0';
    return utf8path;
}

// UTF-8 (lone surrogates included) back to UTF-16; false for bytes that are
// no such form, or a name too long for any path.
static bool widen(const char *path, wchar_t *wide)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(path);
    int n = 0;
    while (*p != 0) {
        // The lead byte gives the length; C0, C1 and F5 to FF lead nothing.
        int length = 0;
        if (*p < 0x80)
            length = 1;
        else if (*p >= 0xC2 && *p < 0xE0)
            length = 2;
        else if (*p >= 0xE0 && *p < 0xF0)
            length = 3;
        else if (*p >= 0xF0 && *p < 0xF5)
            length = 4;
        else
            return false;
        unsigned long c = length == 1 ? *p : *p & (0x7F >> length);
        for (int i = 1; i < length; i++) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            c = c << 6 | (p[i] & 0x3F);
        }
        static constexpr unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || n + 2 > maxpathunits)
            return false;  // an overlong form would give a second spelling of a name
        if (c >= 0x10000) {
            wide[n++] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            wide[n++] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            wide[n++] = static_cast<wchar_t>(c);
        }
        p += length;
    }
    wide[n] = 0;
    return true;
}

FILE *openimage(const char *path)
{
    if (!widen(path, widepath)) {
        errno = ENOENT;
        return nullptr;
    }
    return _wfopen(widepath, L"rb");
}

void setbinary(FILE *stream)
{
    _setmode(_fileno(stream), _O_BINARY);
}

static HANDLE console = INVALID_HANDLE_VALUE;  // the console whose mode was changed
static DWORD consolemode;                      // its mode before

void beginconsole(FILE *to)
{
    const int fd = _fileno(to);
    const HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode;
    // Only a console has a console mode: a file or a pipe fails here.
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode) || (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0)
        return;
    // A console older than Windows 10 refuses the mode: the bytes are the
    // same all the same, and nothing is said.
    if (SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        console = h;
        consolemode = mode;
    }
}

void endconsole()
{
    if (console != INVALID_HANDLE_VALUE)
        SetConsoleMode(console, consolemode);
    console = INVALID_HANDLE_VALUE;
}

bool writeall(FILE *to, const char *bytes, size_t length)
{
    return fwrite(bytes, 1, length, to) == length;
}

// A console is a character device, as is the NUL device: both keep the
// small pieces.
bool readerwaits(FILE *to)
{
    const int fd = _fileno(to);
    const HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK;
}

// The console's control handler runs on a thread of its own.
static std::atomic<bool> endasked{false};
static bool handling;

static BOOL WINAPI oncontrol(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;  // closing, logging off: the usual end
    endasked = true;
    return TRUE;
}

// A read that failed as Ctrl-C came is tried no more: the interrupt is
// heeded first, and it ends the run.
bool readagain(FILE *, int)
{
    return endasked;
}

// A process started with Ctrl-C ignored never sees it in a handler either.
void catchinterrupts()
{
    endasked = false;
    handling = SetConsoleCtrlHandler(oncontrol, TRUE) != 0;
}

interrupt pendinginterrupt()
{
    return endasked ? interruptend : interruptnone;
}

// Windows has no job control: nothing asks a run to stop.
void stopforinterrupt() {}

// As the console's own handler would end it, with the status of a process
// ended by Ctrl-C, once the console's mode is back.
void endforinterrupt()
{
    endconsole();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

void releaseinterrupts()
{
    if (handling)
        SetConsoleCtrlHandler(oncontrol, FALSE);
    handling = false;
    if (endasked)
        endforinterrupt();
}

// A console, not merely a character device: the NUL device is one of those
// too, and reads as empty, as /dev/null does.
bool stdinisterminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

#endif

// A virtual machine's host traps every CPUID instruction: on the one
// measured each took 10 us, and the compiler's own feature check makes
// several at start, 70 to 110 us a run, 7% of a run on a picture 160
// columns wide. glibc's loader has asked the processor already, at start,
// and its answers are read back here with no CPUID at all.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#if defined(__GLIBC__) && __has_include(<sys/platform/x86.h>)
// The header gives its inline functions the C type _Bool, which g++ takes
// in C++ and clang++ does not.
#if defined(__clang__)
#define _Bool bool
#endif
#include <sys/platform/x86.h>
#if defined(__clang__)
#undef _Bool
#endif
#endif
#if !defined(CPU_FEATURE_ACTIVE)
#include <cpuid.h>
#endif
#endif

unsigned processorfeatures()
{
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#if defined(CPU_FEATURE_ACTIVE)
    const bool avx2 = CPU_FEATURE_ACTIVE(AVX2), lzcnt = CPU_FEATURE_ACTIVE(LZCNT), popcnt = CPU_FEATURE_ACTIVE(POPCNT);
#else
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    const bool lzcnt = __get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_LZCNT) != 0;
    const bool avx2 = __builtin_cpu_supports("avx2"), popcnt = __builtin_cpu_supports("popcnt");
#endif
    return (avx2 ? hasavx2 : 0) | (lzcnt ? haslzcnt : 0) | (popcnt ? haspopcnt : 0);
#else
    return 0;
#endif
}
