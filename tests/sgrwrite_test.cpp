// sgrwrite_test: the colour changes the writer sends between glyphs.
#include "sgrwrite.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "expect.h"

namespace {

using rows = std::vector<std::vector<int>>;

// Writes one image of palette cells, given by index row by row.
std::string writeimage(const rows &image)
{
    buildpalette();
    char *bytes = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&bytes, &length);
    termstate t;
    beginimage(&t, out);
    for (const std::vector<int> &row : image) {
        for (int index : row)
            putcell(&t, palettecell(index));
        endrow(&t);
    }
    endimage(&t);
    fclose(out);
    std::string written(bytes, length);
    free(bytes);
    return written;
}

struct writecase {
    const char *what;
    rows image;
    std::string expected;
};

TEST(PutCell, SendsOnlyTheNeededChange)
{
    const int spaceblack = cellindex(black, black, 0), spacered = cellindex(black, red, 0);
    const int spacewhite = cellindex(black, white, 0), spaceblue = cellindex(black, blue, 0);
    const int nredonwhite = cellindex(red, white, 7), zeroonwhite = cellindex(black, white, 6);
    const int nonwhite = cellindex(black, white, 7), ibluegreen = cellindex(blue, green, 4);
    const int dotyellow = cellindex(black, yellow, 1), nonred = cellindex(black, red, 7);
    const int dotwhiteonblack = cellindex(white, black, 1);
    const int nredonblack = cellindex(red, black, 7), ngreenonblack = cellindex(green, black, 7);
    const writecase cases[] = {
        {"the first cell sets both colours, then only the background changes",
         {{spaceblack, spacered, spacewhite}},
         setboth(black, black) + " " + setbg(red) + " " + setbg(white) + " " + rowend + closingreset},
        {"the second row is compared with the colours the first row left",
         {{nonwhite, ibluegreen}, {spaceblue, dotyellow}},
         setboth(black, white) + "N" + setboth(blue, green) + "i" + rowend + setboth(black, blue) + " " +
             setbg(yellow) + "." + rowend + closingreset},
        {"a space needs no foreground change, and the old one stays in force",
         {{nredonwhite, spacewhite, zeroonwhite}},
         setboth(red, white) + "N" + " " + setfg(black) + "0" + rowend + closingreset},
        {"a foreground kept through a space needs no change after it",
         {{dotwhiteonblack, spaceblack, dotwhiteonblack}},
         setboth(white, black) + "." + " " + "." + rowend + closingreset},
        {"a glyph other than a space changes the foreground alone",
         {{nredonblack, ngreenonblack}},
         setboth(red, black) + "N" + setfg(green) + "N" + rowend + closingreset},
        {"a run of one cell costs one sequence and then one byte a cell",
         {{nonred, nonred, nonred, nonred}, {nonred}},
         setboth(black, red) + "NNNN" + rowend + "N" + rowend + closingreset},
        {"rows with no cells are only their ends", {{}, {}}, rowend + rowend + closingreset},
        {"an image with no rows is only the reset", {}, closingreset},
    };
    for (const writecase &c : cases)
        EXPECT_EQ(writeimage(c.image), c.expected) << c.what;
}

TEST(PutCell, EachImageStartsWithNothingSent)
{
    buildpalette();
    char *bytes = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&bytes, &length);
    termstate t;
    for (int image = 0; image < 2; image++) {
        beginimage(&t, out);
        putcell(&t, palettecell(cellindex(black, black, 0)));
    }
    fclose(out);
    const std::string once = setboth(black, black) + " ";
    EXPECT_EQ(std::string(bytes, length), once + once);
    free(bytes);
}

}  // namespace
