// palette: builds the cell palette and finds the nearest cell to a pixel colour, in exact integer arithmetic.
//
// Why two 64-bit words hold every value of the search exactly:
// - A sample n / 255 in the extended format is 0, 1, or lies between 1/255
//   and 254/255. 1/255 exceeds 2^-8, so the last bit of a 64-bit significand
//   there weighs at least 2^(-8-63) = 2^-71: every sample is a multiple of
//   2^-71.
// - A cell channel is 0, 1, a coverage a or 1 - a, each a 32-bit float. The
//   least coverage but 0 is 0.03, above 2^-6, so the last bit of its 24-bit
//   significand weighs 2^-29, and larger values have heavier last bits:
//   every channel is a multiple of 2^-29, hence of 2^-71.
// - The difference of two multiples of 2^-71 is one, and rounding it to 64
//   significant bits only clears low bits or carries into a higher one, so
//   it stays a multiple. Sums of such values are multiples again.
// - Every value is at most 1 but the sums, and a sum of three errors of at
//   most 1 stays below 4 even after rounding up.
// So a value times 2^71 is an integer below 2^73, and 128 bits hold it with
// room to spare. The rounding of the extended format is then: count the
// bits, keep the top 64, and round the rest half to even. The coverage
// table and the checks beside it keep these premises true.
#include "palette.h"

#include <cstring>

#include "platform.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define TINTCELL_FILTER_SSE2 1
#include <emmintrin.h>
// GCC and clang build an AVX2 form beside it, taken where the processor has
// AVX2, LZCNT and POPCNT; LZCNT counts a sum's bits in one step where BSR
// takes several, and the near-glyph comparisons are inlined into that form
// to use it.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TINTCELL_WIDE_AVX2 1
#define TINTCELL_WIDE_INLINE __attribute__((always_inline))
#include <immintrin.h>
#endif
#elif defined(__aarch64__) && defined(__ARM_NEON)
#define TINTCELL_FILTER_NEON 1
#include <arm_neon.h>
#endif
#if !defined(TINTCELL_WIDE_AVX2)
#define TINTCELL_WIDE_INLINE
#endif

// Glyph coverages as multiples of 2^-29, each the 32-bit float nearest to
// the decimal coverage: 0, 0.03 (0x1.eb851ep-6), 0.07 (0x1.1eb852p-4), 0.12
// (0x1.eb851ep-4), 0.17 (0x1.5c28f6p-3), 0.2 (0x1.99999ap-3), 0.27
// (0x1.147ae2p-2), 0.33 (0x1.51eb86p-2).
static constexpr int unitbits = 29;
static constexpr uint32_t one = uint32_t{1} << unitbits;
static constexpr uint32_t coverageunits[8] = {0,         0xF5C28F,  0x23D70A4, 0x3D70A3C,
                                              0x570A3D8, 0x6666668, 0x8A3D710, 0xA8F5C30};
static constexpr char glyphramp[8] = {' ', '.', ':', '>', 'i', 'a', '0', 'N'};

// The number of bits from the highest set bit to the lowest.
static constexpr int significantbits(uint32_t units)
{
    int length = 0;
    while (units != 0 && (units & 1) == 0)
        units >>= 1;
    for (; units != 0; units >>= 1)
        length++;
    return length;
}

// Units rounded to a float's 24 significant bits, ties to even.
static constexpr uint32_t roundtofloat(uint32_t units)
{
    int length = 0;
    while (length < 32 && (units >> length) != 0)
        length++;
    if (length <= 24)
        return units;
    const int drop = length - 24;
    const uint32_t rest = units & ((uint32_t{1} << drop) - 1), half = uint32_t{1} << (drop - 1);
    uint32_t kept = units >> drop;
    if (rest > half || (rest == half && (kept & 1) != 0))
        kept++;
    return kept << drop;
}

static constexpr bool coveragesarefloats()
{
    for (uint32_t u : coverageunits) {
        if (u >= one || significantbits(u) > 24)
            return false;
    }
    return true;
}
static_assert(coveragesarefloats(), "each coverage must be a 32-bit float below one");
static_assert(unitbits <= exactfractionbits, "channel values must be multiples of 2^-71");
static_assert(roundtofloat(one - coverageunits[7]) == 0x1570A3C0,
              "1 - 0.33 lies half-way between two floats and takes the even, lower one");

// Colour index bit c is channel c's value, 0 or 1, in that colour.
static constexpr int channelbit(int colour, int channel)
{
    return (colour >> channel) & 1;
}

// a * fore + (1 - a) * back for fore and back of 0 or 1 is 0, a, 1 - a or 1,
// each exact in the extended format; only the store to a float rounds 1 - a.
static constexpr uint32_t mixunits(int j, int fore, int back)
{
    return fore ? (back ? one : coverageunits[j]) : (back ? roundtofloat(one - coverageunits[j]) : 0);
}

// ---- Exact arithmetic ----------------------------------------------------

static constexpr int leadingzeros(uint64_t x)
{
#if defined(__GNUC__) || defined(__clang__)
    return x == 0 ? 64 : __builtin_clzll(x);
#else
    int n = 0;
    for (int step = 32; step > 0; step /= 2) {
        if ((x >> (64 - step)) == 0) {
            n += step;
            x <<= step;
        }
    }
    return x == 0 ? 64 : n;
#endif
}

static constexpr int lowestbit(uint64_t x)
{
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctzll(x);
#else
    int n = 0;
    while ((x & 1u) == 0) {
        x >>= 1;
        n++;
    }
    return n;
#endif
}

static constexpr exactvalue add(exactvalue a, exactvalue b)
{
    const uint64_t lo = a.lo + b.lo;
    return {a.hi + b.hi + (lo < a.lo ? 1 : 0), lo};
}

// a - b for a at least b.
static constexpr exactvalue subtract(exactvalue a, exactvalue b)
{
    return {a.hi - b.hi - (a.lo < b.lo ? 1 : 0), a.lo - b.lo};
}

// x rounded to 64 significant bits, ties to even. sticky says that x was cut
// from a longer value whose cut bits were not all zero, which breaks a tie
// upwards. Values here have fewer than 128 bits, so the bits that drop lie
// in the low word. Rounding at the unit 2^drop is adding half a unit less
// one, and one more for an odd unit or a sticky bit, and clearing the bits
// below the unit; there is no branch, as which way the search's sums round
// is as good as random. A value below 2^64 keeps all its bits.
static constexpr exactvalue roundsignificand(exactvalue x, bool sticky)
{
    const int drop = 64 - leadingzeros(x.hi | 1);
    const uint64_t unit = uint64_t{1} << drop;
    const uint64_t roundup = ((x.lo >> drop) | static_cast<uint64_t>(sticky)) & 1;
    const exactvalue up = add(x, {0, (unit >> 1) - 1 + roundup});
    const exactvalue rounded = {up.hi, up.lo & ~(unit - 1)};
    return x.hi != 0 ? rounded : x;
}

static constexpr exactvalue roundsum(exactvalue a, exactvalue b)
{
    return roundsignificand(add(a, b), false);
}

static constexpr exactvalue distance(exactvalue a, exactvalue b)
{
    return roundsignificand(a < b ? subtract(b, a) : subtract(a, b), false);
}

exactvalue roundeddistance(exactvalue a, exactvalue b)
{
    return distance(a, b);
}

exactvalue roundedsum(exactvalue a, exactvalue b)
{
    return roundsum(a, b);
}

// n / 255 is worked out to 2^-80, nine bits below the 2^-71 that the
// rounded quotient keeps: for n of 1 or more it has at least 73 bits, so
// the rounding drops at least those nine, and the remainder is the sticky
// bit. Long division goes 32 bits at a time, so every step fits 64 bits.
static constexpr exactvalue sampleof(uint8_t sample)
{
    constexpr int guardbits = 80 - exactfractionbits;
    const uint64_t digits[4] = {0, uint64_t{sample} << 16, 0, 0};  // sample * 2^80, most significant first
    uint64_t quotient[4] = {}, remainder = 0;
    for (int i = 0; i < 4; i++) {
        const uint64_t part = remainder << 32 | digits[i];
        quotient[i] = part / 255;
        remainder = part % 255;
    }
    const exactvalue q = {quotient[0] << 32 | quotient[1], quotient[2] << 32 | quotient[3]};
    const exactvalue r = roundsignificand(q, remainder != 0);
    return {r.hi >> guardbits, (r.lo >> guardbits) | (r.hi << (64 - guardbits))};
}

exactvalue samplevalue(uint8_t sample)
{
    return sampleof(sample);
}

static constexpr exactvalue fromunits(uint32_t units)
{
    constexpr int shift = exactfractionbits - unitbits;
    return {uint64_t{units} >> (64 - shift), uint64_t{units} << shift};
}

// ---- The palette ---------------------------------------------------------

// A channel of glyph j takes one of four values, by its foreground and
// background bits: value 4 * j + 2 * foreground bit + background bit.
static constexpr int channelvalues = 32;

// Their units, worked out here once: rounding 1 - a to a float is a loop.
struct valuetable {
    uint32_t units[channelvalues];
};

static constexpr valuetable makevalues()
{
    valuetable t{};
    for (int v = 0; v < channelvalues; v++)
        t.units[v] = mixunits(v / 4, v / 2 % 2, v % 2);
    return t;
}

static constexpr valuetable values = makevalues();

// |sample - value|, rounded: the error of channel value v at a sample.
static constexpr exactvalue difference(exactvalue sample, int v)
{
    return distance(sample, fromunits(values.units[v]));
}

struct celltable {
    cell cells[palettecells];
    uint8_t channelof[palettecells][3];  // the value of each of a cell's r, g, b
};

// The cells, made as the program is compiled.
static constexpr celltable makecells()
{
    celltable t{};
    for (int f = 0; f < 8; f++) {
        for (int k = 0; k < 8; k++) {
            for (int j = 0; j < 8; j++) {
                const int index = 64 * f + 8 * k + j;
                uint32_t units[3] = {};
                for (int c = 0; c < 3; c++) {
                    const int v = 4 * j + 2 * channelbit(f, c) + channelbit(k, c);
                    units[c] = values.units[v];
                    t.channelof[index][c] = static_cast<uint8_t>(v);
                }
                // Exact: each has at most 24 significant bits, and 2^-29 is a power of two.
                cell &c = t.cells[index];
                c.r = static_cast<float>(units[0]) * 0x1p-29f;
                c.g = static_cast<float>(units[1]) * 0x1p-29f;
                c.b = static_cast<float>(units[2]) * 0x1p-29f;
                c.fg = 30 + f;
                c.bg = 40 + k;
                c.glyph = glyphramp[j];
            }
        }
    }
    return t;
}

static constexpr celltable allcells = makecells();

