// palette_posix_test: the search reads nothing past a run of pixels, shown with a run that ends at an unreadable page.
#include "palette.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace {

// Colours whose glyphs come close, so that the search asks the table of
// recent answers for them, many at a time where it can.
constexpr uint8_t closecolours[][3] = {{0, 0, 0}, {255, 255, 255}, {0, 38, 80}, {0, 39, 77}};

TEST(NearestCells, ReadNothingPastTheRun)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    unsigned char *end = static_cast<unsigned char *>(pages) + page;
    ASSERT_EQ(mprotect(end, page, PROT_NONE), 0);
    buildpalette();
    for (int count = 1; count <= 40; count++) {
        unsigned char *run = end - 3 * count;
        for (int i = 0; i < count; i++)
            memcpy(run + 3 * i, closecolours[i / 3 % 4], 3);
        uint16_t cells[40];
        nearestcells(run, count, cells);
        for (int i = 0; i < count; i++) {
            const unsigned char *q = run + 3 * i;
            ASSERT_EQ(cells[i], nearestcell(q[0], q[1], q[2])) << count << " pixels, pixel " << i;
        }
    }
    munmap(pages, 2 * page);
}

}  // namespace
