// sgrwrite_test: the colour changes the writer sends between glyphs.
#include "sgrwrite.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "expect.h"
#include "runtool.h"

namespace {

using rows = std::vector<std::vector<int>>;

sgrout writer;

// How the cells of a row reach the writer.
enum feed { onebyone, inruns, indexed };

// Writes one image of palette cells, given by index row by row.
std::string writeimage(const rows &image, feed how = onebyone)
{
    buildpalette();
    FILE *out = openstream();
    openout(&writer, out);
    for (const std::vector<int> &row : image) {
        if (how == indexed) {
            const std::vector<uint16_t> indices(row.begin(), row.end());
            putindexed(&writer, indices.data(), static_cast<int>(indices.size()));
        }
        for (size_t i = 0; how != indexed && i < row.size();) {
            size_t run = 1;
            while (how == inruns && i + run < row.size() && row[i + run] == row[i])
                run++;
            if (how == inruns)
                putcells(&writer, palettecell(row[i]), static_cast<int64_t>(run));
            else
                putcell(&writer, palettecell(row[i]));
            i += run;
        }
        endrow(&writer);
    }
    endimage(&writer);
    EXPECT_TRUE(closeout(&writer));
    return closestream(out);
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
    for (const writecase &c : cases) {
        for (feed how : {onebyone, inruns, indexed})
            EXPECT_EQ(writeimage(c.image, how), c.expected) << c.what << ", fed " << how;
    }
}

// Rows long enough to cross the writer's buffer many times, in runs of
// every length up to 40 of cells that need each kind of change.
TEST(PutCell, BufferedBytesArriveInOrder)
{
    const int cycle[] = {cellindex(black, black, 0), cellindex(red, black, 7), cellindex(red, blue, 3),
                         cellindex(green, blue, 0), cellindex(green, blue, 5), cellindex(white, white, 1)};
    rows image(3);
    std::string expected;
    int fg = -1, bg = -1;
    for (std::vector<int> &row : image) {
        for (int i = 0; row.size() < 3 * outbuffersize; i++) {
            const int index = cycle[i % 6];
            const int f = index / 64, k = index / 8 % 8;
            const char glyph = " .:>ia0N"[index % 8];
            for (int n = 0; n <= i % 40; n++) {
                row.push_back(index);
                if (fgcode(f) != fg && bgcode(k) != bg)
                    expected += setboth(f, k);
                else if (bgcode(k) != bg)
                    expected += setbg(k);
                else if (fgcode(f) != fg && glyph != ' ')
                    expected += setfg(f);
                if (bgcode(k) != bg || glyph != ' ')
                    fg = fgcode(f);
                bg = bgcode(k);
                expected += glyph;
            }
        }
        expected += rowend;
    }
    expected += closingreset;
    for (feed how : {onebyone, inruns, indexed})
        EXPECT_EQ(writeimage(image, how), expected) << "fed " << how;
}

// A row whose newline falls on the last byte of the buffer, or just past it.
TEST(PutCell, RowEndsAtTheEdgeOfTheBuffer)
{
    const int spaceblack = cellindex(black, black, 0);
    const int first = static_cast<int>(setboth(black, black).size());
    for (int cells : {outbuffersize - first - 1, outbuffersize - first, outbuffersize - first + 1}) {
        const rows image{std::vector<int>(cells, spaceblack), {spaceblack}};
        const std::string expected = setboth(black, black) + std::string(cells, ' ') + rowend + " " + rowend + closingreset;
        for (feed how : {onebyone, inruns, indexed})
            EXPECT_EQ(writeimage(image, how), expected) << cells << " cells, fed " << how;
    }
}

TEST(PutCell, EachImageStartsWithNothingSent)
{
    buildpalette();
    FILE *out = openstream();
    openout(&writer, out);
    for (int image = 0; image < 2; image++) {
        beginimage(&writer);
        putcell(&writer, palettecell(cellindex(black, black, 0)));
    }
    EXPECT_TRUE(closeout(&writer));
    const std::string once = setboth(black, black) + " ";
    EXPECT_EQ(closestream(out), once + once);
}

}  // namespace