static struct {
    exactvalue differences[256][channelvalues];  // |n / 255 - value|, rounded; for the scan only
    bool differencesbuilt;
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
//    two roundings of a sum below 4 can absorb, so they give strictly
//    different distances. Of two values with equal errors (only the space
//    has them: its foreground bit does not matter) the one with the lower
//    foreground bit, then background bit, gives the lower index.
// 3. Between glyphs exact ties are common, and only the extended rounding in
//    the written order decides them. A filter sums the three errors scaled
//    by 2^13 and rounded to integers: each rounding is off by at most half a
//    unit and the exact distance differs from the true sum by far less than
//    a unit, so each glyph's integer sum lies within 2 units of 2^13 times
//    its distance. A glyph whose sum exceeds the least sum by 4 or more is
//    therefore strictly farther; the glyphs within 3 of the least are
//    compared exactly, distance first and index second, as the scan in
//    index order would. (About one colour in seven needs that comparison,
//    most of them for exact ties.) The SSE2, NEON and plain forms below
//    differ only in how they add and compare the same 16-bit sums, so the
//    argument holds for each; the wide form's column filter works its sums
//    out in another unit, and its argument stands beside it.
//
// Channel values repeat across channels, so one table per sample value
// serves red, green and blue. The scaled errors fit 13 bits, so the sums of
// all eight glyphs fit one vector of 16-bit lanes.
static constexpr int filterbits = 13;
static constexpr int16_t filterslack = 3;

struct channeltables {
    exactvalue error[256][8];            // least channel error of glyph j at sample n, rounded as the scan rounds it
    alignas(16) int16_t approx[256][8];  // that error times 2^filterbits, rounded
    uint16_t part[256][8];               // 64 * foreground bit + 8 * background bit of that value
};


#if defined(TINTCELL_WIDE_AVX2)
// The column filter's constants (see columncells): per glyph j, its
// coverage a in units of 1/32640, 3a + filterslack, the most beyond which it
// is never near, and its mark, 1 << j | j << 8, in every lane,
// and the samples from which the least error takes the foreground bit,
// below 128 and from 128 on, less one, as byte j of a byte shuffle's table.
// Vectors are kept in memory so that the filter reads them as operands
// rather than build them in registers (see widecells).
struct columntables {
    alignas(32) int16_t coverage[8][16];
    alignas(32) int16_t ceiling[8][16];
    alignas(32) int16_t mark[8][16];
    alignas(16) uint8_t lowfrom[16], highfrom[16];  // by glyph, lanes for a byte shuffle
    alignas(32) uint8_t pick[3][2][32];  // per channel, the byte shuffles that take its samples from either load
    bool usable;  // each glyph's bits follow the two thresholds, and its gains are as columncells takes them
    // For the refinement (see refinelist), by glyph: its coverage a in units
    // of 2^-32 below 128, and 1 less the float 1 - a from 128 on; and the
    // thresholds again, in 32-bit lanes.
    alignas(32) int32_t finelow[8], finehigh[8];
    alignas(32) int32_t lowfrom32[8], highfrom32[8];
};
#endif

// The error times 2^filterbits, rounded half up; errors are at most 1, so
// the result fits 13 bits and the shift leaves only the low word.
static constexpr int16_t scaledapprox(exactvalue error)
{
    constexpr int shift = exactfractionbits - filterbits;
    const exactvalue rounded = add(error, {0, uint64_t{1} << (shift - 1)});
    return static_cast<int16_t>((rounded.lo >> shift) | (rounded.hi << (64 - shift)));
}

// Worked out as the program is compiled, which spares every run the 8,192
// exact differences.
static constexpr channeltables makechannels()
{
    channeltables t{};
    for (int n = 0; n < 256; n++) {
        const exactvalue sample = sampleof(static_cast<uint8_t>(n));
        for (int j = 0; j < 8; j++) {
            exactvalue least = {};
            int leastpart = -1;
            // Foreground bit outermost, so of equal errors the lower bits win.
            for (int fb = 0; fb < 2; fb++) {
                for (int kb = 0; kb < 2; kb++) {
                    const exactvalue error = difference(sample, 4 * j + 2 * fb + kb);
                    if (leastpart < 0 || error < least) {
                        least = error;
                        leastpart = 64 * fb + 8 * kb;
                    }
                }
            }
            t.error[n][j] = least;
            t.approx[n][j] = scaledapprox(least);
            t.part[n][j] = static_cast<uint16_t>(leastpart);
        }
    }
    return t;
}

static constexpr channeltables channels = makechannels();

#if defined(TINTCELL_WIDE_AVX2)
// The column filter's tables, and the checks of its premises against the
// exact ones, worked out as the program is compiled.
static constexpr columntables makecolumn()
{
    columntables column{};
    // Below sample 128 a glyph's least error lies at 0 or at its coverage
    // a, from 128 on at 1 - a or 1; in each half the foreground bit turns on
    // once, at the threshold found here. The program compiles only if the
    // table of bits follows that shape for every glyph.
    column.usable = true;
    for (int c = 0; c < 3; c++) {
        for (int i = 0; i < 16; i++) {
            // Byte i of each half: the high byte of lane i / 2 takes sample
            // c of pixel i / 2, which lies 3 * (i / 2) + c bytes into the
            // half's eight pixels; the first load holds bytes 0 to 15 of
            // them, the second 8 to 23.
            const int at = 3 * (i / 2) + c;
            const bool high = i % 2 == 1;
            for (int half = 0; half < 2; half++) {
                column.pick[c][0][16 * half + i] = static_cast<uint8_t>(high && at < 16 ? at : 0x80);
                column.pick[c][1][16 * half + i] = static_cast<uint8_t>(high && at >= 16 ? at - 8 : 0x80);
            }
        }
    }
    for (int j = 0; j < 8; j++) {
        for (int lane = 0; lane < 16; lane++) {
            const uint64_t scaled = uint64_t{coverageunits[j]} * 32640 + (one >> 1);
            column.coverage[j][lane] = static_cast<int16_t>(scaled >> unitbits);
            column.ceiling[j][lane] = static_cast<int16_t>(3 * column.coverage[j][lane] + filterslack);
            column.mark[j][lane] = static_cast<int16_t>(1 << j | j << 8);
        }
        int from[2] = {128, 256};
        for (int n = 0; n < 256; n++) {
            const int half = n < 128 ? 0 : 1;
            const int fb = channels.part[n][j] / 64, kb = channels.part[n][j] / 8 % 2;
            if (fb == 1 && from[half] > n)
                from[half] = n;
            column.usable = column.usable && kb == half && fb == (n >= from[half] ? 1 : 0);
        }
        // The filter compares its samples, shifted to the high byte, with
        // the thresholds as signed lanes: from 128 on both are negative, and
        // keep their order only while the threshold is 128 or more.
        column.usable = column.usable && from[1] > 128;
        // Where a glyph gains nothing in a channel it takes the space's
        // value there, 0 or 1, at the same error; where it gains, it gains
        // more than filterslack.
        for (int n = 0; n < 256 && j > 0; n++) {
            const int twicey = 256 * (n < 128 ? n : 255 - n), a = column.coverage[j][0];
            const int gain = twicey - a < 0 ? 0 : twicey - a < a ? twicey - a : a;
            const bool spaces =
                channels.error[n][j] == channels.error[n][0] && channels.part[n][j] % 64 == channels.part[n][0];
            column.usable = column.usable && (gain == 0 ? spaces : gain > filterslack);
        }
        column.lowfrom[j] = static_cast<uint8_t>(from[0] - 1);
        column.highfrom[j] = static_cast<uint8_t>(from[1] - 1);
        column.lowfrom32[j] = from[0] - 1;
        column.highfrom32[j] = from[1] - 1;
        // Exact: the values are multiples of 2^-29 below 1/2.
        column.finelow[j] = static_cast<int32_t>(mixunits(j, 1, 0) << 3);
        column.finehigh[j] = static_cast<int32_t>((one - mixunits(j, 0, 1)) << 3);
    }
    return column;
}

static constexpr columntables column = makecolumn();
static_assert(column.usable, "the column filter's thresholds and gains must follow the exact errors");

// The tables of settleties (see there). Those by glyph j hold it in byte j
// of a byte shuffle, those by nibble the answer for the low or the high
// nibble of a pixel's near glyphs, each in both halves of a vector. m is a
// channel's distance from the nearer of 0 and 1 in sample steps, min(n,
// 255 - n), and a a coverage in the same steps, 1/128 of the filter's units.
struct tietables {
    alignas(32) uint8_t pick[3][3][32];  // per channel, byte shuffles taking its samples from each of three loads
    alignas(32) uint8_t above[32];       // the least m at which glyph j's error is Y - a: ceil(a)
    alignas(32) uint8_t extreme[32];     // the most m at which it is Y, at 0 or 1: floor(a / 2)
    alignas(32) uint8_t under[32];       // whole steps below and above both a and 1 less the float 1 - a:
    alignas(32) uint8_t over[32];        // floor(a) and ceil(a), or a - 1 and a + 1 where a is whole
    alignas(32) uint8_t lowest[2][32];   // the lowest glyph set, or 255 for none
    alignas(32) uint8_t highest[2][32];  // the highest, or 0
    alignas(32) uint8_t rising[2][32];   // of those set, the one whose float 1 - a lies most above 1 - a, plus
    alignas(32) uint8_t falling[2][32];  // 8 times its rank; and the one that lies most below it
    uint8_t wholebit;                    // the near bit of the glyph whose a is whole, where m = a leaves its kind open
    uint8_t wholestep;                   // that a
    bool usable;                         // the tables' premises hold (see maketies)
};

static constexpr tietables maketies()
{
    tietables t{};
    t.usable = true;
    for (int c = 0; c < 3; c++) {
        for (int s = 0; s < 3; s++) {
            for (int i = 0; i < 32; i++) {
                const int at = 3 * (i % 16) + c - 16 * s;
                t.pick[c][s][i] = static_cast<uint8_t>(at >= 0 && at < 16 ? at : 0x80);
            }
        }
    }
    // 2^29 times how far the float 1 - a, the cell's value, lies above 1 - a.
    int32_t beyond[8] = {};
    for (int j = 0; j < 8; j++)
        beyond[j] = static_cast<int32_t>(mixunits(j, 0, 1)) - static_cast<int32_t>(one - coverageunits[j]);
    for (int i = 0; i < 32; i++) {
        const int j = i % 16;
        if (j < 8) {
            const int a = column.coverage[j][0];
            t.above[i] = static_cast<uint8_t>((a + 127) / 128);
            t.extreme[i] = static_cast<uint8_t>(a / 256);
            t.under[i] = static_cast<uint8_t>(a > 0 ? (a - 1) / 128 : 0);
            t.over[i] = static_cast<uint8_t>(a / 128 + 1);
            if (j > 0 && a % 128 == 0) {
                t.usable = t.usable && (t.wholebit == 0 || t.wholebit == 1 << j);
                t.wholebit = static_cast<uint8_t>(1 << j);
                t.wholestep = static_cast<uint8_t>(a / 128);
            }
            // But for that glyph a lies at least 1/8 of a step from a whole
            // step, and a / 2 is never a whole step: rounding a to the
            // filter's units, or taking 1 less the float 1 - a for it (1/1000
            // of a unit off at most), moves no comparison with m.
            const bool clear = a % 128 == 0 || (a % 128 >= 16 && a % 128 <= 112);
            t.usable = t.usable && (j == 0 || (clear && a % 256 != 0));
        }
        for (int half = 0; half < 2; half++) {
            int low = 255, high = 0, up = 0, down = 0;
            for (int b = 0; b < 4; b++) {
                if ((j >> b & 1) == 0)
                    continue;
                const int g = 4 * half + b;
                int uprank = 0, downrank = 0;
                for (int k = 1; k < 8; k++) {
                    uprank += beyond[k] < beyond[g] ? 1 : 0;
                    downrank += beyond[k] > beyond[g] ? 1 : 0;
                    // No two glyphs' floats lie equally far from 1 - a.
                    t.usable = t.usable && (k == g || g == 0 || beyond[k] != beyond[g]);
                }
                low = low < g ? low : g;
                high = g;
                up = up > 8 * uprank + g ? up : 8 * uprank + g;
                down = down > 8 * downrank + g ? down : 8 * downrank + g;
            }
            t.lowest[half][i] = static_cast<uint8_t>(low);
            t.highest[half][i] = static_cast<uint8_t>(high);
            t.rising[half][i] = static_cast<uint8_t>(up);
            t.falling[half][i] = static_cast<uint8_t>(down);
        }
    }
    return t;
}

static constexpr tietables ties = maketies();
static_assert(ties.usable, "the coverages must keep the ties' thresholds and their order");

static bool wide;  // the processor has AVX2, LZCNT and POPCNT
#endif
static void forgetrecent();

void buildpalette()
{
#if defined(TINTCELL_WIDE_AVX2)
    const unsigned needed = hasavx2 | haslzcnt | haspopcnt;
    wide = (processorfeatures() & needed) == needed;
#endif
    forgetrecent();
    palette.count = palettecells;
}

int palettecount()
{
    return palette.count;
}

const cell &palettecell(int index)
{
    return allcells.cells[index];
}

exactvalue channelvalue(int index, int channel)
{
    const int v = allcells.channelof[index][channel];
    return fromunits(values.units[v]);
}

// The scan's table of every channel error, built at its first use: the
// search needs only the least error of each glyph, and a run that never
// scans is spared 128 KiB of fresh memory.
static void builddifferences()
{
    for (int n = 0; n < 256; n++) {
        const exactvalue sample = samplevalue(static_cast<uint8_t>(n));
        for (int v = 0; v < channelvalues; v++)
            palette.differences[n][v] = difference(sample, v);
    }
    palette.differencesbuilt = true;
}

int scannearest(uint8_t red, uint8_t green, uint8_t blue)
{
    if (!palette.differencesbuilt)
        builddifferences();
    const uint8_t sample[3] = {red, green, blue};
    // The scan starts from a distance beyond every real one (999999).
    exactvalue best = {UINT64_MAX, UINT64_MAX};
    int bestindex = 0;
    for (int i = 0; i < palette.count; i++) {
        exactvalue error[3];
        for (int c = 0; c < 3; c++)
            error[c] = palette.differences[sample[c]][allcells.channelof[i][c]];
        const exactvalue d = roundsum(roundsum(error[0], error[1]), error[2]);
        // Strictly less: of equal distances the first, lowest index stays.
        if (d < best) {
            best = d;
            bestindex = i;
        }
    }
    return bestindex;
}

// ---- The glyph filter, one form per instruction set ----------------------

// A bit for each glyph whose scaled sum lies within filterslack of the least.
static inline unsigned nearglyphs(uint8_t red, uint8_t green, uint8_t blue)
{
#if defined(TINTCELL_FILTER_SSE2)
    const auto load = [](uint8_t sample) {
        return _mm_load_si128(reinterpret_cast<const __m128i *>(channels.approx[sample]));
    };
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(load(red), load(green)), load(blue));
    __m128i least = _mm_min_epi16(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    least = _mm_min_epi16(least, _mm_shuffle_epi32(least, _MM_SHUFFLE(2, 3, 0, 1)));
    least = _mm_min_epi16(least, _mm_shufflelo_epi16(least, _MM_SHUFFLE(2, 3, 0, 1)));
    least = _mm_shuffle_epi32(_mm_shufflelo_epi16(least, 0), 0);
    const __m128i far = _mm_cmpgt_epi16(sum, _mm_add_epi16(least, _mm_set1_epi16(filterslack)));
    // Packing narrows each lane's all-ones or zero to a byte of the same.
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(far, far))) & 0xFFu;
#elif defined(TINTCELL_FILTER_NEON)
    const int16x8_t sum = vaddq_s16(vaddq_s16(vld1q_s16(channels.approx[red]), vld1q_s16(channels.approx[green])),
                                    vld1q_s16(channels.approx[blue]));
    const int16x8_t limit = vdupq_n_s16(static_cast<int16_t>(vminvq_s16(sum) + filterslack));
    static const uint16_t lanebits[8] = {1, 2, 4, 8, 16, 32, 64, 128};
    return vaddvq_u16(vandq_u16(vcleq_s16(sum, limit), vld1q_u16(lanebits)));
