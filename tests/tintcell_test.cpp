// tintcell_test: reading the header and pixels, and whole runs of the built binary.
#include "tintcell.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "expect.h"
#include "palette.h"
#include "runtool.h"
#include "sgrwrite.h"

namespace {

const std::string redpx = px(255, 0, 0), whitepx = px(255, 255, 255), blackpx = px(0, 0, 0);

// The bytes of a cell that the writer sends first in an image.
std::string firstcell(uint8_t r, uint8_t g, uint8_t b)
{
    buildpalette();
    const cell &c = palettecell(nearestcell(r, g, b));
    return esc + "[" + std::to_string(c.fg) + ";" + std::to_string(c.bg) + "m" + c.glyph;
}

struct rendered {
    bool ok;
    std::string out;
};

rendered render(const std::string &file)
{
    buildpalette();
    FILE *in = tmpfile();
    fwrite(file.data(), 1, file.size(), in);
    rewind(in);
    char *bytes = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&bytes, &length);
    const bool ok = renderppm(in, out);
    fclose(out);
    fclose(in);
    rendered r{ok, std::string(bytes, length)};
    free(bytes);
    return r;
}

struct filecase {
    const char *what;
    std::string file;
    std::string expected;
    bool ok;
};

void expectcases(const std::vector<filecase> &cases)
{
    for (const filecase &c : cases) {
        const rendered r = render(c.file);
        EXPECT_EQ(r.out, c.expected) << c.what;
        EXPECT_EQ(r.ok, c.ok) << c.what;
    }
}

const std::string blackredwhite = setboth(black, black) + " " + setbg(red) + " " + setbg(white) + " " + rowend;
const std::string oneredcell = setboth(black, red) + " " + rowend + closingreset;

TEST(ReadHeader, MagicLine)
{
    const std::string rest = "3 1\n255\n" + blackpx + redpx + whitepx;
    expectcases({
        {"the magic, a comment, size and maxval", "P6\n# comment\n" + rest, blackredwhite + closingreset, true},
        {"the whole header on the magic line", "P6 3 1 255\n" + blackpx + redpx + whitepx, "", true},
        {"a magic line ending in CR LF", "P6\r\n" + rest, "", true},
        {"a file of P6 and no line end, whose 6 the trim removes", "P6", "", true},
        {"P, 6, NUL and a newline, which trims to P", std::string("P6\0\n", 4) + rest, "", true},
        {"an empty file", "", "", true},
        {"another PPM magic", "P3\n" + rest, "", true},
        {"a first line that begins with NUL", std::string("\0P6\n", 4) + rest, "", true},
    });
}

TEST(ReadHeader, CommentsAndLinePieces)
{
    const std::string longcomment = "#" + std::string(254, 'x');  // exactly one 255-byte piece
    expectcases({
        {"several comments", "P6\n#a\n#\n# b\n1 1\n255\n" + redpx, oneredcell, true},
        {"a space before # makes the size line", "P6\n #c\n1 1\n255\n" + redpx, "", false},
        {"the rest of a 300-byte comment is the size line",
         "P6\n" + longcomment + "1 1 " + std::string(41, 'y') + "\n255\n" + redpx, oneredcell, true},
        {"the newline after a 255-byte comment is an empty size line",
         "P6\n" + longcomment + "\n1 1\n255\n" + redpx, "", false},
        {"a comment whose # the trim removes is no comment",
         std::string("P6\n#\0 x\n1 1\n255\n", 16) + redpx, "", false},
        {"a comment between size and maxval is the maxval line",
         "P6\n1 1\n# c\n255\n" + redpx, firstcell('2', '5', '5') + rowend + closingreset, true},
        {"the line after a size line holding the maxval is consumed",
         "P6\n1 1 255\nnot pixels\n" + redpx, oneredcell, true},
        {"pixel bytes up to a newline byte are consumed as the maxval line",
         "P6\n1 1 255\n" + px(9, 9, 10) + redpx, oneredcell, true},
        {"a maxval of 65535 gives one-byte samples", "P6\n2 1\n65535\n" + px(255, 255, 0) + px(0, 0, 0),
         setboth(black, yellow) + " " + setbg(black) + " " + rowend + closingreset, true},
    });
}

