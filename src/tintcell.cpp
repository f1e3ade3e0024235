// tintcell: the run flow and the binary PPM reader.
#include "tintcell.h"

#include <cerrno>
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

// The size line is read here rather than by sscanf, whose %i reads "0x"
// alone and numbers beyond its type's range differently from one C library
// to the next, and whose %li depends on the width of long. These are the
// conventions of %i as glibc reads them, the same on every machine:
// whitespace is skipped before each number; then come an optional sign and
// either "0x" or "0X" and hexadecimal digits, or 0 and octal digits, or
// decimal digits. A "0x" with no digit after it is read whole, as 0 ("0xg"
// is 0, then a "g" that is no number); "08" is 0, then 8. A number beyond 32
// bits is refused rather than cut down.
static bool isspacebyte(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static int digitvalue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 16;  // no digit in any base
}

static bool scannumber(const char **at, int32_t *value)
{
    const char *p = *at;
    while (isspacebyte(*p))
        p++;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    int base = 10, digits = 0;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        digits = 1;  // the 0 of the prefix
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    // Held up to 2^32, beyond every 32-bit value, so it cannot wrap.
    constexpr uint64_t beyond = uint64_t{1} << 32;
    uint64_t magnitude = 0;
    for (int d; (d = digitvalue(*p)) < base; p++, digits++) {
        magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        magnitude = magnitude < beyond ? magnitude : beyond;
    }
    if (digits == 0 || magnitude > (negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1))
        return false;
    *value = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
    *at = p;
    return true;
}

bool scansize(const char *line, int32_t *width, int32_t *height)
{
    int32_t w, h;
    if (!scannumber(&line, &w) || !scannumber(&line, &h))
        return false;
    *width = w;
    *height = h;
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
    sgrout *writer;   // acts on interrupts that come while a read waits
    uint64_t unread;  // pixel bytes declared and not yet read from the stream
    bool ended;       // the stream has no more: end of file or a read error
    const unsigned char *next, *end;
    // On a page boundary: the kernel copies a read with a string move, which
    // on the AMD processor measured took four times as long whenever the
    // destination lay less than 32 bytes past the source within a page. The
    // source lies as far into its page as the header is long, so a block
    // elsewhere would slow every read of images whose header length falls in
    // such a window; on a boundary only headers of 4065 to 4095 bytes, past
    // a multiple of 4096, do.
    alignas(4096) unsigned char block[pixelblock];
};

static void beginpixels(pixelsource *s, FILE *from, sgrout *writer, int32_t width, int32_t height)
{
    s->from = from;
    s->writer = writer;
    s->unread = width > 0 && height > 0 ? 3 * static_cast<uint64_t>(width) * static_cast<uint64_t>(height) : 0;
    s->ended = false;
    s->next = s->end = s->block;
}

// A read that was interrupted by a signal, or found a non-blocking source
// empty, is not the end of the data: it is tried again.
static size_t readblock(pixelsource *s, size_t want)
{
    size_t got = 0;
    while (got < want) {
        got += fread(s->block + got, 1, want - got, s->from);
        if (got == want || !ferror(s->from) || !readagain(s->from, errno))
            break;
        clearerr(s->from);
        heedinterrupts(s->writer);
    }
    return got;
}