#else
    int16_t sum[8];
    int16_t least = INT16_MAX;
    for (int j = 0; j < 8; j++) {
        sum[j] = static_cast<int16_t>(channels.approx[red][j] + channels.approx[green][j] + channels.approx[blue][j]);
        least = sum[j] < least ? sum[j] : least;
    }
    unsigned near = 0;
    for (int j = 0; j < 8; j++)
        near |= (sum[j] <= least + filterslack ? 1u : 0u) << j;
    return near;
#endif
}

// ---- The fast search ------------------------------------------------------

// Foreground bits weigh 64, 128 and 256 by channel, background bits 8, 16, 32.
static inline int glyphcell(uint8_t red, uint8_t green, uint8_t blue, int j)
{
    return channels.part[red][j] + 2 * channels.part[green][j] + 4 * channels.part[blue][j] + j;
}

// Glyph j's distance is (|dr| + |dg|) + |db| with each sum rounded, and
// most near glyphs are told apart before the second rounding. partlysum is
// the distance short of it. In units of 2^-71 every sum is below 4 = 2^73,
// where a 64-bit significand's unit is at most 2^9, so the second rounding
// moves a sum by at most 2^8. Cut to steps of 2^9 units (which fit 64 bits),
// two partly rounded sums 2 steps apart or more lie more than 2^9 units
// apart, and their distances keep their order. Two equal ones round to equal
// distances. Only the rest, about one close colour in sixteen, need the
// second rounding.
TINTCELL_WIDE_INLINE static inline exactvalue partlysum(uint8_t red, uint8_t green, uint8_t blue, int j)
{
    return add(roundsum(channels.error[red][j], channels.error[green][j]), channels.error[blue][j]);
}

static inline uint64_t steps(exactvalue x)
{
    return x.hi << (64 - 9) | x.lo >> 9;
}

// The distances themselves, for the few pairs that their partly rounded
// sums leave open; out of line, as it is seldom reached.
static bool roundedbefore(exactvalue t, int i, exactvalue u, int k)
{
    const exactvalue d = roundsignificand(t, false), e = roundsignificand(u, false);
    return d.hi < e.hi || (d.hi == e.hi && (d.lo < e.lo || (d.lo == e.lo && i < k)));
}

// Whether the glyph with partly rounded sum t and cell index i comes before
// the one with u and k, as in the scan: a lower distance, or the same and a
// lower index. Near glyphs' sums lie far less than 2^63 steps apart. Which
// of steps and index decides is as good as random, so the one branch is the
// seldom taken one to roundedbefore; the product keeps the compiler from
// splitting its test into two branches that cannot be foreseen.
TINTCELL_WIDE_INLINE static inline bool before(exactvalue t, int i, exactvalue u, int k)
{
    const int64_t d = static_cast<int64_t>(steps(u) - steps(t));
    const uint64_t within = static_cast<uint64_t>(static_cast<uint64_t>(d + 1) < 3);
    if (within * ((t.hi ^ u.hi) | (t.lo ^ u.lo)) != 0)
        return roundedbefore(t, i, u, k);
    return (static_cast<int>(d > 0) | (static_cast<int>(d == 0) & static_cast<int>(i < k))) != 0;
}

// Of the glyphs in near, two or more, the one whose best cell is nearest. The
// first two are compared without a branch, since either may win.
TINTCELL_WIDE_INLINE static inline int nearestamong(uint8_t red, uint8_t green, uint8_t blue, unsigned near)
{
    const int a = lowestbit(near);
    near &= near - 1;
    const int b = lowestbit(near);
    near &= near - 1;
    const exactvalue ta = partlysum(red, green, blue, a), tb = partlysum(red, green, blue, b);
    const int ia = glyphcell(red, green, blue, a), ib = glyphcell(red, green, blue, b);
    const bool bwins = before(tb, ib, ta, ia);
    exactvalue best = {bwins ? tb.hi : ta.hi, bwins ? tb.lo : ta.lo};
    int bestindex = bwins ? ib : ia;
    for (; near != 0; near &= near - 1) {
        const int j = lowestbit(near);
        const exactvalue t = partlysum(red, green, blue, j);
        const int index = glyphcell(red, green, blue, j);
        if (before(t, index, best, bestindex)) {
            best = t;
            bestindex = index;
        }
    }
    return bestindex;
}

int nearestcell(uint8_t red, uint8_t green, uint8_t blue)
{
    const unsigned near = nearglyphs(red, green, blue);
    if ((near & (near - 1)) == 0)
        return glyphcell(red, green, blue, lowestbit(near));
    return nearestamong(red, green, blue, near);
}

// ---- Recent answers -------------------------------------------------------

// Pictures repeat their colours, so the answers of recent searches are kept
// in a direct-mapped table. An odd multiplier permutes the 24-bit colours;
// the top recentbits of the product pick the slot and the rest are kept as
// the tag, so slot and tag together name the colour. An entry holds a valid
// bit, the tag and the 9-bit cell index. A palette built anew empties it.
// The photographs measured miss it mostly for colours they show the first
// time, and the refinement decides most of those for about 8 ns each: 2^14
// entries know 89.5 to 90.1% of their close colours, where 2^15 knew 91.2
// to 92.5%, and the fewer fresh pages (1.6 us each here) took 7% off runs
// on pictures 160 columns wide and 1 to 2% off the full-size photographs.
// With the exact ties settled before it (see settleties) it is asked for 1
// to 2% of the photographs' pixels where it was for 11 to 17%, and knows
// 83 to 92% of those; 2^12 entries then gave whole runs of 0.98 to 1.00 of
// the time, within the noise.
static constexpr int recentbits = 14;
static constexpr int tagbits = 24 - recentbits;
static constexpr uint32_t recentvalid = 1u << 31;
static constexpr uint32_t recentmultiplier = 0x9E3779B1u;
static_assert(1 + tagbits + 9 <= 32, "an entry must fit 32 bits");
static uint32_t recent[1 << recentbits];
static bool recentused;
static uint64_t recentasked, recentfound;

void recentcounts(uint64_t *asked, uint64_t *found)
{
    *asked = recentasked;
    *found = recentfound;
}

#if defined(TINTCELL_WIDE_AVX2)
static bool tablepays = true;
static int tablerest, restlength;  // batches left before the next probe, and the last rest
static uint64_t searched;          // pixels searched since the palette was built
#endif

static void forgetrecent()
{
#if defined(TINTCELL_WIDE_AVX2)
    tablepays = true;
    tablerest = restlength = 0;
    searched = 0;
#endif
    // Untouched, the table costs no memory; a first build leaves it so.
    if (recentused)
        memset(recent, 0, sizeof recent);
    recentused = false;
    recentasked = recentfound = 0;
}

