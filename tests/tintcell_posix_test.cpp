// tintcell_posix_test: the reader on streams that fail or wait, and whole runs on terminals, pipes and signals.
#include "tintcell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "expect.h"
#include "palette.h"
#include "posixtool.h"
#include "render.h"
#include "sgrwrite.h"

namespace {

const std::string redpx = px(255, 0, 0), whitepx = px(255, 255, 255), blackpx = px(0, 0, 0);
const std::string blackredwhite = setboth(black, black) + " " + setbg(red) + " " + setbg(white) + " " + rowend;

// A stream of the test's own: the bytes of data, then as many zero bytes as
// zeros says. The read at offset failat fails with error, once for EINTR and
// from then on for any other. It counts the bytes it gives and the reads
// asked of it once it has ended or failed.
struct teststream {
    std::string data;
    uint64_t zeros;
    uint64_t failat;
    int error;
    uint64_t given;
    int readsafterend;
    bool failed;
};

ssize_t readteststream(void *cookie, char *bytes, size_t size)
{
    teststream *s = static_cast<teststream *>(cookie);
    const uint64_t end = s->data.size() + s->zeros;
    if (s->failed || s->given == end)
        s->readsafterend++;
    if (s->failed || s->given == s->failat) {
        s->failed = s->error != EINTR;
        s->failat = s->failed ? s->failat : UINT64_MAX;
        errno = s->error;
        return -1;
    }
    const uint64_t stop = std::min(end, s->failat);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, stop - s->given));
    for (size_t i = 0; i < n; i++, s->given++)
        bytes[i] = s->given < s->data.size() ? s->data[s->given] : 0;
    return static_cast<ssize_t>(n);
}

FILE *openteststream(teststream *s)
{
    return fopencookie(s, "r", {readteststream, nullptr, nullptr, nullptr});
}

// The stream is read up to the last pixel declared and no further, so one
// that stays open after it is not waited on; a read interrupted by a signal
// is not the end of the data; one that fails ends the reading for good and
// fails the run.
TEST(ReadPixels, TheStreamIsReadAsFarAsNeeded)
{
    buildpalette();
    const int width = 2000, height = 30;
    const std::string head = ppmheader(width, height), pixels = variedpixels(width, height);
    // At a pixel's start, so that the read that finds the end is the one for
    // its red sample, and its green and blue would be read again.
    const size_t cut = 49998;
    const uint64_t inpixels = head.size() + cut;
    const struct {
        const char *what;
        size_t pixelbytes;  // how many are read
        uint64_t failat;
        int error;
        bool ok;
        int readsafterend;
    } cases[] = {
        {"all the data", pixels.size(), UINT64_MAX, 0, true, 0},
        {"an interrupted read", pixels.size(), inpixels, EINTR, true, 0},
        {"a read error", cut, inpixels, EIO, false, 1},  // the read that finds the end
    };
    for (const auto &c : cases) {
        teststream s{head + pixels, 0, c.failat, c.error, 0, 0, false};
        FILE *in = openteststream(&s);
        char *bytes = nullptr;
        size_t length = 0;
        FILE *out = open_memstream(&bytes, &length);
        EXPECT_EQ(renderppm(in, out), c.ok) << c.what;
        fclose(out);
        fclose(in);
        EXPECT_EQ(s.readsafterend, c.readsafterend) << c.what;
        EXPECT_TRUE(std::string(bytes, length) == modelrun(pixels.substr(0, c.pixelbytes), width, height)) << c.what;
        free(bytes);
    }
}

