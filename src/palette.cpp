// palette: builds the cell palette and finds the nearest cell to a pixel colour.
#include "palette.h"

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

// a*fore + (1-a)*back is exact in the extended format; only the store to a
// float rounds (1 - 0.33 lies half-way between two floats and goes to the
// even, lower one).
static float mixchannel(float a, float fore, float back)
{
    const long double al = a;
    return static_cast<float>(al * fore + (1.0L - al) * back);
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

int nearestcell(uint8_t red, uint8_t green, uint8_t blue)
{
    return scannearest(red, green, blue);
}