// The entry of a colour, and in tag the entry it holds when it is the colour's.
// The colour is taken as its three bytes lie, red lowest, as the wide search
// reads it.
static inline uint32_t &recententry(uint8_t red, uint8_t green, uint8_t blue, uint32_t *tag)
{
    const uint32_t colour = static_cast<uint32_t>(blue) << 16 | static_cast<uint32_t>(green) << 8 | red;
    const uint32_t mixed = (colour * recentmultiplier) & 0xFFFFFFu;
    *tag = recentvalid | (mixed & ((1u << tagbits) - 1)) << 9;
    recentused = true;
    return recent[mixed >> tagbits];
}

static inline uint16_t recentnearest(uint8_t red, uint8_t green, uint8_t blue)
{
    uint32_t tag;
    uint32_t &entry = recententry(red, green, blue, &tag);
    const bool hit = (entry & ~0x1FFu) == tag;
    recentasked++;
    recentfound += hit;
    if (!hit)
        entry = tag | static_cast<uint32_t>(nearestcell(red, green, blue));
    return static_cast<uint16_t>(entry & 0x1FFu);
}

// Only colours whose glyphs came close: the others are found at once. hits
// counts the colours found in the table.
static inline uint16_t recentnearestamong(uint8_t red, uint8_t green, uint8_t blue, unsigned near, int *hits)
{
    uint32_t tag;
    uint32_t &entry = recententry(red, green, blue, &tag);
    const bool hit = (entry & ~0x1FFu) == tag;
    *hits += hit;
    if (!hit)
        entry = tag | static_cast<uint32_t>(nearestamong(red, green, blue, near));
    return static_cast<uint16_t>(entry & 0x1FFu);
}

// ---- Many pixels at a time -----------------------------------------------

#if defined(TINTCELL_WIDE_AVX2)
// With AVX2 the column filter below finds sixteen pixels at a time, and a
// pixel whose other glyphs all lie 4 or more units above the least is found
// without a branch; the table of recent answers is left to the colours whose
// glyphs came close.
//
// The pixels go in batches of up to widebatch, as many as the run loop hands
// over at once. Each batch's passes end their loops once, where the
// processor cannot foresee it, and the close pixels that do not fill a last
// eight are looked up or compared one at a time, so fewer, larger batches
// cost less: batches of 4096 pixels took 4 to 6% off the search of the
// photographs measured, and 5 to 9% off that of the picture of every colour,
// against 256. Positions within a batch fit 16 bits.
static constexpr int widebatch = 4096;

// Close pixels are gathered into a list, eight masks at a time: for each
// set of eight, as a mask, the positions of its pixels in order, 16 bits
// each; POPCNT says how many there are. One loop over the list then ends
// once a batch, where a loop over each word of masks ended, unforeseeably,
// once every 32 pixels.
struct compactiontable {
    uint64_t positions[256][2];
};

static constexpr compactiontable makecompaction()
{
    compactiontable c{};
    for (unsigned bits = 0; bits < 256; bits++) {
        int k = 0;
        for (unsigned at = 0; at < 8; at++) {
            if ((bits >> at & 1) != 0) {
                c.positions[bits][k / 4] |= uint64_t{at} << (16 * (k % 4));
                k++;
            }
        }
    }
    return c;
}

static constexpr compactiontable compaction = makecompaction();

// A table that seldom knows the colour only costs time (in a picture of
// every colour, say). After a batch in which the table knew fewer than one
// colour in tablepaysfrom, the table rests: the batches compare their close
// colours at once. Then one batch asks the table for its first few close
// colours only, to see whether it would pay again. Each probe that misses
// again doubles the rest, up to maxrest batches; a picture's new colours
// seldom last that long. A hit saves an exact comparison for the price of a
// lookup, so even a table that knows few colours pays where the refinement
// decides few: in the photographs measured, resting below one in two sent
// some 17,000 close colours a picture to exact comparisons, and one in eight
// took 4% off the search.
static constexpr int tableprobe = 16;
static constexpr int tablepaysfrom = 8;
static constexpr int maxrest = 7;

// The table is first asked once a run has searched tablefrom pixels. Each
// of its pages costs about 1.6 us the first time it is touched, and the
// close colours of a small picture, scattered over the slots, touch them
// all for a table that knows next to none of them (0 to 5% in the
// photographs measured at 160 columns); a large picture loses only its
// first rows' lookups.
static constexpr uint64_t tablefrom = uint64_t{1} << 14;

// The column filter: sixteen pixels at a time, a glyph's sum for all of
// them in one vector of 16-bit lanes, with no table lookups. It rests on the
// shape of a channel's least error. For a sample n, with y the distance
// min(n, 255 - n) / 255 to the nearer of 0 and 1 and a a glyph's coverage
// (at most 0.33), the least error is min(y, |y - a|): below 128 the values
// 0 and a are the nearer ones (1 - a lies farther than a whenever y < 1/2,
// and so does 1), from 128 on their mirrors 1 and 1 - a, as 1 - (1 - a) is
// a. In units of 1/32640 (128 to a sample step) y is exactly 128 * min(n,
// 255 - n), and the coverage is rounded to the nearest integer, off by at
// most 1/2. The float 1 - a differs from 1 minus the float a by at most
// 2^-25, and the extended rounding of samples, errors and sums moves them by
// less than 2^-60: both below 1/1000 of a unit. So each glyph's integer
// sum lies within 1.51 units of 32640 times its distance, two glyphs' within
// 3.02 of the difference of theirs, and a glyph whose sum exceeds the least
// by 4 or more is strictly farther, as in the argument above: the near
// glyphs are those within filterslack of the least.
//
// The sums are not formed as such. For whole numbers y and a,
// min(y, |y - a|) = y - min(a, max(0, 2y - a)): it is y up to a / 2, a - y
// up to a, then y - a. The first term is the same for every glyph, so each
// glyph's sum is the pixel's sum of y less the glyph's gain, the sum of
// min(a, max(0, 2y - a)) over the channels, and a glyph's sum lies within
// filterslack of the least exactly when its gain lies within filterslack of
// the most. The space's gain is 0. Saturating 16-bit arithmetic gives
// max(0, 2y - a) in one step; 2y is at most 32512 and a gain at most
// 3 * 10772, within the signed lanes.
//
// Each sample is unpacked into the high byte of its lane, as 256 n: then
// 2y is min(256 n, 256 (255 - n)) with no shift, and a sample from 128 on
// is a negative lane.
//
// A pixel with one near glyph j takes j's best cell. Its bits come from the
// thresholds: the background bit is set from sample 128 on, the foreground
// bit from lowfrom + 1 below and from highfrom + 1 on. makecolumn checks
// them against the bits of every sample and glyph. As 256 n, a sample is
// above a threshold t exactly when it is above 256 t + b, for any low byte b
// from 0 to 255.
__attribute__((target("avx2"), always_inline)) static inline __m256i loadhalves(const unsigned char *low,
                                                                              const unsigned char *high)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(low))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i *>(high)), 1);
}

// Glyph j's gain in sixteen pixels, the sum of min(a, max(0, 2y - a)) over
// the channels.
__attribute__((target("avx2"), always_inline)) static inline __m256i glyphgain(const columntables *tables,
                                                                              const __m256i *twicey, int j)
{
    const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i *>(tables->coverage[j]));
    __m256i s = _mm256_min_epu16(a, _mm256_subs_epu16(twicey[0], a));
    #pragma GCC unroll 8
    for (int c = 1; c < 3; c++)
        s = _mm256_add_epi16(s, _mm256_min_epu16(a, _mm256_subs_epu16(twicey[c], a)));
    return s;
}

// Whether glyph j and the glyphs below it are near in none of the lanes,
// nor the most in any, so that they can be left out. A glyph gains at most
// its coverage a in each channel, 3a in all: where every lane's most exceeds
// 3a + filterslack, the glyph's gain lies more than filterslack below it, and
// so does that of every glyph of smaller coverage.
__attribute__((target("avx2"), always_inline)) static inline bool fallshort(const columntables *tables, __m256i most,
                                                                           int j)
{
    const __m256i ceiling = _mm256_load_si256(reinterpret_cast<const __m256i *>(tables->ceiling[j]));
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi16(most, ceiling))) == 0xFFFFFFFFu;
}

// The marks of the glyphs from glyph from on that are near, within
// filterslack of the most. Each near glyph j adds 1 << j to the low byte and
// j to the high one, which for a pixel with one near glyph is that glyph. A
// glyph that gains nothing takes in each channel the space's value at the
// same error, so its distance is the space's, and so is its background: the
// space's cell, lower, wins the tie. A gain is 0 or more than filterslack,
// so a limit of at least 1 (the most starts at filterslack + 1) leaves the
// near glyphs as they were wherever some glyph gains, and none near where
// none does: a pixel within 3 of 0 or 255 in every channel, as black and
// white are, then takes the space's cell, glyph 0, without the table. The
// space itself, whose gain is 0, is never near.
__attribute__((target("avx2"), always_inline)) static inline __m256i nearmarks(const columntables *tables,
                                                                              const __m256i *gain, __m256i most,
                                                                              int from)
{
    const __m256i limit = _mm256_sub_epi16(most, _mm256_set1_epi16(filterslack));
    __m256i marks = _mm256_setzero_si256();
    #pragma GCC unroll 8
    for (int j = from; j < 8; j++) {
        const __m256i mark = _mm256_load_si256(reinterpret_cast<const __m256i *>(tables->mark[j]));
        marks = _mm256_add_epi16(marks, _mm256_andnot_si256(_mm256_cmpgt_epi16(limit, gain[j]), mark));
    }
    return marks;
}

