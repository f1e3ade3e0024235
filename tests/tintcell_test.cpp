// tintcell_test: reading the header and pixels, and whole runs of the built binary.
#include "tintcell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "expect.h"
#include "palette.h"
#include "render.h"
#include "runtool.h"

namespace {

const std::string redpx = px(255, 0, 0), whitepx = px(255, 255, 255), blackpx = px(0, 0, 0);

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
        FILE *in = openstream("P6\n" + std::string(c.line) + "\n255\n");
        int32_t width = 0, height = 0;
        EXPECT_EQ(readheader(in, &width, &height), headerimage) << c.line;
        EXPECT_EQ(width, c.width) << c.line;
        EXPECT_EQ(height, c.height) << c.line;
        closestream(in);
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

TEST(EndToEnd, OutputAndExitStatus)
{
    const std::string image = scratchfile("image.ppm", "P6\n# three\n3 1\n255\n" + blackpx + redpx + whitepx);
    const std::string notppm = scratchfile("notppm.ppm", "P3\n3 1\n255\n");
    const std::string broken = scratchfile("broken.ppm", "P6\n3\n255\n");
    // Bytes that a stream in text mode would change or stop at: CR, LF and
    // 26 in the pixels, and the row ends on the way out.
    const std::string binary = ppmheader(3, 2) + px(13, 10, 26) + px(26, 13, 10) + px(10, 26, 13) + px(13, 13, 10) +
                               px(10, 10, 13) + px(26, 26, 26);
    const std::string binaryout = render(binary).out;
    const std::string binarypath = scratchfile("binary.ppm", binary);
    const bool piped = true;
    struct {
        const char *what;
        std::vector<std::string> args;
        std::string stdinpath;
        bool piped;
        int status;
        std::string out;
    } cases[] = {
        {"an image", {image}, emptyinput, !piped, exitok, blackredwhite + closingreset},
        {"arguments after the first", {image, "--help", "-"}, emptyinput, !piped, exitok, blackredwhite + closingreset},
        {"no argument: standard input", {}, image, !piped, exitok, blackredwhite + closingreset},
        {"-: standard input", {"-"}, image, !piped, exitok, blackredwhite + closingreset},
        {"no argument: a pipe", {}, image, piped, exitok, blackredwhite + closingreset},
        {"-: a pipe", {"-"}, image, piped, exitok, blackredwhite + closingreset},
        {"CR, LF and 26 in the pixels", {binarypath}, emptyinput, !piped, exitok, binaryout},
        {"CR, LF and 26 in the pixels on standard input", {}, binarypath, !piped, exitok, binaryout},
        {"CR, LF and 26 in the pixels through a pipe", {}, binarypath, piped, exitok, binaryout},
        {"a broken header through a pipe", {}, broken, piped, exitfailure, ""},
        {"no argument: empty standard input", {}, emptyinput, !piped, exitok, ""},
        {"a file that is not P6", {notppm}, emptyinput, !piped, exitok, ""},
        {"a broken header", {broken}, emptyinput, !piped, exitfailure, ""},
        {"a file that does not exist", {scratchpath("missing.ppm")}, emptyinput, !piped, exitfailure, ""},
        {"a directory", {TINTCELL_CORPUS}, emptyinput, !piped, exitfailure, ""},
        {"an empty path", {""}, emptyinput, !piped, exitfailure, ""},
    };
    for (const auto &c : cases) {
        const run r = runtool(c.args, c.stdinpath, "", c.piped);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_TRUE(r.out == c.out) << c.what << ": got " << testing::PrintToString(r.out.substr(0, 200));
        EXPECT_EQ(r.err, "") << c.what;
    }
    for (const std::string &path : {image, notppm, broken, binarypath})
        removefile(path);
}

// A name is taken whole, in any script: on Windows from the wide command
// line, not through the ANSI code page.
TEST(EndToEnd, AnyFileName)
{
    const std::string image = ppmheader(3, 1) + blackpx + redpx + whitepx;
    for (const char *name : {u8"fot\u00f3-\u65e5\u672c.ppm", u8"two words.ppm", u8"\U0001F600.ppm"}) {
        const std::string path = scratchfile(name, image);
        const run r = runtool({path});
        EXPECT_EQ(r.status, exitok) << name;
        EXPECT_EQ(r.out, blackredwhite + closingreset) << name;
        removefile(path);
    }
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
