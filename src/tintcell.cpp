// tintcell: the run flow and the binary PPM reader.
#include "tintcell.h"

#include <cstdint>
#include <cstring>

#include "palette.h"
#include "platform.h"
#include "sgrwrite.h"

// Every header line goes through one buffer: 255 bytes of the line and a NUL.
static constexpr int linesize = 256;

struct pixel {
    uint8_t red, green, blue;
};

// Reads the next piece of a header line and drops its last character.
// False at end of file or on a read error, leaving the buffer as it was.
static bool readline(FILE *in, char (&line)[linesize])
{
    if (fgets(line, linesize, in) == nullptr)
        return false;
    // An empty string, from a line that begins with NUL, stays empty.
    const size_t length = strlen(line);
    if (length > 0)
        line[length - 1] = '\0';
    return true;
}

// The numbers follow the conventions of %i. They are scanned as long so that
// one beyond 32 bits is seen and refused rather than cut down to 32 bits.
static bool scansize(const char *line, int32_t *width, int32_t *height)
{
    long w, h;
    if (sscanf(line, "%li %li", &w, &h) != 2)
        return false;
    if (w < INT32_MIN || w > INT32_MAX || h < INT32_MIN || h > INT32_MAX)
        return false;
    *width = static_cast<int32_t>(w);
    *height = static_cast<int32_t>(h);
    return true;
}

headerresult readheader(FILE *in, int32_t *width, int32_t *height)
{
    char line[linesize] = {};
    if (!readline(in, line))
        return ferror(in) ? headerbroken : headernotppm;
    // Three bytes: the magic and its terminator, so "P6 ..." does not match.
    if (memcmp(line, "P6", 3) != 0)
        return headernotppm;
    do {
        if (!readline(in, line))
            return headerbroken;
    } while (line[0] == '#');
    if (!scansize(line, width, height))
        return headerbroken;
    if (!readline(in, line))  // the maxval line, whatever it holds
        return headerbroken;
    return headerimage;
}

// Pixel bytes are read in blocks, never beyond the last pixel the header
// declares: 3 * width * height bytes, below 2^64 for any 32-bit size.
static constexpr int pixelblock = 3 << 14;

struct pixelsource {
    FILE *from;
    uint64_t unread;  // pixel bytes declared and not yet read from the stream
    bool ended;       // the stream has no more: end of file or a read error
    const unsigned char *next, *end;
    unsigned char block[pixelblock];
};

static void beginpixels(pixelsource *s, FILE *from, int32_t width, int32_t height)
{
    s->from = from;
    s->unread = width > 0 && height > 0 ? 3 * static_cast<uint64_t>(width) * static_cast<uint64_t>(height) : 0;
    s->ended = false;
    s->next = s->end = s->block;
}

static bool refill(pixelsource *s)
{
    const size_t want = s->unread < pixelblock ? static_cast<size_t>(s->unread) : pixelblock;
    const size_t got = s->ended || want == 0 ? 0 : fread(s->block, 1, want, s->from);
    s->unread -= got;
    s->next = s->block;
    s->end = s->block + got;
    s->ended = got == 0;
    return got > 0;
}

// A sample that cannot be read keeps the value it had in the previous pixel.
static void readsample(pixelsource *s, uint8_t *sample)
{
    if (s->next == s->end && !refill(s))
        return;
    *sample = *s->next++;
}

static void readpixel(pixelsource *s, pixel *p)
{
    readsample(s, &p->red);
    readsample(s, &p->green);
    readsample(s, &p->blue);
}

// Pictures repeat their colours, so the answers of recent searches are kept
// in a direct-mapped table. An odd multiplier permutes the 24-bit colours;
// the top recentbits of the product pick the slot and the rest are kept as
// the tag, so slot and tag together name the colour. An entry holds a valid
// bit, the tag and the 9-bit cell index.
static constexpr int recentbits = 16;
static constexpr int tagbits = 24 - recentbits;
static constexpr uint32_t recentvalid = 1u << 31;
static_assert(1 + tagbits + 9 <= 32, "an entry must fit 32 bits");
static uint32_t recent[1 << recentbits];