__attribute__((target("avx2"), always_inline)) static inline void columncells(const columntables *tables,
                                                                              const unsigned char *p, uint8_t *near,
                                                                              uint16_t *cells)
{
    // Every loop here is unrolled, at any optimisation level, so that the
    // vectors stay in registers. Each half of a load holds 16 bytes of eight
    // pixels (24 bytes), the first load their bytes 0 to 15, the second 8 to
    // 23, so a lane of each half takes its sample from one of them.
    const __m256i front = loadhalves(p, p + 24), back = loadhalves(p + 8, p + 32);
    __m256i sample[3], twicey[3];
    #pragma GCC unroll 8
    for (int c = 0; c < 3; c++) {
        const __m256i fromfront = _mm256_load_si256(reinterpret_cast<const __m256i *>(tables->pick[c][0]));
        const __m256i fromback = _mm256_load_si256(reinterpret_cast<const __m256i *>(tables->pick[c][1]));
        sample[c] = _mm256_or_si256(_mm256_shuffle_epi8(front, fromfront), _mm256_shuffle_epi8(back, fromback));
        const __m256i mirrored = _mm256_sub_epi16(_mm256_set1_epi16(static_cast<int16_t>(0xFF00)), sample[c]);
        twicey[c] = _mm256_min_epu16(sample[c], mirrored);
    }
    // The gains from the highest glyph down (see glyphgain), and the most any
    // glyph gains, but at least filterslack + 1 (see nearmarks). Glyphs 1 to
    // 3 are worked out only where some lane may need them: in the
    // photographs measured, 3 was left out of 50 to 88% of the steps, and 1
    // and 2 out of 91 to 98%.
    __m256i gain[8];
    __m256i most = _mm256_set1_epi16(filterslack + 1);
    #pragma GCC unroll 8
    for (int j = 7; j >= 4; j--) {
        gain[j] = glyphgain(tables, twicey, j);
        most = _mm256_max_epi16(most, gain[j]);
    }
    __m256i marks;
    if (fallshort(tables, most, 3)) {
        marks = nearmarks(tables, gain, most, 4);
    } else {
        gain[3] = glyphgain(tables, twicey, 3);
        most = _mm256_max_epi16(most, gain[3]);
        if (fallshort(tables, most, 2)) {
            marks = nearmarks(tables, gain, most, 3);
        } else {
            gain[2] = glyphgain(tables, twicey, 2);
            gain[1] = glyphgain(tables, twicey, 1);
            most = _mm256_max_epi16(most, _mm256_max_epi16(gain[2], gain[1]));
            marks = nearmarks(tables, gain, most, 1);
        }
    }
    const __m256i lowbytes = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, -1, -1, -1, -1, -1, -1, -1, -1, 0, 2, 4, 6, 8,
                                              10, 12, 14, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i masks = _mm256_shuffle_epi8(marks, lowbytes);
    const __m128i m = _mm256_castsi256_si128(_mm256_permute4x64_epi64(masks, _MM_SHUFFLE(3, 1, 2, 0)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(near), m);
    const __m256i glyph = _mm256_srli_epi16(marks, 8);
    // The glyph's thresholds, by a byte shuffle with the marks themselves:
    // the high byte of a lane is the glyph, and what the low byte picks does
    // not matter.
    const __m256i lowfrom = _mm256_shuffle_epi8(
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(tables->lowfrom))), marks);
    const __m256i highfrom = _mm256_shuffle_epi8(
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(tables->highfrom))), marks);
    __m256i index = glyph;
    #pragma GCC unroll 8
    for (int c = 0; c < 3; c++) {
        const __m256i background = _mm256_cmpgt_epi16(_mm256_setzero_si256(), sample[c]);
        const __m256i foreground = _mm256_cmpgt_epi16(sample[c], _mm256_blendv_epi8(lowfrom, highfrom, background));
        index = _mm256_add_epi16(index, _mm256_and_si256(foreground, _mm256_set1_epi16(static_cast<int16_t>(64 << c))));
        index = _mm256_add_epi16(index, _mm256_and_si256(background, _mm256_set1_epi16(static_cast<int16_t>(8 << c))));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(cells), index);
}

// Whether the pixel at q has the colour of the one before it: the bytes
// from that one's red to this one's blue, read as two little-endian words.
static inline bool sameasleft(const unsigned char *q)
{
    uint32_t left, here;
    memcpy(&left, q - 3, 4);
    memcpy(&here, q - 1, 4);
    return ((left << 8) ^ here) <= 0xFFu;
}

// The close pixels of a batch are listed by position, and their colours
// read eight at a time as 32-bit words, red lowest, the top byte the next
// pixel's. The run's last pixel, at last, is never read so, as its word
// would reach past the run: wholewords is how many of the count listed may
// be. The words are read with eight plain loads, as are the table's entries
// below: on the AMD processor measured that took less time than AVX2
// gathers, which it carries out as a long run of micro-operations.
static inline int wholewords(const uint16_t *list, int count, int last)
{
    return count > 0 && list[count - 1] == last ? count - 1 : count;
}

__attribute__((target("avx2"), always_inline)) static inline __m256i colourwords(const unsigned char *p,
                                                                                const uint16_t *list)
{
    uint32_t word[8];
    #pragma GCC unroll 8
    for (int k = 0; k < 8; k++)
        memcpy(&word[k], p + 3 * size_t{list[k]}, 4);
    return _mm256_setr_epi32(static_cast<int>(word[0]), static_cast<int>(word[1]), static_cast<int>(word[2]),
                             static_cast<int>(word[3]), static_cast<int>(word[4]), static_cast<int>(word[5]),
                             static_cast<int>(word[6]), static_cast<int>(word[7]));
}

// The cells in the eight lanes of cells, each to its pixel's place in out.
__attribute__((target("avx2"), always_inline)) static inline void scattercells(__m256i cells, const uint16_t *list,
                                                                               uint16_t *out)
{
    alignas(32) uint32_t cell[8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(cell), cells);
    #pragma GCC unroll 8
    for (int k = 0; k < 8; k++)
        out[list[k]] = static_cast<uint16_t>(cell[k]);
}

// The positions of the lanes set in bits (eight lanes, eight positions of
// 16 bits), appended in order to the count already at to; the new count.
// Lane k's two bytes are picked by the bytes 2k and 2k + 1, k * 0x0202 +
// 0x0100 as a little-endian lane. The list has room for the eight written.
__attribute__((target("avx2"), always_inline)) static inline int keeppositions(__m128i positions, unsigned bits,
                                                                               uint16_t *to, int count)
{
    const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(compaction.positions[bits]));
    const __m128i pick = _mm_add_epi16(_mm_mullo_epi16(lanes, _mm_set1_epi16(0x0202)), _mm_set1_epi16(0x0100));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + count), _mm_shuffle_epi8(positions, pick));
    return count + __builtin_popcount(bits);
}

// The number of the lowest glyph in each lane's mask, from the exponent of
// its bit as a float.
__attribute__((target("avx2"), always_inline)) static inline __m256i lowestglyph(__m256i bits)
{
    const __m256i lowest = _mm256_and_si256(bits, _mm256_sub_epi32(_mm256_setzero_si256(), bits));
    const __m256i exponent = _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(lowest)), 23);
    return _mm256_sub_epi32(exponent, _mm256_set1_epi32(127));
}

// The last 16 bits of the sample n / 255 in units of 2^-71: those of
// 32896 n + h, h the highest power of two in n, which is the float n with
// its significand cleared (see the refinement below).
__attribute__((target("avx2"), always_inline)) static inline __m256i samplelowbits(__m256i n)
{
    const __m256i signandexponent = _mm256_set1_epi32(static_cast<int>(0xFF800000u));
    const __m256i highest = _mm256_cvttps_epi32(
        _mm256_castsi256_ps(_mm256_and_si256(_mm256_castps_si256(_mm256_cvtepi32_ps(n)), signandexponent)));
    return _mm256_add_epi32(_mm256_mullo_epi32(n, _mm256_set1_epi32(32896)), highest);
}

// The bits a rounding drops from a sum of which v is the approximation,
// those beyond its 64 highest: v's bit length less below, where 2^below in
// v's units is 2^-7, and none under it. v is cut to 24 bits first, as the
// conversion to a float would round it.
__attribute__((target("avx2"), always_inline)) static inline __m256i droppedbits(__m256i v, int below)
{
    const __m256i exponent = _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(_mm256_srli_epi32(v, 8))), 23);
    return _mm256_max_epi32(_mm256_sub_epi32(exponent, _mm256_set1_epi32(127 - 9 + below)), _mm256_setzero_si256());
}

// Whether v, off by less than 2 from the sum it stands for, tells how many
// bits the sum's rounding drops: it lies farther than 2 from every power of
// two from 2^below on, or below 2^below - 2, where none drop.
__attribute__((target("avx2"), always_inline)) static inline __m256i clearofpowers(__m256i v, int below)
{
    const __m256i lo = _mm256_sub_epi32(v, _mm256_set1_epi32(2)), hi = _mm256_add_epi32(v, _mm256_set1_epi32(2));
    const __m256i common = _mm256_and_si256(lo, hi);
    const __m256i sametop = _mm256_cmpeq_epi32(_mm256_max_epu32(_mm256_xor_si256(lo, hi), common), common);
    const __m256i unrounded = _mm256_cmpeq_epi32(_mm256_min_epu32(hi, _mm256_set1_epi32((1 << below) - 1)), hi);
    return _mm256_or_si256(sametop, unrounded);
}

// What rounding to nearest, ties to even, adds to a value when it drops the
// value's drop lowest bits (at most 8), from the value's last bits, low.
__attribute__((target("avx2"), always_inline)) static inline __m256i roundingstep(__m256i low, __m256i drop)
{
    const __m256i one32 = _mm256_set1_epi32(1);
    const __m256i unit = _mm256_sllv_epi32(one32, drop);
    const __m256i rest = _mm256_and_si256(low, _mm256_sub_epi32(unit, one32));
    const __m256i odd = _mm256_and_si256(_mm256_srlv_epi32(low, drop), one32);
    const __m256i up = _mm256_cmpgt_epi32(_mm256_add_epi32(_mm256_add_epi32(rest, rest), odd), unit);
    return _mm256_sub_epi32(_mm256_and_si256(up, unit), rest);
}

