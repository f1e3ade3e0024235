// sgrwrite_posix_test: the writer on streams that fail, made with fopencookie and /dev/full.
#include "sgrwrite.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

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

}  // namespace
