// sgrwrite: writes cells as ECMA-48 SGR colour changes and glyphs, tracking the colours in force.
//
// The output is made of these pieces only (ESC is byte 27, numbers in decimal):
//   both colours   ESC [ fg ; bg m   foreground first
//   one colour     ESC [ code m
//   glyph          one byte
//   row end        newline
//   closing reset  ESC [ 0 m newline
// Before each glyph the writer sends only what the cell needs: both colours
// when both differ from those in force, the background alone when only it
// differs, the foreground alone when only it differs and the glyph is not a
// space (a space shows nothing of its foreground), else nothing. Row ends
// leave the colours in force, so they carry over into the next row.
#pragma once

#include <cstdio>

#include "palette.h"

// The colours in force as far as this writer has set them: SGR codes, or
// -1 when nothing has been sent for this image.
struct termstate {
    int fg;
    int bg;
    FILE *out;
};

// Starts an image on the stream: nothing sent yet. Writes nothing.
void beginimage(termstate *t, FILE *out);

// Writes the colour change the cell needs, then its glyph.
void putcell(termstate *t, const cell &c);

// Ends an image row.
void endrow(termstate *t);

// Ends the image with the reset to the terminal's default rendition.
void endimage(termstate *t);