// The refinement: of the close pixels with two or three near glyphs, those
// where one glyph's distance lies below the others' by more than the
// arithmetic below can miss are decided here, eight at a time, with no
// exact comparison. In a picture of every colour that is nearly half the
// close colours, and the exact ties decided below nearly all the rest; the
// pixels of four near glyphs or more are left open, with the few others.
//
// It works in units of 2^-32, with the error of a channel min(y, |y - a|)
// as in the column filter, y the distance from the sample to the nearer of
// 0 and 1. Below 128 the coverage a is exact in these units; from 128 on the
// value beside 1 is the float 1 - a, so a there is 1 less that float, exact
// too. y is 255ths, min(n, 255 - n) * (2^32 / 255), taken as min(n,
// 255 - n) * 16843009, below by less than 127 * 0.004 < 1/2. The extended
// rounding of samples, errors and sums moves them by less than 2^-60, far
// below a unit. So each channel's error is off by at most 1/2 (and a hair),
// each glyph's sum by 3/2, and the difference of two glyphs' sums by 3: one
// of 4 or more orders their distances strictly. The sums wrap at 2^32, but
// near glyphs' distances lie within 2^-10, so their difference does not.
// The winner's cell comes from the thresholds, as in the column filter.
//
// Most of the rest tie in their exact sums, and the roundings decide. A
// glyph's least error in a channel is of one of three kinds, with Y the
// sample n / 255 below 128 and 1 less it from 128 on, and a the coverage (or
// 1 less the float 1 - a): Y itself while 2Y < a, at 0 or 1; a - Y while
// Y < a; Y - a beyond. Each is exact: Y is the rounded sample, and the
// subtraction of a value with no bits below 2^-29 from a neighbour within a
// factor of two, or from a value below 1/2 that it lies under, loses no bit.
// If every near glyph has the same kind in each channel, one channel of
// a - Y and one of Y - a in the same half of the samples (or neither), the a
// cancel: every near glyph's three errors add up to the same number T. Its
// first sum F, of red and green, is a part common to all plus or less its a,
// and its distance is the rounding of rnd(F) plus its blue error, which is
// T + d, d = rnd(F) - F being what the first rounding adds. In units of
// 2^-71:
// - A sum below 2 loses at most 8 bits to a rounding, so d and what the
//   second rounding adds to T + d follow from the sums' last 16 bits and
//   from how many bits each rounding drops.
// - a is a multiple of 2^-29 and 1 of 1, both multiples of 2^16, so each
//   error's last 16 bits are those of Y or of -Y, and those of Y those of
//   the sample or of its negative. The sample n / 255 is
//   n (2^63 + 2^55 + ... + 2^7) plus 128 n / 255; its 64 significant bits
//   end at h, the highest power of two in n, and 128 n / 255, between h / 2
//   and 3h / 2, rounds to h. So its last 16 bits are those of 32896 n + h.
// - A rounding drops the bits of the sum beyond its 64 highest, which its
//   approximation here tells wherever that lies more than 2 from a power of
//   two: none below 2^-7. T may pass 1 and wrap; as it is never below F, a
//   T below F has wrapped, and T / 2 in units of 2^-31 does not.
// Each glyph's distance is then T plus a small number worked out from those
// bits: the least wins, and of equal ones the lowest glyph. The kinds fix
// each channel's foreground and background bits (0 and 0, or 1 and 1, for
// 0 or 1; 1 and 0 for a, 0 and 1 for 1 - a), so the cells differ only in
// the glyph. The kinds move one way as a grows, so those of the lowest and
// the highest near glyph decide for all. A lane whose y (off by under 1/2)
// equals a or a / 2 (a multiple of 8) is left open, as is one with a sum
// whose bits dropped its approximation cannot tell.
//
// The pixels left open are written to open, in order, and counted: the
// run's last pixel is among them, as are those after the last whole eight.
__attribute__((target("avx2,lzcnt,popcnt"), noinline)) static int refinelist(const unsigned char *p, const uint16_t *list,
                                                                      int count, int last, const uint8_t *nearmask,
                                                                      uint16_t *out, uint16_t *open)
{
    const int vectored = wholewords(list, count, last);
    const __m256i bytebits = _mm256_set1_epi32(0xFF), one32 = _mm256_set1_epi32(1), zero = _mm256_setzero_si256();
    const __m256i finelow = _mm256_load_si256(reinterpret_cast<const __m256i *>(column.finelow));
    const __m256i finehigh = _mm256_load_si256(reinterpret_cast<const __m256i *>(column.finehigh));
    const __m256i lowfrom = _mm256_load_si256(reinterpret_cast<const __m256i *>(column.lowfrom32));
    const __m256i highfrom = _mm256_load_si256(reinterpret_cast<const __m256i *>(column.highfrom32));
    // A byte times 16843009 is that byte in all four bytes of the word.
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12, 0, 0, 0, 0, 4, 4, 4, 4,
                                            8, 8, 8, 8, 12, 12, 12, 12);
    int kept = 0, c = 0;
    for (; c + 8 <= vectored; c += 8) {
        const __m128i positions = _mm_loadu_si128(reinterpret_cast<const __m128i *>(list + c));
        const __m256i colour = colourwords(p, list + c);
        // The masks too are read with plain loads: with an AVX2 gather the
        // search of every colour took 5% more time.
        const __m256i m = _mm256_setr_epi32(nearmask[list[c]], nearmask[list[c + 1]], nearmask[list[c + 2]],
                                            nearmask[list[c + 3]], nearmask[list[c + 4]], nearmask[list[c + 5]],
                                            nearmask[list[c + 6]], nearmask[list[c + 7]]);
        // The three lowest glyphs; a fourth leaves the pixel open.
        const __m256i rest = _mm256_and_si256(m, _mm256_sub_epi32(m, one32));
        const __m256i others = _mm256_and_si256(rest, _mm256_sub_epi32(rest, one32));
        const __m256i fourth = _mm256_and_si256(others, _mm256_sub_epi32(others, one32));
        const __m256i ga = lowestglyph(m), gb = lowestglyph(rest), gc = lowestglyph(others);
        const __m256i alow = _mm256_permutevar8x32_epi32(finelow, ga);
        const __m256i ahigh = _mm256_permutevar8x32_epi32(finehigh, ga);
        const __m256i blow = _mm256_permutevar8x32_epi32(finelow, gb);
        const __m256i bhigh = _mm256_permutevar8x32_epi32(finehigh, gb);
        const __m256i clow = _mm256_permutevar8x32_epi32(finelow, gc);
        const __m256i chigh = _mm256_permutevar8x32_epi32(finehigh, gc);
        const __m256i noc = _mm256_cmpeq_epi32(others, zero);
        // The highest near glyph, z: the third, or the second.
        const __m256i gz = _mm256_blendv_epi8(gc, gb, noc);
        const __m256i zlow = _mm256_permutevar8x32_epi32(finelow, gz);
        const __m256i zhigh = _mm256_permutevar8x32_epi32(finehigh, gz);
        __m256i sample[3], high[3], suma = zero, sumb = zero, sumc = zero;
        __m256i firsta = zero, firstz = zero, unsure = zero, apart = zero, mixed = zero, beyond = zero;
        __m256i mixedhigh = zero, beyondhigh = zero, firstb = zero;
        // The last 16 bits of the errors' sums in units of 2^-71: the first
        // sum's and the total's, the same for every glyph where the kinds
        // match.
        __m256i lowtotal = zero, lowfirst = zero;
        #pragma GCC unroll 3
        for (int k = 0; k < 3; k++) {
            sample[k] = _mm256_and_si256(_mm256_srli_epi32(colour, 8 * k), bytebits);
            high[k] = _mm256_cmpgt_epi32(sample[k], _mm256_set1_epi32(127));
            const __m256i nearer = _mm256_min_epi32(sample[k], _mm256_sub_epi32(bytebits, sample[k]));
            const __m256i y = _mm256_shuffle_epi8(nearer, spread);
            const __m256i a = _mm256_blendv_epi8(alow, ahigh, high[k]), b = _mm256_blendv_epi8(blow, bhigh, high[k]);
            const __m256i cc = _mm256_blendv_epi8(clow, chigh, high[k]);
            suma = _mm256_add_epi32(suma, _mm256_min_epi32(y, _mm256_abs_epi32(_mm256_sub_epi32(y, a))));
            sumb = _mm256_add_epi32(sumb, _mm256_min_epi32(y, _mm256_abs_epi32(_mm256_sub_epi32(y, b))));
            sumc = _mm256_add_epi32(sumc, _mm256_min_epi32(y, _mm256_abs_epi32(_mm256_sub_epi32(y, cc))));
            // The kinds of the lowest near glyph, a, and the highest, z.
            const __m256i z = _mm256_blendv_epi8(zlow, zhigh, high[k]);
            const __m256i halfa = _mm256_srli_epi32(a, 1), halfz = _mm256_srli_epi32(z, 1);
            unsure = _mm256_or_si256(unsure, _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi32(y, halfa),
                                                                             _mm256_cmpeq_epi32(y, a)),
                                                             _mm256_or_si256(_mm256_cmpeq_epi32(y, halfz),
                                                                             _mm256_cmpeq_epi32(y, z))));
            const __m256i mixeda = _mm256_cmpgt_epi32(y, halfa), beyonda = _mm256_cmpgt_epi32(y, a);
            apart = _mm256_or_si256(apart, _mm256_or_si256(_mm256_andnot_si256(_mm256_cmpgt_epi32(y, halfz), mixeda),
                                                           _mm256_andnot_si256(_mm256_cmpgt_epi32(y, z), beyonda)));
            const __m256i within = _mm256_andnot_si256(beyonda, mixeda);
            mixed = _mm256_add_epi32(mixed, within);
            beyond = _mm256_add_epi32(beyond, beyonda);
            mixedhigh = _mm256_add_epi32(mixedhigh, _mm256_and_si256(within, high[k]));
            beyondhigh = _mm256_add_epi32(beyondhigh, _mm256_and_si256(beyonda, high[k]));
            // The error's last bits are those of Y, or of -Y where it is
            // a - Y; Y's are the sample's, or from 128 on its negative's.
            const __m256i negate = _mm256_xor_si256(within, high[k]);
            lowtotal = _mm256_add_epi32(lowtotal,
                                        _mm256_sub_epi32(_mm256_xor_si256(samplelowbits(sample[k]), negate), negate));
            if (k == 1) {
                lowfirst = lowtotal;
                firstb = sumb;
                firsta = suma;
                firstz = _mm256_blendv_epi8(sumc, sumb, noc);
            }
        }
        // A glyph is first when each other glyph's sum exceeds its own by 4
        // or more; a third glyph counts only where there is one.
        const __m256i ab = _mm256_sub_epi32(sumb, suma), ac = _mm256_sub_epi32(sumc, suma);
        const __m256i bc = _mm256_sub_epi32(sumc, sumb);
        const __m256i three = _mm256_set1_epi32(3), minusthree = _mm256_set1_epi32(-3);
        const __m256i afirst =
            _mm256_and_si256(_mm256_cmpgt_epi32(ab, three), _mm256_or_si256(_mm256_cmpgt_epi32(ac, three), noc));
        const __m256i bfirst =
            _mm256_and_si256(_mm256_cmpgt_epi32(minusthree, ab), _mm256_or_si256(_mm256_cmpgt_epi32(bc, three), noc));
        const __m256i cfirst = _mm256_andnot_si256(
            noc, _mm256_and_si256(_mm256_cmpgt_epi32(minusthree, ac), _mm256_cmpgt_epi32(minusthree, bc)));
        // Ties: the kinds the same at both ends, a - y and y - a in equal
        // numbers and halves, and every rounding's dropped bits known. T is
        // suma, wrapped where it lies below F; z stands for the third glyph.
        // Sums below 2^-7, 2^25 units of 2^-32, keep all their bits.
        constexpr int keptbelow = 25;
        const __m256i unwrapped = _mm256_cmpeq_epi32(_mm256_max_epu32(suma, firsta), suma);
        const __m256i halftotal = _mm256_or_si256(
            _mm256_srli_epi32(suma, 1), _mm256_andnot_si256(unwrapped, _mm256_set1_epi32(static_cast<int>(0x80000000u))));
        const __m256i known = _mm256_and_si256(
            _mm256_and_si256(clearofpowers(firsta, keptbelow), clearofpowers(firstb, keptbelow)),
            _mm256_and_si256(clearofpowers(firstz, keptbelow), clearofpowers(halftotal, keptbelow - 1)));
        const __m256i tie = _mm256_andnot_si256(
            _mm256_or_si256(unsure, apart),
            _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi32(mixed, beyond), _mm256_cmpeq_epi32(mixedhigh, beyondhigh)),
                             known));
        // Each glyph's distance less T: what its first rounding adds, and
        // then its second.
        const __m256i droptotal = droppedbits(halftotal, keptbelow - 1);
        const __m256i firststep[3] = {roundingstep(lowfirst, droppedbits(firsta, keptbelow)),
                                      roundingstep(lowfirst, droppedbits(firstb, keptbelow)),
                                      roundingstep(lowfirst, droppedbits(firstz, keptbelow))};
        __m256i beyondtotal[3];
        #pragma GCC unroll 3
        for (int g = 0; g < 3; g++) {
            const __m256i secondstep = roundingstep(_mm256_add_epi32(lowtotal, firststep[g]), droptotal);
            beyondtotal[g] = _mm256_add_epi32(firststep[g], secondstep);
        }
        const __m256i anotfirst = _mm256_or_si256(_mm256_cmpgt_epi32(beyondtotal[0], beyondtotal[1]),
                                                  _mm256_cmpgt_epi32(beyondtotal[0], beyondtotal[2]));
        const __m256i bnotfirst = _mm256_cmpgt_epi32(beyondtotal[1], beyondtotal[2]);
        const __m256i tied = _mm256_blendv_epi8(ga, _mm256_blendv_epi8(gb, gz, bnotfirst), anotfirst);
        const __m256i glyph =
            _mm256_blendv_epi8(_mm256_blendv_epi8(_mm256_blendv_epi8(gc, gb, bfirst), ga, afirst), tied, tie);
        const __m256i decided = _mm256_andnot_si256(
            _mm256_cmpgt_epi32(fourth, zero), _mm256_or_si256(_mm256_or_si256(afirst, bfirst), _mm256_or_si256(cfirst, tie)));
        __m256i index = glyph;
        #pragma GCC unroll 3
        for (int k = 0; k < 3; k++) {
            const __m256i from = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(lowfrom, glyph),
                                                    _mm256_permutevar8x32_epi32(highfrom, glyph), high[k]);
            const __m256i foreground = _mm256_cmpgt_epi32(sample[k], from);
            index = _mm256_add_epi32(index, _mm256_and_si256(foreground, _mm256_set1_epi32(64 << k)));
            index = _mm256_add_epi32(index, _mm256_and_si256(high[k], _mm256_set1_epi32(8 << k)));
        }
        scattercells(index, list + c, out);
        const unsigned openbits = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(decided))) & 0xFFu;
        kept = keeppositions(positions, openbits, open, kept);
    }
    // At most eight are left, and both lists have room for eight more.
    memcpy(open + kept, list + c, 8 * sizeof list[0]);
    return kept + count - c;
}

