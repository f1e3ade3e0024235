// platform: what differs by operating system: opening the image, binary streams, whole writes to a stream's descriptor, whether a reader waits on it, retried reads, the console's colours, the signals that interrupt a run, whether standard input is a terminal, and the processor's extensions.
//
// Each function here has one form per system behind the same declaration;
// the writer and the run flow call them and hold no system code of their own.
#pragma once

#include <cstddef>
#include <cstdio>

// Opens the image file at path for reading, in binary. On Windows the path
// is UTF-8 (what utf8argument makes of the wide command line) and is opened
// by its UTF-16 form, so a name outside the ANSI code page opens too. Null,
// with errno set, when it cannot be opened.
FILE *openimage(const char *path);

// Makes the stream pass its bytes unchanged: no line ends translated and no
// end of file at a byte 26. Only Windows has another mode.
void setbinary(FILE *stream);

// When the stream is a console that does not interpret escape sequences on
// its own, turns that on until endconsole (Windows 10 and later; an older
// console is left as it is). Files, pipes and terminals are left alone.
void beginconsole(FILE *to);

// Puts the console's mode back as beginconsole found it. Ending the process
// for an interrupt does this as well.
void endconsole();

// Writes all length bytes to the stream, straight to its descriptor when it
// has one (the stream's own buffer is passed by). A write that would block
// waits until the descriptor takes bytes again, an interrupted one is
// retried and a short one goes on where it stopped. False on a real error.
bool writeall(FILE *to, const char *bytes, size_t length);

// True when a reader may be waiting on the stream's other end as its bytes
// come: a pipe, a socket or a terminal (and a stream with no descriptor). A
// file, or a device such as /dev/null, has none.
bool readerwaits(FILE *to);

// Called after a read from the stream has failed with the error number
// error. True when the read was only interrupted or would have blocked; the
// stream has then become readable and the read may be tried again.
bool readagain(FILE *from, int error);

// What the user has asked of the run since the last call. On Windows only
// the console's Ctrl-C and Ctrl-Break come, each asking to end.
enum interrupt {
    interruptnone,
    interruptstop,  // stop for now, as the job-control stop key does
    interruptend,   // end, as the interrupt key, a hang-up or a termination does
};

// From here until releaseinterrupts, the signals that end or stop the
// process only note that they came; pendinginterrupt tells what came. Signals
// that were ignored or handled elsewhere when this is called are left alone.
void catchinterrupts();

// The interrupt noted, ending before stopping; a stop is reported once.
interrupt pendinginterrupt();

// Stops the process as the stop signal would have; returns once it is
// continued.
void stopforinterrupt();

// Ends the process by the signal that asked for it, as if it had never been
// caught. Returns only if that signal does not end the process.
void endforinterrupt();

// Gives the signals back their usual effect; one that came after the last
// look has it now.
void releaseinterrupts();

// True when standard input is a terminal (a person typing, not a file or a pipe).
bool stdinisterminal();

// The x86-64 extensions the wide forms of the search and the writer use, as
// bits: those the processor has and the system lets programs use (AVX2
// needs the system to keep the wide registers too). None on other
// processors, where those forms do not exist.
constexpr unsigned hasavx2 = 1, haslzcnt = 2, haspopcnt = 4;
unsigned processorfeatures();

#ifdef _WIN32
// The argument, as Windows gives it in UTF-16, as UTF-8 in a buffer of this
// layer's own that the next call reuses. A lone surrogate, which a Windows
// file name may hold, is kept as its three-byte form, so that openimage
// opens exactly the name given.
const char *utf8argument(const wchar_t *argument);
#endif