TEST(ReadHeader, SizeLine)
{
    const std::string black8 = std::string(8, ' ') + rowend;
    expectcases({
        {"octal and hexadecimal", "P6\n010 0x2\n255\n", setboth(black, black) + black8 + black8 + closingreset, true},
        {"a width below 1 gives rows of only their ends", "P6\n-1 5\n255\n",
         rowend + rowend + rowend + rowend + rowend + closingreset, true},
        {"height 0 gives only the reset", "P6\n5 0\n255\n" + redpx, closingreset, true},
        {"the least width", "P6\n-2147483648 0\n255\n", closingreset, true},
        {"the largest width and no rows", "P6\n0x7fffffff -0x80000000\n255\n", closingreset, true},
        {"a number past 32 bits", "P6\n4294967297 1\n255\n" + redpx, "", false},
        {"a negative number past 32 bits", "P6\n1 -2147483649\n255\n" + redpx, "", false},
        {"a blank size line", "P6\n\n255\n" + redpx, "", false},
        {"one number", "P6\n1\n255\n" + redpx, "", false},
        {"numbers on two lines", "P6\n1\n1\n255\n" + redpx, "", false},
        {"no number", "P6\nwide\n255\n" + redpx, "", false},
        {"a size line that begins with NUL", std::string("P6\n\0 1 1\n255\n", 13) + redpx, "", false},
        {"text after the second number is ignored", "P6\n1 1 x\n255\n" + redpx, oneredcell, true},
    });
}

#ifdef __GLIBC__
// The size line's own scanner reads as glibc's %i does, "0x" and octal
// included, on every line of up to six bytes drawn from digits of each base,
// prefixes, signs and spaces, and on numbers at and beyond the 32-bit range.
TEST(ReadHeader, SizeLineReadsAsScanfDoes)
{
    const char alphabet[] = "018fx- ";
    std::vector<std::string> lines = {"2147483647 -2147483648", "2147483648 1", "1 -2147483649", "0x7fffffff 1",
                                      "0x80000000 1", "1 -0x80000000", "017777777777 1", "020000000000 1",
                                      "4294967297 1", "1 0x100000001", "99999999999999999999999 1"};
    for (int length = 1; length <= 6; length++) {
        std::string line(length, ' ');
        for (int code = 0, total = 1 << (3 * length); code < total; code++) {
            for (int i = 0; i < length; i++)
                line[i] = alphabet[(code >> (3 * i)) % 7];
            lines.push_back(line);
        }
    }
    for (const std::string &line : lines) {
        long long w = 0, h = 0;  // long is 32 bits on some machines
        const bool scanned = sscanf(line.c_str(), "%lli %lli", &w, &h) == 2 && w >= INT32_MIN && w <= INT32_MAX &&
                             h >= INT32_MIN && h <= INT32_MAX;
        int32_t width = 0, height = 0;
        ASSERT_EQ(scansize(line.c_str(), &width, &height), scanned) << "size line \"" << line << "\"";
        if (scanned) {
            ASSERT_EQ(width, w) << line;
            ASSERT_EQ(height, h) << line;
        }
    }
}
#endif

// The extremes of both numbers reach the caller unchanged.
TEST(ReadHeader, SizeLimits)
{
    const struct {
        const char *line;
        int32_t width, height;
    } cases[] = {
        {"2147483647 2147483647", INT32_MAX, INT32_MAX},
        {"-2147483648 -2147483648", INT32_MIN, INT32_MIN},
    };
    for (const auto &c : cases) {
        const std::string file = "P6\n" + std::string(c.line) + "\n255\n";
        FILE *in = fmemopen(const_cast<char *>(file.data()), file.size(), "r");
        int32_t width = 0, height = 0;
        EXPECT_EQ(readheader(in, &width, &height), headerimage) << c.line;
        EXPECT_EQ(width, c.width) << c.line;
        EXPECT_EQ(height, c.height) << c.line;
        fclose(in);
    }
}

TEST(ReadHeader, EndOfFile)
{
    expectcases({
        {"after the magic", "P6\n", "", false},
        {"in the comments", "P6\n# c\n", "", false},
        {"before the maxval line", "P6\n1 1\n", "", false},
        {"a maxval line with no line end", "P6\n1 1\n255", setboth(black, black) + " " + rowend + closingreset, true},
    });
}

TEST(ReadPixels, MissingSamplesKeepTheirValue)
{
    expectcases({
        {"no pixel data: black", "P6\n2 1\n255\n", setboth(black, black) + "  " + rowend + closingreset, true},
        {"the data ends within a pixel", "P6\n3 1\n255\n" + whitepx + px(0, 0, 0).substr(0, 1),
         setboth(black, white) + " " + setbg(cyan) + "  " + rowend + closingreset, true},
        {"the data ends across rows", "P6\n1 2\n255\n" + redpx, setboth(black, red) + " " + rowend + " " + rowend + closingreset, true},
        {"bytes after the last pixel are not used", "P6\n1 1\n255\n" + redpx + "trailing", oneredcell, true},
    });
}

