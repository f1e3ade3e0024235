// huge_test: a declared size far beyond the data, read as a ten-gigabyte stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "expect.h"
#include "runtool.h"
#include "tintcell.h"

namespace {

// 100000 x 100000 cells with no data at all: ten gigabytes of one black
// space cell, written with flat memory.
TEST(HugeImage, DeclaredSizeWithNoData)
{
    pid_t pid;
    const int fd = spawnpiped(std::string(TINTCELL_CORPUS) + "size-huge-no-data.ppm", &pid);
    ASSERT_GE(fd, 0);
    const int64_t width = 100000, height = 100000;
    const std::string first = setboth(black, black), row = std::string(width, ' ') + rowend;
    const int64_t bodystart = static_cast<int64_t>(first.size());
    const int64_t bodyend = bodystart + static_cast<int64_t>(row.size()) * height;
    static char block[1 << 16];
    int64_t at = 0, wrong = -1;
    for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;) {
        for (ssize_t i = 0; i < n && wrong < 0;) {
            const int64_t pos = at + i;
            if (pos < bodystart || pos >= bodyend) {
                const std::string &piece = pos < bodystart ? first : closingreset;
                const int64_t k = pos < bodystart ? pos : pos - bodyend;
                if (k >= static_cast<int64_t>(piece.size()) || block[i] != piece[k])
                    wrong = pos;
                i++;
                continue;
            }
            // Compare up to the end of this row, of the block or of the rows.
            const int64_t inrow = (pos - bodystart) % static_cast<int64_t>(row.size());
            const int64_t length = std::min({static_cast<int64_t>(n - i), static_cast<int64_t>(row.size()) - inrow,
                                             bodyend - pos});
            if (memcmp(block + i, row.data() + inrow, length) != 0)
                wrong = pos;
            i += length;
        }
        at += n;
    }
    close(fd);
    rusage usage;
    const int status = waitatmostaminute(pid, &usage);
    EXPECT_EQ(wrong, -1) << "first wrong byte";
    EXPECT_EQ(at, bodyend + static_cast<int64_t>(closingreset.size()));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), exitok);
    // Flat: no more than a run that writes one reset line, give or take
    // the pages of the buffers the long run fills.
    pid_t small;
    const int smallfd = spawnpiped(std::string(TINTCELL_CORPUS) + "size-zero.ppm", &small);
    ASSERT_GE(smallfd, 0);
    while (read(smallfd, block, sizeof block) > 0) {
    }
    close(smallfd);
    rusage smallusage;
    waitatmostaminute(small, &smallusage);
    EXPECT_LT(usage.ru_maxrss, smallusage.ru_maxrss + 512) << "peak resident memory, KiB";
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's shadow memory comes on top
    EXPECT_LT(usage.ru_maxrss, 4096) << "peak resident memory, KiB";
#endif
}

}  // namespace