// Both passes over a close list run once a batch, kept out of line so that
// a profile tells their time apart from the filter's.
//
// The table's answers for the count close pixels of list, eight at a time,
// with the table searched and filled for the colours it does not know;
// counts the colours known in hits. The colours it does not know are listed
// and searched after all the lookups, so that no lookup waits on a search,
// nor on a branch that cannot be foreseen; so are those after the last
// whole eight, the run's last pixel among them. They go through the
// refinement first, eight at a time, and the rest to exact comparisons of
// about 25 ns each. With the exact ties settled before the table, few
// colours reach it that the refinement decides: 38 to 47% of the 9,700 to
// 11,500 the table did not know in the photographs measured, where it had
// decided 84 to 88% of the 38,000 to 64,000 before.
__attribute__((target("avx2,lzcnt,popcnt"), noinline)) static void tablelookups(const unsigned char *p,
                                                                         const uint16_t *list, int count, int last,
                                                                         const uint8_t *nearmask, uint16_t *out,
                                                                         int *hits)
{
    const int vectored = wholewords(list, count, last);
    const __m256i low24 = _mm256_set1_epi32(0xFFFFFF), cellbits = _mm256_set1_epi32(0x1FF);
    alignas(16) uint16_t unknown[widebatch + 8];
    int c = 0, missed = 0, known = 0;
    for (; c + 8 <= vectored; c += 8) {
        const __m128i positions = _mm_loadu_si128(reinterpret_cast<const __m128i *>(list + c));
        const __m256i colour = _mm256_and_si256(colourwords(p, list + c), low24);
        const __m256i mixed =
            _mm256_and_si256(_mm256_mullo_epi32(colour, _mm256_set1_epi32(static_cast<int>(recentmultiplier))), low24);
        const __m256i tagpart = _mm256_and_si256(mixed, _mm256_set1_epi32((1 << tagbits) - 1));
        const __m256i tag =
            _mm256_or_si256(_mm256_set1_epi32(static_cast<int>(recentvalid)), _mm256_slli_epi32(tagpart, 9));
        alignas(32) uint32_t slot[8];
        _mm256_store_si256(reinterpret_cast<__m256i *>(slot), _mm256_srli_epi32(mixed, tagbits));
        const __m256i entry = _mm256_setr_epi32(
            static_cast<int>(recent[slot[0]]), static_cast<int>(recent[slot[1]]), static_cast<int>(recent[slot[2]]),
            static_cast<int>(recent[slot[3]]), static_cast<int>(recent[slot[4]]), static_cast<int>(recent[slot[5]]),
            static_cast<int>(recent[slot[6]]), static_cast<int>(recent[slot[7]]));
        const __m256i isknown = _mm256_cmpeq_epi32(_mm256_andnot_si256(cellbits, entry), tag);
        scattercells(_mm256_and_si256(entry, cellbits), list + c, out);
        const unsigned knownbits = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(isknown)));
        known += __builtin_popcount(knownbits);
        missed = keeppositions(positions, ~knownbits & 0xFFu, unknown, missed);
    }
    memcpy(unknown + missed, list + c, 8 * sizeof list[0]);  // the rest, as in refinelist
    missed += count - c;
    *hits += known;
    alignas(16) uint16_t open[widebatch + 8];
    const int opened = refinelist(p, unknown, missed, last, nearmask, out, open);
    for (int u = 0; u < opened; u++) {
        const int at = open[u];
        const unsigned char *q = p + 3 * at;
        out[at] = recentnearestamong(q[0], q[1], q[2], nearmask[at], hits);
    }
    // The table learns the refinement's answers too; the exact ones it has.
    if (opened < missed) {
        for (int u = 0; u < missed; u++) {
            const int at = unknown[u];
            const unsigned char *q = p + 3 * at;
            uint32_t tag;
            uint32_t &entry = recententry(q[0], q[1], q[2], &tag);
            entry = tag | out[at];
        }
    }
}

// The positions of the close pixels among the 32 from first on, set in
// closes, appended to list at count; the new count. Positions within a
// batch fit 16 bits, four to a word, the first in the low bits of the word
// as x86 stores it, and the list has room for the eight written.
__attribute__((target("popcnt"), always_inline)) static inline int listclose(unsigned closes, int first, uint16_t *list,
                                                                             int count)
{
    #pragma GCC unroll 4
    for (int part = 0; part < 4; part++) {
        const unsigned bits = closes >> (8 * part) & 0xFFu;
        const uint64_t base = 0x0001000100010001u * static_cast<uint64_t>(first + 8 * part);
        const uint64_t positions[2] = {compaction.positions[bits][0] + base, compaction.positions[bits][1] + base};
        memcpy(list + count, positions, sizeof positions);
        count += __builtin_popcount(bits);
    }
    return count;
}

// A table of settleties, and its bytes picked by the nibbles of each lane.
__attribute__((target("avx2"), always_inline)) static inline __m256i tiebytes(const uint8_t *t)
{
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(t));
}

__attribute__((target("avx2"), always_inline)) static inline __m256i bynibble(const uint8_t *t, __m256i nibbles)
{
    return _mm256_shuffle_epi8(tiebytes(t), nibbles);
}

