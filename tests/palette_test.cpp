// palette_test: the palette's cells and the nearest-cell search.
#include "palette.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>

#include "expect.h"

namespace {

struct nearestcase {
    uint8_t red, green, blue;
    int index;
    int fg, bg;
    char glyph;
};

// The eight pure colours, greys on both sides of the middle, and three
// colours at exact ties between cells that the extended arithmetic decides
// (plain double arithmetic would give 387, 389 and 388).
constexpr nearestcase nearestcases[] = {
    {0, 0, 0, 0, 30, 40, ' '},
    {255, 0, 0, 8, 30, 41, ' '},
    {0, 255, 0, 16, 30, 42, ' '},
    {255, 255, 0, 24, 30, 43, ' '},
    {0, 0, 255, 32, 30, 44, ' '},
    {255, 0, 255, 40, 30, 45, ' '},
    {0, 255, 255, 48, 30, 46, ' '},
    {255, 255, 255, 56, 30, 47, ' '},
    {128, 0, 0, 15, 30, 41, 'N'},
    {250, 250, 0, 25, 30, 43, '.'},
    {128, 128, 128, 63, 30, 47, 'N'},
    {192, 192, 192, 62, 30, 47, '0'},
    {255, 171, 171, 127, 31, 47, 'N'},
    {10, 200, 30, 276, 34, 42, 'i'},
    {64, 64, 64, 454, 37, 40, '0'},
    {8, 8, 8, 449, 37, 40, '.'},
    {2, 29, 59, 388, 36, 40, 'i'},
    {7, 26, 53, 387, 36, 40, '>'},
    {12, 23, 45, 387, 36, 40, '>'},
};

TEST(NearestCell, KnownColoursAndTies)
{
    buildpalette();
    for (const nearestcase &c : nearestcases) {
        SCOPED_TRACE(testing::Message() << "pixel " << int(c.red) << " " << int(c.green) << " " << int(c.blue));
        EXPECT_EQ(scannearest(c.red, c.green, c.blue), c.index);
        const int found = nearestcell(c.red, c.green, c.blue);
        ASSERT_EQ(found, c.index);
        const cell &got = palettecell(found);
        EXPECT_EQ(got.fg, c.fg);
        EXPECT_EQ(got.bg, c.bg);
        EXPECT_EQ(got.glyph, c.glyph);
    }
}

// A space shows only its background, so of the eight space cells that show a
// colour the one with foreground black, the lowest index, must win.
TEST(NearestCell, SpaceCellsHaveBlackForeground)
{
    buildpalette();
    for (int r = 0; r < 256; r += 15) {
        for (int g = 0; g < 256; g += 15) {
            for (int b = 0; b < 256; b += 15) {
                const cell &c = palettecell(nearestcell(r, g, b));
                if (c.glyph == ' ') {
                    EXPECT_EQ(c.fg, fgcode(black)) << r << " " << g << " " << b;
                }
            }
        }
    }
}

TEST(Palette, CellsByIndex)
{
    buildpalette();
    buildpalette();  // a second build starts afresh rather than adding cells
    ASSERT_EQ(palettecount(), palettecells);
    std::set<std::tuple<float, float, float>> colours;
    for (int f = 0; f < 8; f++) {
        for (int k = 0; k < 8; k++) {
            for (int j = 0; j < 8; j++) {
                const cell &c = palettecell(cellindex(f, k, j));
                EXPECT_EQ(c.fg, fgcode(f));
                EXPECT_EQ(c.bg, bgcode(k));
                EXPECT_EQ(c.glyph, " .:>ia0N"[j]);
                colours.insert({c.r, c.g, c.b});
            }
        }
    }
    EXPECT_EQ(colours.size(), 400u);
}

// The fast search takes each glyph's best cell channel by channel. That is
// exact only while, for every sample, two different values of a channel lie
// at errors far apart compared with the rounding of a sum (2^-62).
TEST(Palette, ChannelErrorsOfAGlyphStayApart)
{
    buildpalette();
    long double closest = 1;
    for (int j = 0; j < 8; j++) {
        const float values[4] = {palettecell(cellindex(black, black, j)).r, palettecell(cellindex(red, black, j)).r,
                                 palettecell(cellindex(black, red, j)).r, palettecell(cellindex(red, red, j)).r};
        for (int n = 0; n < 256; n++) {
            for (int a = 0; a < 4; a++) {
                for (int b = a + 1; b < 4; b++) {
                    const long double gap = std::fabs(std::fabs(n / 255.0L - values[a]) - std::fabs(n / 255.0L - values[b]));
                    if (values[a] != values[b] && gap < closest)
                        closest = gap;
                }
            }
        }
    }
    EXPECT_GT(closest, 2.9e-9L);
}

TEST(Palette, MixedChannelsRoundToFloat)
{
    buildpalette();
    // Black N on white: 1 - 0.33 lies half-way between two floats and takes
    // the even one, which is the lower.
    const float upper = 0.67f, lower = std::nextafter(upper, 0.0f);
    ASSERT_EQ((static_cast<long double>(lower) + upper) / 2, 1.0L - 0.33f);
    const cell &c = palettecell(cellindex(black, white, 7));
    EXPECT_EQ(c.r, lower);
    EXPECT_EQ(c.g, lower);
    EXPECT_EQ(c.b, lower);
    // White N on black: the coverage itself.
    EXPECT_EQ(palettecell(cellindex(white, black, 7)).r, 0.33f);
    // Red a on blue mixes per channel.
    const cell &m = palettecell(cellindex(red, blue, 5));
    EXPECT_EQ(m.r, 0.2f);
    EXPECT_EQ(m.g, 0.0f);
    EXPECT_EQ(m.b, 0.8f);
}

}  // namespace
