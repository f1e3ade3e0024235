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
//
// An interrupted run leaves the terminal in its default rendition: on a
// signal that ends it, what is gathered is sent and then the closing reset;
// on a stop, the reset alone "%c[0m" before stopping, and both colours in
// force again once continued. The writer looks for interrupts only between
// the pieces it sends, so no sequence is ever cut in two.
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

// Bytes are gathered here and reach the stream in pieces. A pipe's reader
// keeps pace with 8 KiB pieces; pieces of 64 KiB, a whole pipe's worth, took
// more than twice as long to pass through one. So a stream with a reader
// waiting on it (a pipe, a socket, a terminal) gets pieces of waitedpiece,
// and a file or a device such as /dev/null the whole buffer, in an eighth of
// the system calls.
constexpr int outbuffersize = 1 << 16;
constexpr int waitedpiece = 1 << 13;

struct sgrout {
    termstate colours;
    FILE *to;
    bool failed;  // a write has failed: the stream gets nothing more
    int piece;    // the bytes gathered before they are sent: waitedpiece or outbuffersize
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

// Ends the image with the reset to the terminal's default rendition, after
// which no colours are in force.
void endimage(sgrout *o);

// Acts on an interrupt that has come: sends what is gathered, then, if
// colours are in force, the reset. For a stop it then stops and, once
// continued, gathers the colours in force again before the next cell; for an
// end it ends the process by its signal. Called whenever a piece is sent, and
// by a reader whose wait for data was interrupted.
void heedinterrupts(sgrout *o);

// Hands every byte gathered to the stream and flushes it. False when any
// write to the stream has failed.
bool closeout(sgrout *o);
