// palette_test: the palette's cells and the nearest-cell search.
#include "palette.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <set>
#include <tuple>

#include "expect.h"
#include "platform.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

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

// The wide forms are chosen by the features the C library read at start:
// they must be the processor's own, as it answers when asked.
TEST(Palette, WideFormsAskTheProcessor)
{
    unsigned expected = 0;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_LZCNT) != 0)
        expected |= haslzcnt;
    expected |= (__builtin_cpu_supports("avx2") ? hasavx2 : 0) | (__builtin_cpu_supports("popcnt") ? haspopcnt : 0);
#endif
    EXPECT_EQ(processorfeatures(), expected);
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
// at errors far apart compared with what two roundings of a sum below 4 can
// absorb (2^-62).
TEST(Palette, ChannelErrorsOfAGlyphStayApart)
{
    buildpalette();
    const exactvalue far = {0, uint64_t{1} << (exactfractionbits - 30)};  // 2^-30
    for (int j = 0; j < 8; j++) {
        const int cells[4] = {cellindex(black, black, j), cellindex(red, black, j), cellindex(black, red, j),
                              cellindex(red, red, j)};
        for (int n = 0; n < 256; n++) {
            for (int a = 0; a < 4; a++) {
                for (int b = a + 1; b < 4; b++) {
                    const exactvalue va = channelvalue(cells[a], 0), vb = channelvalue(cells[b], 0);
                    const exactvalue gap = roundeddistance(roundeddistance(samplevalue(n), va),
                                                           roundeddistance(samplevalue(n), vb));
                    EXPECT_TRUE(va == vb || !(gap < far)) << "glyph " << j << " sample " << n;
                }
            }
        }
    }
}

// Each coverage is pinned as an exact value; the white glyph on black shows
// it, and the black glyph on white shows 1 - a rounded to a float, ties to
// even (1 - 0.33 lies half-way between two floats and takes the lower).
TEST(Palette, MixedChannelsRoundToFloat)
{
    buildpalette();
    const float coverage[8] = {0.0f, 0.03f, 0.07f, 0.12f, 0.17f, 0.2f, 0.27f, 0.33f};
    for (int j = 0; j < 8; j++) {
        // 1 - a is exact in double; the conversion to float rounds once.
        const float complement = static_cast<float>(1.0 - static_cast<double>(coverage[j]));
        EXPECT_EQ(palettecell(cellindex(white, black, j)).r, coverage[j]) << "glyph " << j;
        EXPECT_EQ(palettecell(cellindex(black, white, j)).g, complement) << "glyph " << j;
    }
    EXPECT_EQ(palettecell(cellindex(black, white, 7)).b, std::nextafter(0.67f, 0.0f));
    // Red a on blue mixes per channel.
    const cell &m = palettecell(cellindex(red, blue, 5));
    EXPECT_EQ(m.r, 0.2f);
    EXPECT_EQ(m.g, 0.0f);
    EXPECT_EQ(m.b, 0.8f);
}

// The nearest cell of every 24-bit colour, hashed (64-bit FNV-1a over each
// index's low and high byte, colours in order red, green, blue), found one at
// a time and many at a time. The hash was recorded from the plain scan in
// x87 extended arithmetic on x86-64: on any other machine this is what shows
// that the search gives the same cells.
TEST(NearestCell, EveryColourGivesTheRecordedCells)
{
    buildpalette();
    const auto fnv = [](uint64_t hash, int index) {
        hash = (hash ^ static_cast<uint8_t>(index)) * 0x100000001b3u;
        return (hash ^ static_cast<uint8_t>(index >> 8)) * 0x100000001b3u;
    };
    uint64_t onebyone = 0xcbf29ce484222325u, many = onebyone;
    static unsigned char pixels[3 << 16];
    static uint16_t cells[1 << 16];
    int length = 1;
    for (uint32_t first = 0; first < (1u << 24); first += 1u << 16) {
        for (uint32_t i = 0; i < (1u << 16); i++) {
            const uint32_t c = first + i;
            pixels[3 * i] = static_cast<unsigned char>(c >> 16);
            pixels[3 * i + 1] = static_cast<unsigned char>(c >> 8);
            pixels[3 * i + 2] = static_cast<unsigned char>(c);
            onebyone = fnv(onebyone, nearestcell(pixels[3 * i], pixels[3 * i + 1], pixels[3 * i + 2]));
        }
        // In pieces of many lengths, so that runs end anywhere in a batch
        // and some span two batches or three.
        for (int at = 0; at < (1 << 16); at += length, length = length % 9973 + 7)
            nearestcells(pixels + 3 * at, std::min(length, (1 << 16) - at), cells + at);
        for (uint16_t index : cells)
            many = fnv(many, index);
    }
    EXPECT_EQ(onebyone, 0xbc43ecd185a2518du);
    EXPECT_EQ(many, 0xbc43ecd185a2518du);
}

