// tintcell: the run flow and the binary PPM reader.
#include "tintcell.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "palette.h"
#include "sgrwrite.h"

// Every header line goes through one buffer: 255 bytes of the line and a NUL.
static constexpr int linesize = 256;

struct pixel {
    uint8_t red, green, blue;
};

enum headerresult {
    headerimage,   // a size was read; the pixel data follows
    headernotppm,  // the first line is not the magic
    headerbroken,  // end of file or a read error in the header, or a bad size
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

static headerresult readheader(FILE *in, int32_t *width, int32_t *height)
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

// A sample that cannot be read keeps the value it had in the previous pixel.
static void readpixel(FILE *in, pixel *p)
{
    int c;
    if ((c = getc(in)) != EOF)
        p->red = static_cast<uint8_t>(c);
    if ((c = getc(in)) != EOF)
        p->green = static_cast<uint8_t>(c);
    if ((c = getc(in)) != EOF)
        p->blue = static_cast<uint8_t>(c);
}

bool renderppm(FILE *in, FILE *out)
{
    int32_t width = 0, height = 0;
    const headerresult header = readheader(in, &width, &height);
    if (header != headerimage)
        return header == headernotppm;
    termstate t;
    beginimage(&t, out);
    pixel p = {0, 0, 0};
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            readpixel(in, &p);
            putcell(&t, palettecell(nearestcell(p.red, p.green, p.blue)));
        }
        endrow(&t);
    }
    endimage(&t);
    // A read error in the pixels is shown like the end of the data, and fails the run.
    return !ferror(in);
}

int loadppm(const char *path)
{
    buildpalette();
    bool ok = false;
    if (path != nullptr) {
        FILE *in = fopen(path, "r");
        if (in != nullptr) {
            ok = renderppm(in, stdout);
            ok = fclose(in) == 0 && ok;
        }
    }
    // A picture that did not reach its destination is a failed run.
    ok = fflush(stdout) == 0 && !ferror(stdout) && ok;
    return path == nullptr ? exitusage : ok ? exitok : exitfailure;
}
