// huge_test: a declared size far beyond the data, read as a ten-gigabyte stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "expect.h"
#include "posixtool.h"
#include "tintcell.h"

namespace {

// 100000 x 100000 cells with no data at all: ten gigabytes of one black
// space cell, written with flat memory.
TEST(HugeImage, DeclaredSizeWithNoData)
{
    tracedrun huge;
    ASSERT_TRUE(starttraced(&huge, std::string(TINTCELL_CORPUS) + "size-huge-no-data.ppm"));
    const int64_t width = 100000, height = 100000;
    const std::string first = setboth(black, black), row = std::string(width, ' ') + rowend;
    const int64_t bodystart = static_cast<int64_t>(first.size());
    const int64_t bodyend = bodystart + static_cast<int64_t>(row.size()) * height;
    static char block[1 << 16];
    int64_t at = 0, wrong = -1;
    for (ssize_t n; (n = readtraced(&huge, block, sizeof block)) > 0;) {
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
    const int status = endtraced(&huge);
    EXPECT_EQ(wrong, -1) << "first wrong byte";
    EXPECT_EQ(at, bodyend + static_cast<int64_t>(closingreset.size()));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), exitok);
    // Flat: no more than a run that writes one reset line, give or take the
    // pages of the buffers the long run fills. What that is in bytes depends
    // on the machine and its C library; the benchmark reports it.
    tracedrun small;
    ASSERT_TRUE(starttraced(&small, std::string(TINTCELL_CORPUS) + "size-zero.ppm"));
    while (readtraced(&small, block, sizeof block) > 0) {
    }
    endtraced(&small);
    ASSERT_GT(huge.peakkb, 0);
    ASSERT_GT(small.peakkb, 0);
    EXPECT_LT(huge.peakkb, small.peakkb + 512) << "peak resident memory, KiB, against " << small.peakkb;
}

}  // namespace