// Once the output has failed, the run reads no more than a chunk or so of
// the endless data behind a header of 2^31 - 1 cells.
TEST(ReadPixels, FailedOutputEndsTheReading)
{
    buildpalette();
    for (const char *size : {"2147483647 1", "1 2147483647"}) {
        teststream s{"P6\n" + std::string(size) + "\n255\n", uint64_t{1} << 26, UINT64_MAX, 0, 0, 0, false};
        FILE *in = openteststream(&s);
        FILE *full = fopen("/dev/full", "w");
        ASSERT_NE(full, nullptr);
        EXPECT_FALSE(renderppm(in, full)) << size;
        EXPECT_LT(s.given, uint64_t{1} << 20) << size;
        fclose(full);
        fclose(in);
    }
}

// Standard input that is a terminal, a directory or named as a file.
TEST(EndToEnd, TerminalsAndDevices)
{
    const std::string image = scratchfile("image.ppm", "P6\n# three\n3 1\n255\n" + blackpx + redpx + whitepx);
    // A terminal on standard input, which must not be read from: the pane
    // stays open, so a read would wait until the run is killed.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const std::string pane = ptsname(terminal);
    struct {
        const char *what;
        std::vector<std::string> args;
        std::string stdinpath;
        int status;
        std::string out;
    } cases[] = {
        {"an image through /dev/stdin", {"/dev/stdin"}, image, exitok, blackredwhite + closingreset},
        {"no argument: a terminal", {}, pane, exitusage, ""},
        {"a directory as standard input", {}, "/", exitfailure, ""},
        {"the root directory", {"/"}, "/dev/null", exitfailure, ""},
    };
    for (const auto &c : cases) {
        const run r = runtool(c.args, c.stdinpath);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
    }
    close(terminal);
    unlink(image.c_str());
}

TEST(EndToEnd, OutputThatCannotBeWrittenFails)
{
    const run r = runtool({TINTCELL_SAMPLE}, "/dev/null", "/dev/full");
    EXPECT_EQ(r.status, exitfailure);
    EXPECT_EQ(r.err, "");
}

// Starts tintcell on the file in a process group of its own, so that it may
// be stopped, with its standard output on a pipe of one page, smaller than a
// piece, whose writing end is non-blocking when asked; returns the reading
// end.
int spawnforsignals(const std::string &path, bool nonblocking, pid_t *pid)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    if (nonblocking)
        fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int fd = spawnonpipe(path, fds, pid, &attributes);
    posix_spawnattr_destroy(&attributes);
    return fd;
}

// Appends some of what the pipe holds, waiting at most timeout milliseconds
// for it; returns how many bytes, 0 for none in that time, -1 at its end.
int readsome(int fd, std::string *got, int timeout)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout) <= 0)
        return 0;
    char block[2048];
    const ssize_t n = read(fd, block, sizeof block);
    if (n > 0)
        got->append(block, static_cast<size_t>(n));
    return n > 0 ? static_cast<int>(n) : -1;
}

// The colours in force after the stream, as the sequence that sets both.
std::string inforce(const std::string &stream)
{
    int fg = -1, bg = -1;
    for (size_t at = stream.find(esc); at != std::string::npos; at = stream.find(esc, at + 1)) {
        for (size_t i = at + 2; i < stream.size() && stream[i - 1] != 'm'; i = stream.find_first_of(";m", i) + 1) {
            const int code = atoi(stream.c_str() + i);
            fg = code == 0 ? -1 : code < 40 ? code - 30 : fg;
            bg = code == 0 ? -1 : code >= 40 ? code - 40 : bg;
        }
    }
    return fg < 0 || bg < 0 ? "" : setboth(fg, bg);
}

const std::string stopreset = esc + "[0m";

