// palette: the 512 cells tintcell can print and the search for the cell nearest to a pixel.
//
// The rules of the palette, stated once:
// - A cell is a glyph drawn in foreground colour f over background colour k.
//   Colour indices run 0 to 7: bit 0 is red, bit 1 green, bit 2 blue. The
//   foreground SGR code is 30 + f, the background code 40 + k.
// - The glyphs, in order of increasing ink, are " .:>ia0N"; glyph j covers the
//   share coverage[j] of the cell (32-bit floats: 0, .03, .07, .12, .17, .2,
//   .27, .33).
// - A cell's apparent colour, per channel, is a*v(f) + (1-a)*v(k), with a the
//   glyph's coverage and v the channel's value (0 or 1) in the colour, rounded
//   to the nearest 32-bit float, ties to even.
// - The cell of (f, k, j) has index 64*f + 8*k + j.
// - The distance from a pixel to a cell is |R - r| + |G - g|, then + |B - b|,
//   with R = red / 255 and so on, every operation done in the 80-bit extended
//   format (64-bit significand) and rounded to nearest, ties to even. The
//   nearest cell is the one with the least distance; of equal distances the
//   lowest index wins.
//
// The search does that arithmetic exactly in integers (see exactvalue), so
// every machine and compiler finds the same cells whatever its own floating
// point.
#pragma once

#include <cstdint>

struct cell {
    float r, g, b;  // apparent colour, 0 to 1
    int32_t fg;     // foreground SGR code, 30 to 37
    int32_t bg;     // background SGR code, 40 to 47
    char glyph;
};

constexpr int palettecells = 512;

// Fills the palette. Called once per run, before any search.
void buildpalette();

// The number of cells built: 512 once the palette is built.
int palettecount();

// The cell at an index from 0 to palettecount() - 1. The cells lie in one
// array in index order.
const cell &palettecell(int index);

// The index of the cell nearest to the pixel.
int nearestcell(uint8_t red, uint8_t green, uint8_t blue);

// The nearest cells of count pixels of three bytes each, red, green and
// blue, in order: nearestcell's answers, found many at a time.
void nearestcells(const unsigned char *pixels, int count, uint16_t *cells);

// How many colours the search has asked its table of recent answers for,
// and how many it found there, since the palette was built.
void recentcounts(uint64_t *asked, uint64_t *found);

// The same answer by a plain scan over every cell: the reference that any
// faster search is measured against.
int scannearest(uint8_t red, uint8_t green, uint8_t blue);

// A value of the search held exactly: the value times 2^71, an integer below
// 2^73, in two words.
struct exactvalue {
    uint64_t hi, lo;
};

constexpr int exactfractionbits = 71;

constexpr bool operator==(exactvalue a, exactvalue b)
{
    return a.hi == b.hi && a.lo == b.lo;
}

constexpr bool operator<(exactvalue a, exactvalue b)
{
    return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo);
}

// sample / 255 in the extended format.
exactvalue samplevalue(uint8_t sample);

// A cell's channel (0 red, 1 green, 2 blue) as the float it is stored as.
exactvalue channelvalue(int index, int channel);

// |a - b| and a + b, each rounded to 64 significant bits, ties to even.
exactvalue roundeddistance(exactvalue a, exactvalue b);
exactvalue roundedsum(exactvalue a, exactvalue b);