// Once the stream has ended it is not read again.
static bool refill(pixelsource *s)
{
    const size_t want = s->unread < pixelblock ? static_cast<size_t>(s->unread) : pixelblock;
    const size_t got = s->ended || want == 0 ? 0 : readblock(s, want);
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

// The cells of count pixels. The benchmarks build a second binary with
// TINTCELL_PLAIN_SCAN defined: every pixel searched by the plain scan, the
// tool as measured against.
static void findmany(const unsigned char *pixels, int count, uint16_t *cells)
{
#ifdef TINTCELL_PLAIN_SCAN
    for (int i = 0; i < count; i++, pixels += 3)
        cells[i] = static_cast<uint16_t>(scannearest(pixels[0], pixels[1], pixels[2]));
#else
    nearestcells(pixels, count, cells);
#endif
}

static uint16_t findcell(const pixel &p)
{
    const unsigned char samples[3] = {p.red, p.green, p.blue};
    uint16_t found;
    findmany(samples, 1, &found);
    return found;
}

// The cells of a row are found and written a chunk at a time.
static constexpr int chunkcells = 4096;

static char inbuffer[64];
static pixelsource source;
static sgrout out;
static uint16_t chunk[chunkcells];

// Finds the cells of the next pixels, at most want of them, and returns how
// many it found; p is left holding the last pixel read.
static int findcells(pixelsource *s, pixel *p, uint16_t *cells, int want)
{
    // Pixels that lie wholly in the block are searched where they lie.
    const unsigned char *next = s->next;
    const long inblock = (s->end - next) / 3;
    const int whole = inblock < want ? static_cast<int>(inblock) : want;
    findmany(next, whole, cells);
    next += 3 * whole;
    s->next = next;
    if (whole > 0)
        *p = {next[-3], next[-2], next[-1]};
    if (whole == want)
        return whole;
    // The block ends here: one pixel sample by sample, which reads the next
    // block or meets the end of the data.
    readpixel(s, p);
    cells[whole] = findcell(*p);
    return whole + 1;
}

static void writeimage(pixelsource *s, sgrout *o, int32_t width, int32_t height)
{
    beginimage(o);
    pixel p = {0, 0, 0};
    // Once the output has failed nothing more is read or searched: the run
    // ends within a chunk, whatever the size the header declares.
    for (int32_t y = 0; y < height && !o->failed; y++) {
        int32_t x = 0;
        while (x < width && !s->ended && !o->failed) {
            const int n = findcells(s, &p, chunk, width - x < chunkcells ? width - x : chunkcells);
            putindexed(o, chunk, n);
            x += n;
        }
        // Past the end of the data every cell shows the last colour formed.
        if (x < width && !o->failed)
            putcells(o, palettecell(findcell(p)), static_cast<int64_t>(width) - x);
        endrow(o);
    }
    endimage(o);
}

bool renderppm(FILE *in, FILE *to)
{
    openout(&out, to);
    int32_t width = 0, height = 0;
    const headerresult header = readheader(in, &width, &height);
    // Signals are caught only while the picture is written: until its first
    // colour there is nothing to put right, and reads of the header may wait
    // undisturbed.
    if (header == headerimage) {
        catchinterrupts();
        beginconsole(to);
        beginpixels(&source, in, &out, width, height);
        writeimage(&source, &out, width, height);
    }
    // A read error in the pixels is shown like the end of the data, and fails the run.
    const bool written = closeout(&out);
    if (header == headerimage) {
        endconsole();
        releaseinterrupts();
    }
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
    // Binary both ways: the pixels are bytes of any value, and the row ends
    // are single newlines on every system.
    if (fromstdin)
        setbinary(stdin);
    FILE *in = fromstdin ? stdin : openimage(path);
    bool ok = false;
    if (in != nullptr) {
        // The header is read through a stream buffer this small; with it the
        // C library reads each block of pixels straight into the block, one
        // read a block, where a buffer of a page split every block's read in
        // two (glibc reads through its buffer the part of a request beyond
        // whole buffers, once the buffer is 128 bytes or more).
        setvbuf(in, inbuffer, _IOFBF, sizeof inbuffer);
        setbinary(stdout);
        // The writer gathers pieces of its own. Where it writes through the
        // stream rather than the descriptor (on Windows), stdout's buffer
        // would only cut each piece into two writes.
        setvbuf(stdout, nullptr, _IONBF, 0);
        ok = renderppm(in, stdout);
        // Standard input was not opened here, so it is not closed here.
        ok = (fromstdin || fclose(in) == 0) && ok;
    }
    return ok ? exitok : exitfailure;
}