// A picture several times a pipe's capacity, read slowly, while tintcell is
// stopped and continued again and again: every stop comes after whole
// pieces and the reset; every continuation first sets the colours in force
// again; apart from that the bytes are those of an uninterrupted run. Each
// stop interrupts writes that wait on the full pipe, and a non-blocking pipe
// refuses writes whenever it is full.
TEST(EndToEnd, SlowPipeStoppedAndContinued)
{
    const int width = 500, height = 400;
    const std::string image = ppmheader(width, height) + variedpixels(width, height);
    const std::string path = scratchfile("slow.ppm", image);
    const std::string expected = render(image).out;
    ASSERT_GT(expected.size(), 8u << 16);
    for (const auto &c : {std::make_pair(true, 0), std::make_pair(false, 20), std::make_pair(true, 20)}) {
        const bool nonblocking = c.first;
        const int stops = c.second;
        pid_t pid;
        const int fd = spawnforsignals(path, nonblocking, &pid);
        ASSERT_GE(fd, 0);
        std::string got;
        std::vector<size_t> stoppedat;
        bool stopping = false;
        int status = 0;
        while (readsome(fd, &got, 100) >= 0) {
            usleep(200);
            const size_t next = 40000 + 15000 * stoppedat.size();
            if (!stopping && static_cast<int>(stoppedat.size()) < stops && got.size() >= next) {
                kill(pid, SIGTSTP);
                stopping = true;
            }
            if (stopping && waitpid(pid, &status, WUNTRACED | WNOHANG) == pid) {
                ASSERT_TRUE(WIFSTOPPED(status));
                while (readsome(fd, &got, 0) > 0) {
                }
                stoppedat.push_back(got.size());
                kill(pid, SIGCONT);
                stopping = false;
            }
        }
        close(fd);
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == exitok) << "non-blocking " << nonblocking;
        EXPECT_EQ(static_cast<int>(stoppedat.size()), stops);
        // Take out each stop's reset and the colours sent again after it.
        std::string uninterrupted;
        size_t from = 0;
        for (size_t at : stoppedat) {
            ASSERT_GE(at, from + stopreset.size());
            ASSERT_EQ(got.substr(at - stopreset.size(), stopreset.size()), stopreset) << "stop at " << at;
            uninterrupted += got.substr(from, at - stopreset.size() - from);
            const std::string colours = inforce(uninterrupted);
            ASSERT_FALSE(colours.empty());
            ASSERT_EQ(got.substr(at, colours.size()), colours) << "continued at " << at;
            from = at + colours.size();
        }
        uninterrupted += got.substr(from);
        EXPECT_TRUE(uninterrupted == expected) << "non-blocking " << nonblocking << ", " << stops << " stops";
    }
    unlink(path.c_str());
}

// A signal that ends the run comes while tintcell waits on a full pipe: the
// pieces before it arrive whole, then the closing reset, and the process
// ends by that signal.
TEST(EndToEnd, EndingSignalsResetTheTerminalFirst)
{
    const int width = 500, height = 400;
    const std::string image = ppmheader(width, height) + variedpixels(width, height);
    const std::string path = scratchfile("ended.ppm", image);
    const std::string expected = render(image).out;
    // No core file for SIGQUIT.
    rlimit core, nocore;
    getrlimit(RLIMIT_CORE, &core);
    nocore = core;
    nocore.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &nocore);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        pid_t pid;
        const int fd = spawnforsignals(path, false, &pid);
        ASSERT_GE(fd, 0);
        std::string got;
        while (got.size() < 100000 && readsome(fd, &got, 100) >= 0) {
        }
        kill(pid, sig);
        while (readsome(fd, &got, 100) >= 0) {
        }
        close(fd);
        int status;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        ASSERT_GT(got.size(), closingreset.size());
        const std::string before = got.substr(0, got.size() - closingreset.size());
        EXPECT_EQ(got.substr(before.size()), closingreset) << strsignal(sig);
        EXPECT_LT(before.size(), expected.size() - closingreset.size()) << strsignal(sig);
        EXPECT_TRUE(expected.compare(0, before.size(), before) == 0) << strsignal(sig);
        EXPECT_EQ(before.find(esc, before.rfind('m') + 1), std::string::npos) << "a sequence cut in two";
    }
    setrlimit(RLIMIT_CORE, &core);
    unlink(path.c_str());
}

}  // namespace
