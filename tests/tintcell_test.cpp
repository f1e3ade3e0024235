// tintcell_test: reading the header and pixels, and whole runs of the built binary.
#include "tintcell.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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
TEST(ReadPixels, LargeImageMatchesTheModel)
{
    const int width = 5000, height = 5;
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
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (size_t cut : {pixels.size(), pixels.size() - 1, size_t{49152}, size_t{49153}, size_t{49154},
                       size_t{3 * 4096 + 2}, size_t{15000}, size_t{2}, size_t{0}}) {
        const std::string data = pixels.substr(0, cut);
        const rendered r = render(header + data);
        EXPECT_TRUE(r.ok);
        EXPECT_TRUE(r.out == modelrun(data, width, height)) << "data cut after " << cut << " bytes";
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
