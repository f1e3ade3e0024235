// exhaustive_test: the fast nearest-cell search against the plain scan, for every 24-bit colour.
#include "palette.h"

#include <gtest/gtest.h>

namespace {

constexpr int slices = 16;  // ctest runs the slices side by side

class EveryColour : public testing::TestWithParam<int> {};

TEST_P(EveryColour, FastSearchMatchesTheScan)
{
    buildpalette();
    const int first = GetParam() * (256 / slices);
    for (int r = first; r < first + 256 / slices; r++) {
        for (int g = 0; g < 256; g++) {
            for (int b = 0; b < 256; b++) {
                const int fast = nearestcell(r, g, b), scan = scannearest(r, g, b);
                if (fast != scan)
                    FAIL() << "colour " << r << " " << g << " " << b << ": fast search " << fast << ", scan " << scan;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RedSlices, EveryColour, testing::Range(0, slices));

}  // namespace
