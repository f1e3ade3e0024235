// palette: builds the cell palette and finds the nearest cell to a pixel colour.
#include "palette.h"

#include <emmintrin.h>

#include <cmath>
#include <limits>

// The search and its ties are defined by x87 extended arithmetic; a
// narrower long double would decide some ties differently.
static_assert(std::numeric_limits<long double>::digits == 64,
              "long double must be the 80-bit extended format");

static constexpr char glyphramp[8] = {' ', '.', ':', '>', 'i', 'a', '0', 'N'};
static constexpr float coverage[8] = {0.0f, 0.03f, 0.07f, 0.12f, 0.17f, 0.2f, 0.27f, 0.33f};

// colourbits[index][channel]: the channel values of each colour index.
static constexpr float colourbits[8][3] = {
    {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0},
    {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1},
};

static struct {
    cell cells[palettecells];
    int count;
} palette;

// The fast search rests on three facts.
//
// 1. For one glyph j, each channel of a cell takes one of four values, 0, a,
//    1 - a and 1, chosen by that channel's bit of the foreground and of the
//    background alone. So the 64 cells of a glyph are every way of choosing
//    a value per channel, and the channel errors |R - r|, |G - g|, |B - b|
//    can be chosen independently.
// 2. Rounding to nearest is monotone, so the distance (|dr| + |dg|) + |db|
//    never falls when one of its terms grows. The least distance of glyph j
//    therefore comes from the least error in each channel. No other cell of
//    the glyph reaches it: two different values of one channel leave errors
//    at least 2.9e-9 apart for every sample, far beyond the 2^-62 that the
//    two roundings of a sum below 3 can absorb, so they give strictly
//    different distances. Of two values with equal errors (only the space
//    has them: its foreground bit does not matter) the one with the lower
//    foreground bit, then background bit, gives the lower index.
// 3. Between glyphs exact ties are common, and only the extended arithmetic
//    in the written order decides them. A filter sums the three errors
//    scaled by 2^13 and rounded to integers: each rounding is off by at most
//    half a unit and the exact distance differs from the true sum by far less
//    than one, so each glyph's integer sum lies within 2 units of 2^13 times
//    its distance. A glyph whose sum exceeds the least sum by 4 or more is
//    therefore strictly farther; the glyphs within 3 of the least are
//    compared exactly, distance first and index second, as the scan in
//    index order would. (About one colour in seven needs that comparison,
//    most of them for exact ties.)
//
// Channel values repeat across channels, so one table per sample value
// serves red, green and blue. The scaled errors fit 13 bits, so the sums of
// all eight glyphs fit one vector of 16-bit lanes.
static constexpr int filterbits = 13;
static constexpr int16_t filterslack = 3;

static struct {
    long double error[256][8];        // least channel error of glyph j at sample n, exact
    alignas(16) int16_t approx[256][8];  // that error times 2^filterbits, rounded
    uint16_t part[256][8];            // 64 * foreground bit + 8 * background bit of that value
} channels;

// a*fore + (1-a)*back is exact in the extended format; only the store to a
// float rounds (1 - 0.33 lies half-way between two floats and goes to the
// even, lower one).
static float mixchannel(float a, float fore, float back)
{
    const long double al = a;
    return static_cast<float>(al * fore + (1.0L - al) * back);
}

// The values a channel takes in glyph j, read from the cells built: the red
// channel of the cell with foreground bit fb and background bit kb, which is
// colour 1 or 0 in each.
static void buildchannels()
{
    for (int n = 0; n < 256; n++) {
        const long double sample = n / 255.0L;
        for (int j = 0; j < 8; j++) {
            long double least = 0;
            int leastpart = -1;
            // Foreground bit outermost, so of equal errors the lower bits win.
            for (int fb = 0; fb < 2; fb++) {
                for (int kb = 0; kb < 2; kb++) {
                    const float value = palette.cells[64 * fb + 8 * kb + j].r;
                    const long double error = std::fabs(sample - value);
                    if (leastpart < 0 || error < least) {
                        least = error;
                        leastpart = 64 * fb + 8 * kb;
                    }
                }
            }
            channels.error[n][j] = least;
            channels.approx[n][j] = static_cast<int16_t>(std::lround(std::ldexp(least, filterbits)));
            channels.part[n][j] = static_cast<uint16_t>(leastpart);
        }
    }
}

void buildpalette()
{
    palette.count = 0;
    for (int f = 0; f < 8; f++) {
        for (int k = 0; k < 8; k++) {
            for (int j = 0; j < 8; j++) {
                cell &c = palette.cells[palette.count++];
                c.r = mixchannel(coverage[j], colourbits[f][0], colourbits[k][0]);
                c.g = mixchannel(coverage[j], colourbits[f][1], colourbits[k][1]);
                c.b = mixchannel(coverage[j], colourbits[f][2], colourbits[k][2]);
                c.fg = 30 + f;
                c.bg = 40 + k;
                c.glyph = glyphramp[j];
            }
        }
    }
    buildchannels();
}

int palettecount()
{
    return palette.count;
}

const cell &palettecell(int index)
{
    return palette.cells[index];
}

int scannearest(uint8_t red, uint8_t green, uint8_t blue)
{
    const long double r = red / 255.0L;
    const long double g = green / 255.0L;
    const long double b = blue / 255.0L;
    long double best = 999999.0L;
    int bestindex = 0;
    for (int i = 0; i < palette.count; i++) {
        const cell &c = palette.cells[i];
        long double d = std::fabs(r - c.r) + std::fabs(g - c.g);
        d = d + std::fabs(b - c.b);
        // Strictly less: of equal distances the first, lowest index stays.
        if (d < best) {
            best = d;
            bestindex = i;
        }
    }
    return bestindex;
}

// Foreground bits weigh 64, 128 and 256 by channel, background bits 8, 16, 32.
static int glyphcell(uint8_t red, uint8_t green, uint8_t blue, int j)
{
    return channels.part[red][j] + 2 * channels.part[green][j] + 4 * channels.part[blue][j] + j;
}

static __m128i loadapprox(uint8_t sample)
{
    return _mm_load_si128(reinterpret_cast<const __m128i *>(channels.approx[sample]));
}

int nearestcell(uint8_t red, uint8_t green, uint8_t blue)
{
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(loadapprox(red), loadapprox(green)), loadapprox(blue));
    __m128i least = _mm_min_epi16(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    least = _mm_min_epi16(least, _mm_shuffle_epi32(least, _MM_SHUFFLE(2, 3, 0, 1)));
    least = _mm_min_epi16(least, _mm_shufflelo_epi16(least, _MM_SHUFFLE(2, 3, 0, 1)));
    least = _mm_shuffle_epi32(_mm_shufflelo_epi16(least, 0), 0);
    const __m128i far = _mm_cmpgt_epi16(sum, _mm_add_epi16(least, _mm_set1_epi16(filterslack)));
    // Two mask bits a glyph; keep the lower one of each.
    unsigned near = ~static_cast<unsigned>(_mm_movemask_epi8(far)) & 0x5555u;
    if ((near & (near - 1)) == 0)
        return glyphcell(red, green, blue, __builtin_ctz(near) / 2);
    long double best = 0;
    int bestindex = -1;
    for (; near != 0; near &= near - 1) {
        const int j = __builtin_ctz(near) / 2;
        const long double d = (channels.error[red][j] + channels.error[green][j]) + channels.error[blue][j];
        const int index = glyphcell(red, green, blue, j);
        if (bestindex < 0 || d < best || (d == best && index < bestindex)) {
            best = d;
            bestindex = index;
        }
    }
    return bestindex;
}
