// tintcell: the run flow of one invocation and the reader of binary PPM (P6) images.
//
// The image format as tintcell reads it, stated once:
// - The header is read as lines, each with a limit of 255 bytes: a line is
//   read up to and including its newline but at most 255 bytes, so a longer
//   line comes in pieces, each piece a line of its own. The last character
//   of each piece (its newline, for an ordinary line) is dropped; a line that
//   holds a NUL byte is cut there and loses the character before it as well.
// - The first line must then be exactly "P6". Any other first line ends the
//   run with no output at all.
// - Lines that begin with '#' are comments and are skipped.
// - The first other line is the size line, scanned as "%i %i": width, then
//   height, each with an optional sign and in decimal, octal (leading 0) or
//   hexadecimal (0x). Both must stand on that line and fit 32 bits.
// - The line after the size line is the maxval line. It is never examined:
//   samples are always single bytes scaled as if the maximum were 255.
// - Then come width x height pixels of three bytes, red, green and blue, row
//   by row from the top, each row from the left. Nothing after them is used.
//   A sample that is missing keeps the value it had in the previous pixel; a
//   first pixel with no data at all is black.
// - A width or height below 1 gives no cells in a row or no rows.
#pragma once

#include <cstdint>
#include <cstdio>

// Exit statuses.
enum {
    exitok = 0,       // image shown, or the file is not a P6 image
    exitfailure = 1,  // unreadable file, broken header, or output not written
    exitusage = 2,    // no image named, and standard input is a terminal
};

// Runs the whole tool on the image at path and returns the exit status. A
// path of nullptr (none given) or "-" reads the image from standard input.
// The picture goes to standard output.
int loadppm(const char *path);

enum headerresult {
    headerimage,   // a size was read; the pixel data follows
    headernotppm,  // the first line is not the magic
    headerbroken,  // end of file or a read error in the header, or a bad size
};

// Reads the header from in, leaving the stream at the first pixel byte when
// it returns headerimage, which is the only case that sets width and height.
headerresult readheader(FILE *in, int32_t *width, int32_t *height);

// Reads width and height from a size line, in the conventions of %i; false
// unless the line holds two numbers that fit 32 bits.
bool scansize(const char *line, int32_t *width, int32_t *height);

// Reads the image from in and writes its picture to out. False when the
// header is broken, in could not be read or out could not be written; true
// for a shown image and for a file that is not a P6 image, which writes
// nothing.
bool renderppm(FILE *in, FILE *out);