// The run as the format describes it: one sample at a time, each pixel
// searched by the plain scan and written by putcell.
std::string modelrun(const std::string &pixels, int width, int height)
{
    static sgrout model;
    buildpalette();
    char *bytes = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&bytes, &length);
    openout(&model, out);
    uint8_t sample[3] = {0, 0, 0};
    size_t at = 0;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            for (uint8_t &s : sample) {
                if (at < pixels.size())
                    s = static_cast<uint8_t>(pixels[at++]);
            }
            putcell(&model, palettecell(scannearest(sample[0], sample[1], sample[2])));
        }
        endrow(&model);
    }
    endimage(&model);
    closeout(&model);
    fclose(out);
    std::string written(bytes, length);
    free(bytes);
    return written;
}

// Rows wider than the cells found at a time, and more data than one read
// takes, cut short at places that fall on and off the edges of pixels and
// blocks. Colours come in runs, so that some repeat at once and some later.
std::string variedpixels(int width, int height)
{
    std::string pixels;
    uint32_t state = 12345;
    while (pixels.size() < 3u * width * height) {
        state = state * 1103515245u + 12345u;
        const std::string colour = px(state >> 24, state >> 16, state >> 8);
        for (uint32_t n = state >> 29; n-- > 0;)
            pixels += colour;
        pixels += px(state >> 8, state >> 24, state >> 16);
    }
    pixels.resize(3u * width * height);
    return pixels;
}

std::string ppmheader(int width, int height)
{
    return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
}

TEST(ReadPixels, LargeImageMatchesTheModel)
{
    const int width = 5000, height = 5;
    const std::string pixels = variedpixels(width, height);
    for (size_t cut : {pixels.size(), pixels.size() - 1, size_t{49152}, size_t{49153}, size_t{49154},
                       size_t{3 * 4096 + 2}, size_t{15000}, size_t{2}, size_t{0}}) {
        const std::string data = pixels.substr(0, cut);
        const rendered r = render(ppmheader(width, height) + data);
        EXPECT_TRUE(r.ok);
        EXPECT_TRUE(r.out == modelrun(data, width, height)) << "data cut after " << cut << " bytes";
    }
}

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

TEST(EndToEnd, OutputAndExitStatus)
{
    const std::string image = scratchfile("image.ppm", "P6\n# three\n3 1\n255\n" + blackpx + redpx + whitepx);
    const std::string notppm = scratchfile("notppm.ppm", "P3\n3 1\n255\n");
    const std::string broken = scratchfile("broken.ppm", "P6\n3\n255\n");
    // A terminal on standard input, which must not be read from: the pane
    // stays open, so a read would wait until the run is killed.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const std::string pane = ptsname(terminal);
    const bool piped = true;
    struct {
        const char *what;
        std::vector<std::string> args;
        std::string stdinpath;
        bool piped;
        int status;
        std::string out;
    } cases[] = {
        {"an image", {image}, "/dev/null", !piped, exitok, blackredwhite + closingreset},
        {"arguments after the first", {image, "--help", "-"}, "/dev/null", !piped, exitok, blackredwhite + closingreset},
        {"an image through /dev/stdin", {"/dev/stdin"}, image, !piped, exitok, blackredwhite + closingreset},
        {"no argument: standard input", {}, image, !piped, exitok, blackredwhite + closingreset},
        {"-: standard input", {"-"}, image, !piped, exitok, blackredwhite + closingreset},
        {"no argument: a pipe", {}, image, piped, exitok, blackredwhite + closingreset},
        {"-: a pipe", {"-"}, image, piped, exitok, blackredwhite + closingreset},
        {"a broken header through a pipe", {}, broken, piped, exitfailure, ""},
        {"no argument: empty standard input", {}, "/dev/null", !piped, exitok, ""},
        {"no argument: a terminal", {}, pane, !piped, exitusage, ""},
        {"a file that is not P6", {notppm}, "/dev/null", !piped, exitok, ""},
        {"a broken header", {broken}, "/dev/null", !piped, exitfailure, ""},
        {"a file that does not exist", {scratchpath("missing.ppm")}, "/dev/null", !piped, exitfailure, ""},
        {"a directory", {"/"}, "/dev/null", !piped, exitfailure, ""},
        {"a directory as standard input", {}, "/", !piped, exitfailure, ""},
        {"an empty path", {""}, "/dev/null", !piped, exitfailure, ""},
    };
    for (const auto &c : cases) {
        const run r = runtool(c.args, c.stdinpath, "", c.piped);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
    }
    close(terminal);
    for (const std::string &path : {image, notppm, broken})
        unlink(path.c_str());
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const bool spawned = spawntool({path}, &actions, pid, &attributes);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (!spawned) {
        close(fds[0]);
        return -1;
    }
    return fds[0];
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

TEST(EndToEnd, SampleMatchesTheLibrary)
{
    const run r = runtool({TINTCELL_SAMPLE});
    EXPECT_EQ(r.status, exitok);
    const rendered expected = render(slurp(TINTCELL_SAMPLE));
    ASSERT_TRUE(expected.ok);
    EXPECT_EQ(r.out, expected.out);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 22 + 1);
}

}  // namespace