[[maybe_unused]] static inline uint16_t cachednearest(uint8_t red, uint8_t green, uint8_t blue)
{
    const uint32_t colour = static_cast<uint32_t>(red) << 16 | static_cast<uint32_t>(green) << 8 | blue;
    const uint32_t mixed = (colour * 0x9E3779B1u) & 0xFFFFFFu;
    const uint32_t tag = recentvalid | (mixed & ((1u << tagbits) - 1)) << 9;
    uint32_t &entry = recent[mixed >> tagbits];
    if ((entry & ~0x1FFu) != tag)
        entry = tag | static_cast<uint32_t>(nearestcell(red, green, blue));
    return static_cast<uint16_t>(entry & 0x1FFu);
}

// The benchmarks build a second binary with TINTCELL_PLAIN_SCAN defined:
// every pixel searched by the plain scan, the tool as measured against.
static inline uint16_t findcell(uint8_t red, uint8_t green, uint8_t blue)
{
#ifdef TINTCELL_PLAIN_SCAN
    return static_cast<uint16_t>(scannearest(red, green, blue));
#else
    return cachednearest(red, green, blue);
#endif
}

// The cells of a row are found and written a chunk at a time.
static constexpr int chunkcells = 4096;

static pixelsource source;
static sgrout out;
static uint16_t chunk[chunkcells];

// Finds the cells of the next pixels, at most want of them, and returns how
// many it found; p is left holding the last pixel read.
static int findcells(pixelsource *s, pixel *p, uint16_t *cells, int want)
{
    // Pixels that lie wholly in the block need no checks, and the cursor stays
    // in a register while the cells are stored.
    const unsigned char *next = s->next;
    const long inblock = (s->end - next) / 3;
    const int whole = inblock < want ? static_cast<int>(inblock) : want;
    for (int i = 0; i < whole; i++, next += 3)
        cells[i] = findcell(next[0], next[1], next[2]);
    s->next = next;
    if (whole > 0)
        *p = {next[-3], next[-2], next[-1]};
    if (whole == want)
        return whole;
    // The block ends here: one pixel sample by sample, which reads the next
    // block or meets the end of the data.
    readpixel(s, p);
    cells[whole] = findcell(p->red, p->green, p->blue);
    return whole + 1;
}

static void writeimage(pixelsource *s, sgrout *o, int32_t width, int32_t height)
{
    beginimage(o);
    pixel p = {0, 0, 0};
    for (int32_t y = 0; y < height && !o->failed; y++) {
        int32_t x = 0;
        while (x < width && !s->ended) {
            const int n = findcells(s, &p, chunk, width - x < chunkcells ? width - x : chunkcells);
            putindexed(o, chunk, n);
            x += n;
        }
        // Past the end of the data every cell shows the last colour formed.
        if (x < width)
            putcells(o, palettecell(findcell(p.red, p.green, p.blue)), static_cast<int64_t>(width) - x);
        endrow(o);
    }
    endimage(o);
}

bool renderppm(FILE *in, FILE *to)
{
    openout(&out, to);
    int32_t width = 0, height = 0;
    const headerresult header = readheader(in, &width, &height);
    if (header == headerimage) {
        beginpixels(&source, in, width, height);
        writeimage(&source, &out, width, height);
    }
    // A read error in the pixels is shown like the end of the data, and fails the run.
    const bool written = closeout(&out);
    return header != headerbroken && !ferror(in) && written;
}

int loadppm(const char *path)
{
    buildpalette();
    // No path, or "-", reads the image from standard input; a file named "-"
    // is still reachable as "./-". With no path and a terminal there, reading
    // would only wait for keystrokes: that is a usage error. An explicit "-"
    // reads even a terminal, as it was asked to.
    const bool fromstdin = path == nullptr || strcmp(path, "-") == 0;
    if (path == nullptr && stdinisterminal())
        return exitusage;
    FILE *in = fromstdin ? stdin : fopen(path, "r");
    bool ok = false;
    if (in != nullptr) {
        // The writer gathers pieces of its own; through stdout's buffer as
        // well, each would reach the file as two writes.
        setvbuf(stdout, nullptr, _IONBF, 0);
        ok = renderppm(in, stdout);
        // Standard input was not opened here, so it is not closed here.
        ok = (fromstdin || fclose(in) == 0) && ok;
    }
    return ok ? exitok : exitfailure;
}
