// corpus_test: the built binary on every file of tests/corpus.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "expect.h"
#include "runtool.h"
#include "tintcell.h"

namespace {

const std::string corpus = TINTCELL_CORPUS;

const std::string nothing;
const std::string redcell = setboth(black, red) + " " + rowend + closingreset;
const std::string redwhite = setboth(black, red) + " " + setbg(white) + " " + rowend + closingreset;
const std::string blackcell = setboth(black, black) + " " + rowend + closingreset;

std::string rows(int count, const std::string &row)
{
    std::string s;
    for (int i = 0; i < count; i++)
        s += row + rowend;
    return s;
}

struct corpuscase {
    const char *name;
    int status;
    std::string out;
};

// What each file must give. A file whose first line is not exactly P6
// gives nothing and status 0; a broken header gives nothing and status 1.
const corpuscase cases[] = {
    {"empty", exitok, nothing},
    {"magic-only-no-line-end", exitok, nothing},  // the trim removes the 6
    {"magic-lowercase", exitok, nothing},
    {"magic-p3", exitok, nothing},
    {"magic-trailing-space", exitok, nothing},
    {"magic-whole-header-on-one-line", exitok, nothing},
    {"magic-crlf", exitok, nothing},
    {"magic-cr-only-line-ends", exitok, nothing},  // one line, to the first NUL
    {"nul-in-magic", exitok, nothing},             // P6 trims to P
    {"nul-before-magic", exitok, nothing},

    {"truncated-after-magic", exitfailure, nothing},
    {"truncated-in-comment", exitfailure, nothing},
    {"truncated-size-line", exitfailure, nothing},  // "1 1" trims to one number
    {"truncated-before-maxval", exitfailure, nothing},
    {"maxval-without-line-end", exitok, blackcell},  // a maxval, then no data

    {"no-pixel-data", exitok, setboth(black, black) + "  " + rowend + closingreset},
    // White, then one red byte: the missing green and blue stay 255.
    {"truncated-in-a-pixel", exitok, setboth(black, white) + " " + setbg(cyan) + "  " + rowend + closingreset},
    {"truncated-across-rows", exitok, setboth(black, red) + "  " + rowend + "  " + rowend + closingreset},

    {"comments-many", exitok, redcell},
    {"comment-after-space", exitfailure, nothing},  // " #c" is the size line
    // The maxval line's "255" is the pixel (50, 53, 53), near a fifth grey.
    {"comment-before-maxval", exitok, setboth(white, black) + "a" + rowend + closingreset},
    {"nul-opens-comment", exitfailure, nothing},  // "#" trims to empty: no comment
    {"nul-later-in-comment", exitok, redcell},
    {"nul-in-size-line", exitfailure, nothing},
    {"nul-after-size", exitok, redcell},
    {"nul-in-maxval", exitok, redcell},

    {"comment-255-bytes-with-newline", exitok, redcell},
    {"comment-256-bytes-with-newline", exitfailure, nothing},  // its newline is an empty size line
    {"comment-300-bytes-ending-in-size", exitok, redcell},
    {"size-line-300-bytes", exitfailure, nothing},        // the first 255 bytes are spaces
    {"maxval-line-longer-than-255", exitok, redcell},  // its 256th byte starts the pixels

    {"cr-in-size-and-maxval", exitok, redcell},

    {"size-plus-signs", exitok, redwhite},
    {"size-hex", exitok, redwhite},
    {"size-octal", exitok, setboth(black, black) + std::string(8, ' ') + rowend + closingreset},
    {"size-octal-stops-at-8", exitok, rows(8, "") + closingreset},  // "08" is 0 and 8
    {"size-hex-without-digits", exitok, rows(1, "") + closingreset},  // "0x" reads as 0
    {"size-hex-bad-digit", exitfailure, nothing},
    {"size-double-sign", exitfailure, nothing},
    {"size-sign-alone", exitfailure, nothing},
    {"size-numbers-joined", exitok, closingreset},  // "1-1" is 1 and -1
    {"size-one-number", exitfailure, nothing},
    {"size-on-two-lines", exitfailure, nothing},
    {"size-blank-line", exitfailure, nothing},
    {"size-words", exitfailure, nothing},
    {"size-trailing-text", exitok, redcell},

    {"size-zero", exitok, closingreset},
    {"size-zero-width", exitok, rows(3, "") + closingreset},
    {"size-zero-height", exitok, closingreset},
    {"size-negative-width", exitok, rows(3, "") + closingreset},
    {"size-negative-height", exitok, closingreset},
    {"size-both-negative", exitok, closingreset},

    {"size-int32-max-width", exitok, closingreset},
    {"size-int32-min-width", exitok, rows(1, "") + closingreset},
    {"size-int32-extremes-hex", exitok, closingreset},
    {"size-width-beyond-int32", exitfailure, nothing},
    {"size-width-below-int32", exitfailure, nothing},
    {"size-hex-beyond-int32", exitfailure, nothing},
    {"size-would-wrap-to-1", exitfailure, nothing},
    {"size-height-beyond-int32", exitfailure, nothing},
    {"size-beyond-int64", exitfailure, nothing},

    {"size-large-one-pixel", exitok,
     setboth(black, red) + rows(2000, std::string(3000, ' ')) + closingreset},

    {"maxval-65535", exitok, setboth(black, yellow) + " " + setbg(black) + " " + rowend + closingreset},
    {"maxval-zero", exitok, redcell},
    {"maxval-negative", exitok, redcell},
    {"maxval-words", exitok, redcell},
    {"maxval-empty-line", exitok, redcell},
    {"maxval-on-size-line", exitok, redcell},
    {"maxval-on-size-line-eats-pixels", exitok, blackcell},

    {"trailing-garbage", exitok, redcell},
    {"trailing-second-image", exitok, redcell},
};

// Too large to hold: huge_test reads its output as a stream.
const char hugefile[] = "size-huge-no-data";

TEST(Corpus, EveryFileGivesItsOutputAndStatus)
{
    std::set<std::string> listed{std::string(hugefile) + ".ppm"};
    for (const corpuscase &c : cases) {
        listed.insert(std::string(c.name) + ".ppm");
        const run r = runtool({corpus + c.name + ".ppm"});
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_TRUE(r.out == c.out) << c.name << ": got " << testing::PrintToString(r.out.substr(0, 200));
        EXPECT_EQ(r.err, "") << c.name;
    }
    for (const auto &e : std::filesystem::directory_iterator(fspath(corpus))) {
        if (e.path().extension() == ".ppm") {
            const std::string name = e.path().filename().u8string();
            EXPECT_EQ(listed.count(name), 1u) << name << " has no expected output";
        }
    }
}

}  // namespace