// Most close pixels are exact ties of a few shapes, each decided the same
// way wherever it comes, and they are settled here, 32 at a time, from the
// pixels and their near glyphs alone. With m a channel's distance from the
// nearer of 0 and 1 in sample steps and a a glyph's coverage in the same
// steps, the glyph's least error in the channel is of one of three kinds
// (see refinelist): Y itself up to m = a / 2, a - Y up to a, Y - a beyond.
// The kinds move one way as a grows, so where the lowest and the highest
// near glyph have the same kind in each channel, every glyph between them
// has it too. A glyph's gain is then a times the number of channels of
// Y - a less those of a - Y, plus a part common to all; near glyphs' gains
// lie within filterslack of each other and their a far more apart, so that
// number is 0, and (a gain of 0 leaving no glyph near) one channel has each
// kind. Then:
// - With the other two channels in the same half of the samples, the a
//   cancels and every near glyph's errors add up to the same number. With
//   blue the channel at 0 or 1, so do the first sums, of red and green, and
//   the distances are equal; else the first sums differ by the glyphs' a,
//   and round alike wherever they lie between the same two powers of two,
//   or all below 2^-7, where no bit drops. Of equal distances the lowest
//   index wins, and as the kinds fix the foreground and background bits,
//   that is the lowest near glyph's. Here the first sums' bounds are whole
//   steps, at most one off; 2^-k is 255 / 2^k steps, just below a power of
//   two, so bounds of the same bit length leave no power of two between.
// - With them in different halves, the a of one is the coverage and of the
//   other 1 less the float 1 - a, and the near glyphs' distances differ by
//   how far that float lies from 1 - a: at least 2^-29 between two glyphs,
//   far beyond what the roundings move. The nearest is the glyph whose float
//   lies most above 1 - a where the channel of Y - a is in the lower half,
//   or most below it where that channel is in the upper half.
// A pixel with a channel at m = a of the glyph whose a is whole, where the
// kind depends on the half, is left close, as are all the others. In the
// photographs measured this settles 81 to 94% of the close pixels, which
// need neither the table nor the refinement.
//
// The bits of the lanes settled are returned, their cells written to out.
__attribute__((target("avx2"), always_inline)) static inline unsigned settleties(const unsigned char *p, __m256i masks,
                                                                                __m256i single, uint16_t *out)
{
    const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi8(-1);
    // Each half of a load holds 16 bytes of 16 pixels, the first half those
    // of pixels 0 to 15, the second of 16 to 31.
    const __m256i load[3] = {loadhalves(p, p + 48), loadhalves(p + 16, p + 64), loadhalves(p + 32, p + 80)};
    const __m256i low = _mm256_and_si256(masks, _mm256_set1_epi8(0x0F));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(masks, 4), _mm256_set1_epi8(0x0F));
    const __m256i first = _mm256_min_epu8(bynibble(ties.lowest[0], low), bynibble(ties.lowest[1], high));
    const __m256i last = _mm256_max_epu8(bynibble(ties.highest[0], low), bynibble(ties.highest[1], high));
    const __m256i abovefirst = _mm256_shuffle_epi8(tiebytes(ties.above), first);
    const __m256i abovelast = _mm256_shuffle_epi8(tiebytes(ties.above), last);
    const __m256i extremefirst = _mm256_shuffle_epi8(tiebytes(ties.extreme), first);
    const __m256i extremelast = _mm256_shuffle_epi8(tiebytes(ties.extreme), last);
    __m256i m[3], upper[3], above[3], extreme[3];
    __m256i unsettled = single, onwhole = zero;
    #pragma GCC unroll 3
    for (int c = 0; c < 3; c++) {
        __m256i n = _mm256_shuffle_epi8(load[0], tiebytes(ties.pick[c][0]));
        n = _mm256_or_si256(n, _mm256_shuffle_epi8(load[1], tiebytes(ties.pick[c][1])));
        n = _mm256_or_si256(n, _mm256_shuffle_epi8(load[2], tiebytes(ties.pick[c][2])));
        upper[c] = _mm256_cmpgt_epi8(zero, n);
        m[c] = _mm256_min_epu8(n, _mm256_xor_si256(n, ones));
        above[c] = _mm256_cmpeq_epi8(_mm256_max_epu8(m[c], abovefirst), m[c]);
        extreme[c] = _mm256_cmpeq_epi8(_mm256_min_epu8(m[c], extremefirst), m[c]);
        const __m256i abovetoo = _mm256_cmpeq_epi8(_mm256_max_epu8(m[c], abovelast), m[c]);
        const __m256i extremetoo = _mm256_cmpeq_epi8(_mm256_min_epu8(m[c], extremelast), m[c]);
        unsettled = _mm256_or_si256(unsettled, _mm256_or_si256(_mm256_xor_si256(above[c], abovetoo),
                                                               _mm256_xor_si256(extreme[c], extremetoo)));
        const __m256i wholestep = _mm256_set1_epi8(static_cast<char>(ties.wholestep));
        onwhole = _mm256_or_si256(onwhole, _mm256_cmpeq_epi8(m[c], wholestep));
    }
    const __m256i wholebit = _mm256_set1_epi8(static_cast<char>(ties.wholebit));
    unsettled = _mm256_or_si256(
        unsettled, _mm256_and_si256(onwhole, _mm256_cmpeq_epi8(_mm256_and_si256(masks, wholebit), wholebit)));
    // The two channels not at 0 or 1 lie in different halves where one of
    // them lies in the upper half.
    __m256i split = zero, aboveupper = zero;
    #pragma GCC unroll 3
    for (int c = 0; c < 3; c++) {
        split = _mm256_xor_si256(split, _mm256_andnot_si256(extreme[c], upper[c]));
        aboveupper = _mm256_or_si256(aboveupper, _mm256_and_si256(above[c], upper[c]));
    }
    const __m256i rising = _mm256_max_epu8(bynibble(ties.rising[0], low), bynibble(ties.rising[1], high));
    const __m256i falling = _mm256_max_epu8(bynibble(ties.falling[0], low), bynibble(ties.falling[1], high));
    const __m256i ranked = _mm256_blendv_epi8(rising, falling, aboveupper);
    const __m256i glyph = _mm256_blendv_epi8(first, _mm256_and_si256(ranked, _mm256_set1_epi8(7)), split);
    // The first sum's bounds where red or green is at 0 or 1: that channel
    // e and the other o, whose error is Y - a or a - Y.
    const __m256i me = _mm256_blendv_epi8(m[1], m[0], extreme[0]), mo = _mm256_blendv_epi8(m[0], m[1], extreme[0]);
    const __m256i aboveo = _mm256_blendv_epi8(above[0], above[1], extreme[0]);
    const __m256i under = _mm256_shuffle_epi8(tiebytes(ties.under), first);
    const __m256i over = _mm256_shuffle_epi8(tiebytes(ties.over), last);
    const __m256i both = _mm256_add_epi8(me, mo);
    const __m256i least = _mm256_blendv_epi8(_mm256_adds_epu8(me, _mm256_subs_epu8(under, mo)),
                                             _mm256_subs_epu8(both, over), aboveo);
    const __m256i most = _mm256_blendv_epi8(_mm256_adds_epu8(me, _mm256_subs_epu8(over, mo)),
                                            _mm256_subs_epu8(both, under), aboveo);
    const __m256i common = _mm256_and_si256(least, most);
    const __m256i samelength = _mm256_cmpeq_epi8(_mm256_max_epu8(_mm256_xor_si256(least, most), common), common);
    const __m256i rounded = _mm256_or_si256(_mm256_or_si256(split, extreme[2]), samelength);
    unsettled = _mm256_or_si256(unsettled, _mm256_andnot_si256(rounded, ones));
    const __m256i settled = _mm256_andnot_si256(unsettled, ones);
    // The cell: glyph + 8 * background + 64 * foreground, the background bit
    // of a channel set in the upper half, the foreground bit there too if it
    // is at 1, else in the lower half.
    __m256i cellbyte = glyph, fg[3];
    #pragma GCC unroll 3
    for (int c = 0; c < 3; c++) {
        fg[c] = _mm256_xor_si256(upper[c], _mm256_xor_si256(extreme[c], ones));
        cellbyte = _mm256_or_si256(cellbyte, _mm256_and_si256(upper[c], _mm256_set1_epi8(static_cast<char>(8 << c))));
    }
    cellbyte = _mm256_or_si256(cellbyte, _mm256_and_si256(fg[0], _mm256_set1_epi8(64)));
    cellbyte = _mm256_or_si256(cellbyte, _mm256_and_si256(fg[1], _mm256_set1_epi8(static_cast<char>(128))));
    const __m256i cellhigh = _mm256_and_si256(fg[2], _mm256_set1_epi8(1));
    const __m256i cellslow = _mm256_unpacklo_epi8(cellbyte, cellhigh);
    const __m256i cellshigh = _mm256_unpackhi_epi8(cellbyte, cellhigh);
    // Unpacked, the cells lie in the order 0 to 7, 16 to 23, 8 to 15, 24 to 31.
    const __m256i takelow = _mm256_unpacklo_epi8(settled, settled), takehigh = _mm256_unpackhi_epi8(settled, settled);
    const __m256i cells[2] = {_mm256_permute2x128_si256(cellslow, cellshigh, 0x20),
                              _mm256_permute2x128_si256(cellslow, cellshigh, 0x31)};
    const __m256i take[2] = {_mm256_permute2x128_si256(takelow, takehigh, 0x20),
                             _mm256_permute2x128_si256(takelow, takehigh, 0x31)};
    __m256i *to = reinterpret_cast<__m256i *>(out);
    _mm256_storeu_si256(to, _mm256_blendv_epi8(_mm256_loadu_si256(to), cells[0], take[0]));
    _mm256_storeu_si256(to + 1, _mm256_blendv_epi8(_mm256_loadu_si256(to + 1), cells[1], take[1]));
    return static_cast<unsigned>(_mm256_movemask_epi8(settled));
}

// The close pixels among the n of a batch, listed from the masks the filter
// stored, 32 at a time: a pixel with two near glyphs or more keeps bits in
// m & (m - 1). The masks past the batch, up to a whole 32, are cleared, as
// they name no pixel of it. Listed as each step of the filter found them,
// they cost a branch at the end of the step's longest chain of work, which
// threw that work away whenever it was foreseen wrong: listed after it, the
// search of the photographs measured took 0.93 to 0.98 of the time. Close
// pixels come in patches, and most groups of a photograph have none: those
// skip the listing. In the others the exact ties are settled first (see
// settleties), and only the pixels left close are listed.
__attribute__((target("avx2,popcnt"), always_inline)) static inline int listcloses(const unsigned char *p,
                                                                                   uint8_t *nearmask, int n,
                                                                                   uint16_t *out, uint16_t *list)
{
    const int rounded = (n + 31) & ~31;
    memset(nearmask + n, 0, static_cast<size_t>(rounded - n));
    int count = 0;
    for (int at = 0; at < rounded; at += 32) {
        const __m256i m = _mm256_load_si256(reinterpret_cast<const __m256i *>(nearmask + at));
        const __m256i single =
            _mm256_cmpeq_epi8(_mm256_and_si256(m, _mm256_add_epi8(m, _mm256_set1_epi8(-1))), _mm256_setzero_si256());
        unsigned closes = ~static_cast<unsigned>(_mm256_movemask_epi8(single));
        if (closes == 0)
            continue;
        if (at + 32 <= n) {
            closes &= ~settleties(p + 3 * at, m, single, out + at);
        } else {
            // A run's last few pixels are settled from a copy, as they are
            // filtered.
            unsigned char rest[96] = {};
            uint16_t restcells[32] = {};
            memcpy(rest, p + 3 * at, static_cast<size_t>(3 * (n - at)));
            memcpy(restcells, out + at, sizeof restcells[0] * static_cast<size_t>(n - at));
            closes &= ~settleties(rest, m, single, restcells);
            memcpy(out + at, restcells, sizeof restcells[0] * static_cast<size_t>(n - at));
        }
        if (closes != 0)
            count = listclose(closes, at, list, count);
    }
    return count;
}

__attribute__((target("avx2,lzcnt,popcnt"))) static void widecells(const unsigned char *pixels, int count, uint16_t *cells)
{
    // Each pixel's near glyphs are kept apart from the others', so that no
    // pixel waits for the one before; the close ones are settled or listed
    // after the filter (see listcloses).
    alignas(32) uint8_t nearmask[widebatch];
    // The filter reads its constants from memory, as operands: GCC, seeing
    // them as constants, built each in registers at every step, a transfer
    // and a broadcast each. Hiding where they lie keeps them in memory.
    const columntables *tables = &column;
    __asm__("" : "+r"(tables));
    for (int start = 0; start < count; start += widebatch) {
        const int n = count - start < widebatch ? count - start : widebatch;
        const unsigned char *p = pixels + 3 * start;
        uint16_t *out = cells + start;
        alignas(16) uint16_t closelist[widebatch + 8];
        int i = 0;
        for (; i + 16 <= n; i += 16, p += 48)
            columncells(tables, p, nearmask + i, out + i);
        // The last few pixels of a run are filtered from a copy, sixteen
        // pixels long, so that nothing is read or written past the run.
        if (i < n) {
            unsigned char rest[48] = {};
            alignas(16) uint8_t restnear[16];
            uint16_t restcells[16];
            memcpy(rest, p, static_cast<size_t>(3 * (n - i)));
            columncells(tables, rest, restnear, restcells);
            memcpy(nearmask + i, restnear, static_cast<size_t>(n - i));
            memcpy(out + i, restcells, sizeof restcells[0] * static_cast<size_t>(n - i));
        }
        p = pixels + 3 * start;
        const int closecount = listcloses(p, nearmask, n, out, closelist);
        // Until the table is first asked it pays, as forgetrecent left it, so
        // neither rests nor probes.
        const bool warm = searched >= tablefrom;
        searched += static_cast<uint64_t>(n);
        const bool probe = !tablepays && tablerest == 0;
        tablerest -= !tablepays && tablerest > 0 ? 1 : 0;
        // While the table pays every close colour asks it, eight at a time;
        // in a probe only the first few.
        const int asked = !warm ? 0
                          : tablepays ? closecount
                          : probe     ? (closecount < tableprobe ? closecount : tableprobe)
                                      : 0;
        int hits = 0;
        // Each pass is called only with work to do: while the table pays the
        // refinement has none, and while it rests the table has none.
        if (asked > 0)
            tablelookups(p, closelist, asked, count - 1 - start, nearmask, out, &hits);
        // Without the table most pixels are decided by the refinement.
        // Pictures often repeat a colour to the right: its cell is known.
        // The table knows it too, so the test is only made without it.
        alignas(16) uint16_t open[widebatch + 8];
        const int opened = closecount > asked ? refinelist(p, closelist + asked, closecount - asked, count - 1 - start,
                                                           nearmask, out, open)
                                              : 0;
        for (int c = 0; c < opened; c++) {
            const int at = open[c];
            const unsigned char *q = p + 3 * at;
            if (start + at > 0 && sameasleft(q))
                out[at] = out[at - 1];
            else
                out[at] = static_cast<uint16_t>(nearestamong(q[0], q[1], q[2], nearmask[at]));
        }
        if (asked > 0) {
            tablepays = tablepaysfrom * hits >= asked;
            restlength = tablepays ? 0 : restlength * 2 + 1 < maxrest ? restlength * 2 + 1 : maxrest;
            tablerest = restlength;
        }
        recentasked += static_cast<uint64_t>(asked);
        recentfound += static_cast<uint64_t>(hits);
    }
}
#endif

void nearestcells(const unsigned char *pixels, int count, uint16_t *cells)
{
#if defined(TINTCELL_WIDE_AVX2)
    if (wide) {
        widecells(pixels, count, cells);
        return;
    }
#endif
    for (int i = 0; i < count; i++, pixels += 3)
        cells[i] = recentnearest(pixels[0], pixels[1], pixels[2]);
}
