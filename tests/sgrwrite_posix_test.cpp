// sgrwrite_posix_test: the writer on streams that fail, made with fopencookie and /dev/full, and the size of its writes on pipes, terminals and files.
#include "sgrwrite.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "expect.h"

namespace {

sgrout writer;

// The first write fails (a stream of one's own says so by writing nothing)
// and every later one would succeed.
ssize_t failfirstwrite(void *cookie, const char *, size_t size)
{
    size_t *calls = static_cast<size_t *>(cookie);
    if ((*calls)++ > 0)
        return static_cast<ssize_t>(size);
    errno = ENOSPC;
    return 0;
}

TEST(PutCell, NothingReachesAStreamAfterAFailedWrite)
{
    buildpalette();
    size_t calls = 0;
    FILE *failsonce = fopencookie(&calls, "w", {nullptr, failfirstwrite, nullptr, nullptr});
    setvbuf(failsonce, nullptr, _IONBF, 0);
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    for (FILE *to : {full, failsonce}) {
        openout(&writer, to);
        putcells(&writer, palettecell(cellindex(black, red, 7)), 10 * int64_t{outbuffersize});
        EXPECT_TRUE(writer.failed);
        EXPECT_FALSE(closeout(&writer));
    }
    EXPECT_EQ(calls, 1u);
    fclose(full);
    fclose(failsonce);
}

// A reader may wait on a pipe or a terminal, so they get the small pieces;
// a file or /dev/null gets the whole buffer at a time.
TEST(PutCell, PiecesFitTheStream)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    struct streamcase {
        const char *what;
        FILE *stream;
        int piece;
    } cases[] = {
        {"pipe", fdopen(ends[1], "w"), waitedpiece},
        {"terminal", fdopen(terminal, "w"), waitedpiece},
        {"file", tmpfile(), outbuffersize},
        {"/dev/null", fopen("/dev/null", "w"), outbuffersize},
    };
    buildpalette();
    for (const streamcase &c : cases) {
        ASSERT_NE(c.stream, nullptr) << c.what;
        openout(&writer, c.stream);
        EXPECT_EQ(writer.piece, c.piece) << c.what;
        fclose(c.stream);
    }
    close(ends[0]);
}

}  // namespace
