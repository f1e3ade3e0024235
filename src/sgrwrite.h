// sgrwrite: writes cells as ECMA-48 SGR colour changes and glyphs, tracking the colours in force.
//
// The output is made of these pieces only (ESC is byte 27, numbers in decimal):
//   both colours   "%c[%i;%im"  ESC, fg, bg
//   one colour     "%c[%im"     ESC, the code
//   glyph          "%c"         the glyph
//   row end        "\n"
//   closing reset  "%c[0m\n"    ESC
// Before each glyph the writer sends only what the cell needs: both colours
// when both differ from those in force, the background alone when only it
// differs, the foreground alone when only it differs and the glyph is not a
// space (a space shows nothing of its foreground), else nothing. Row ends
// leave the colours in force, so they carry over into the next row.
#pragma once

#include <cstdint>
#include <cstdio>

#include "palette.h"

// The colours in force as far as the writer has set them: SGR codes, or -1
// when nothing has been sent for this image.
struct termstate {
    int fg;
    int bg;
};

// Bytes are gathered here and reach the stream in writes of this size. A
// pipe's reader keeps pace with 8 KiB pieces; pieces of 64 KiB, a whole
// pipe's worth, took more than twice as long to pass through one.
constexpr int outbuffersize = 1 << 13;

struct sgrout {
    termstate colours;
    FILE *to;
    bool failed;  // a write has failed: the stream gets nothing more
    int used;
    char pending[outbuffersize];
};

// Sends the writer's output to a stream.
void openout(sgrout *o, FILE *to);

// Starts an image: nothing sent yet. Writes nothing.
void beginimage(sgrout *o);

// Writes the colour change the cell needs, then its glyph.
void putcell(sgrout *o, const cell &c);

// Writes the cells of the palette indices in turn, as putcell would.
void putindexed(sgrout *o, const uint16_t *indices, int count);

// Writes the cell count times, as count calls of putcell would.
void putcells(sgrout *o, const cell &c, int64_t count);

// Ends an image row.
void endrow(sgrout *o);

// Ends the image with the reset to the terminal's default rendition.
void endimage(sgrout *o);

// Hands every byte gathered to the stream and flushes it. False when any
// write to the stream has failed.
bool closeout(sgrout *o);
