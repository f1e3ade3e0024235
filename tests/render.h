// render: the reader and writer run in-process on an image's bytes, and the plain model of a run they are compared with.
#pragma once

#include <cstdint>
#include <string>

#include "expect.h"
#include "palette.h"
#include "runtool.h"
#include "sgrwrite.h"
#include "tintcell.h"

// The bytes of a cell that the writer sends first in an image.
inline std::string firstcell(uint8_t r, uint8_t g, uint8_t b)
{
    buildpalette();
    const cell &c = palettecell(nearestcell(r, g, b));
    return esc + "[" + std::to_string(c.fg) + ";" + std::to_string(c.bg) + "m" + c.glyph;
}

struct rendered {
    bool ok;
    std::string out;
};

inline rendered render(const std::string &file)
{
    buildpalette();
    FILE *in = openstream(file);
    FILE *out = openstream();
    const bool ok = renderppm(in, out);
    closestream(in);
    return {ok, closestream(out)};
}

// The run as the format describes it: one sample at a time, each pixel
// searched by the plain scan and written by putcell.
inline std::string modelrun(const std::string &pixels, int width, int height)
{
    static sgrout model;
    buildpalette();
    FILE *out = openstream();
    openout(&model, out);
    uint8_t sample[3] = {0, 0, 0};
    size_t at = 0;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            for (uint8_t &s : sample) {
                if (at < pixels.size())
                    s = static_cast<uint8_t>(pixels[at++]);
            }
            putcell(&model, palettecell(scannearest(sample[0], sample[1], sample[2])));
        }
        endrow(&model);
    }
    endimage(&model);
    closeout(&model);
    return closestream(out);
}

// Rows wider than the cells found at a time, and more data than one read
// takes, cut short at places that fall on and off the edges of pixels and
// blocks. Colours come in runs, so that some repeat at once and some later.
inline std::string variedpixels(int width, int height)
{
    std::string pixels;
    uint32_t state = 12345;
    while (pixels.size() < 3u * width * height) {
        state = state * 1103515245u + 12345u;
        const std::string colour = px(state >> 24, state >> 16, state >> 8);
        for (uint32_t n = state >> 29; n-- > 0;)
            pixels += colour;
        pixels += px(state >> 8, state >> 24, state >> 16);
    }
    pixels.resize(3u * width * height);
    return pixels;
}

inline std::string ppmheader(int width, int height)
{
    return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
}