#if (defined(__x86_64__) || defined(__i386__)) && LDBL_MANT_DIG == 64
// Where long double is the x87 extended format, the integer arithmetic is
// checked against it: the definition the search is made from.

exactvalue exactof(long double x)
{
    const long double scaled = std::ldexp(x, exactfractionbits);  // an integer below 2^73
    const long double hi = std::floor(std::ldexp(scaled, -64));
    return {static_cast<uint64_t>(hi), static_cast<uint64_t>(scaled - std::ldexp(hi, 64))};
}

TEST(Extended, SamplesAndChannelsAreTheExtendedValues)
{
    buildpalette();
    for (int n = 0; n < 256; n++)
        EXPECT_TRUE(samplevalue(n) == exactof(n / 255.0L)) << "sample " << n;
    for (int i = 0; i < palettecells; i++) {
        const cell &c = palettecell(i);
        const float channels[3] = {c.r, c.g, c.b};
        for (int k = 0; k < 3; k++)
            EXPECT_TRUE(channelvalue(i, k) == exactof(channels[k])) << "cell " << i << " channel " << k;
    }
}

// Sums of values with 64 significant bits at every scale the search meets,
// many of them exact ties at the rounding, both ways to even.
TEST(Extended, RoundedSumsAndDistancesAreTheExtendedOnes)
{
    uint64_t state = 88172645463325252u;
    const auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    const auto value = [&] {
        const uint64_t significand = next() | uint64_t{1} << 63;
        return std::ldexp(static_cast<long double>(significand >> (next() % 24)), -71 + static_cast<int>(next() % 9));
    };
    for (int i = 0; i < 200000; i++) {
        const long double a = value(), b = value();
        ASSERT_TRUE(roundedsum(exactof(a), exactof(b)) == exactof(a + b)) << std::hexfloat << a << " + " << b;
        ASSERT_TRUE(roundeddistance(exactof(a), exactof(b)) == exactof(std::fabs(a - b)))
            << std::hexfloat << a << " - " << b;
    }
}

int extendedscan(uint8_t red, uint8_t green, uint8_t blue)
{
    const long double r = red / 255.0L, g = green / 255.0L, b = blue / 255.0L;
    long double best = 999999.0L;
    int bestindex = 0;
    for (int i = 0; i < palettecount(); i++) {
        const cell &c = palettecell(i);
        long double d = std::fabs(r - c.r) + std::fabs(g - c.g);
        d = d + std::fabs(b - c.b);
        if (d < best) {
            best = d;
            bestindex = i;
        }
    }
    return bestindex;
}

TEST(Extended, ScanFindsTheCellsOfTheExtendedScan)
{
    buildpalette();
    for (int r = 0; r < 256; r += 7) {
        for (int g = 1; g < 256; g += 7) {
            for (int b = 2; b < 256; b += 7)
                ASSERT_EQ(scannearest(r, g, b), extendedscan(r, g, b)) << r << " " << g << " " << b;
        }
    }
    for (const nearestcase &c : nearestcases)
        EXPECT_EQ(extendedscan(c.red, c.green, c.blue), c.index);
}
#endif

}  // namespace
