// search_bench: time per colour of the plain scan and of the fast nearest-cell search, and per cell of the writer.
//
//   search_bench PHOTO.ppm [benchmark flags]
//
// "AllColours" walks the 24-bit colours in a scrambled order, all 2^24 of
// them for the fast search one at a time ("fast") and many at a time
// ("many", as the tool searches), and every 64th for the scan (a uniform
// sample, as the scan takes microseconds a colour); "Photo" searches the pixels of a
// picture in file order. "Writer" writes the picture's cells, found once,
// to /dev/null, a row at a time as the tool does, and made-up rows whose
// blocks of sixteen cells change colour in set patterns. ns_per_colour
// (ns_per_cell and ns_per_block for the writer) is printed in seconds with
// an SI prefix: 14.2n is 14.2 nanoseconds.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "palette.h"
#include "sgrwrite.h"
#include "tintcell.h"

namespace {

std::vector<uint8_t> photo;
int32_t photowidth;

// An odd multiplier permutes the colours, so no order helps the search.
uint32_t scrambled(uint32_t i)
{
    return (i * 0x9E3779B1u) & 0xFFFFFFu;
}

void setcounters(benchmark::State &state, int64_t colours, const char *counter = "ns_per_colour")
{
    state.SetItemsProcessed(state.iterations() * colours);
    state.counters[counter] =
        benchmark::Counter(static_cast<double>(colours), benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
}

template <int (*search)(uint8_t, uint8_t, uint8_t), uint32_t step>
void allcolours(benchmark::State &state)
{
    buildpalette();
    for (auto _ : state) {
        for (uint32_t i = 0; i < (1u << 24); i += step) {
            const uint32_t c = scrambled(i);
            benchmark::DoNotOptimize(search(c >> 16, (c >> 8) & 0xff, c & 0xff));
        }
    }
    setcounters(state, (1 << 24) / step);
}

// nearestcells, as the tool searches a row: the colours in the same
// scrambled order, 4096 at a time.
void allcoloursmany(benchmark::State &state)
{
    buildpalette();
    static std::vector<unsigned char> pixels(3 << 24);
    static std::vector<uint16_t> cells(1 << 24);
    for (uint32_t i = 0; i < (1u << 24); i++) {
        const uint32_t c = scrambled(i);
        pixels[3 * i] = static_cast<unsigned char>(c >> 16);
        pixels[3 * i + 1] = static_cast<unsigned char>(c >> 8);
        pixels[3 * i + 2] = static_cast<unsigned char>(c);
    }
    for (auto _ : state) {
        for (uint32_t i = 0; i < (1u << 24); i += 4096)
            nearestcells(&pixels[3 * i], 4096, &cells[i]);
        benchmark::DoNotOptimize(cells.data());
    }
    setcounters(state, 1 << 24);
}

template <int (*search)(uint8_t, uint8_t, uint8_t)>
void photocolours(benchmark::State &state)
{
    buildpalette();
    for (auto _ : state) {
        for (size_t i = 0; i + 2 < photo.size(); i += 3)
            benchmark::DoNotOptimize(search(photo[i], photo[i + 1], photo[i + 2]));
    }
    setcounters(state, static_cast<int64_t>(photo.size() / 3));
}

// Writes the cells to /dev/null a row at a time, as the tool does, once an
// iteration.
void writecells(benchmark::State &state, const std::vector<uint16_t> &cells, int width)
{
    FILE *devnull = fopen("/dev/null", "wb");
    static sgrout out;
    for (auto _ : state) {
        openout(&out, devnull);
        for (size_t row = 0; row < cells.size(); row += static_cast<size_t>(width)) {
            const size_t rest = cells.size() - row;
            putindexed(&out, &cells[row], rest < static_cast<size_t>(width) ? static_cast<int>(rest) : width);
            endrow(&out);
        }
        endimage(&out);
        benchmark::DoNotOptimize(closeout(&out));
    }
    fclose(devnull);
}

void writerphoto(benchmark::State &state)
{
    buildpalette();
    std::vector<uint16_t> cells(photo.size() / 3);
    nearestcells(photo.data(), static_cast<int>(cells.size()), cells.data());
    writecells(state, cells, photowidth);
    setcounters(state, static_cast<int64_t>(cells.size()), "ns_per_cell");
}

// The writer on made-up rows of photograph width, in blocks of sixteen cells
// of which some hold one colour change: none ("quiet"), every other block
// ("alternate"), or a random half ("random"), at a random place and to a
// cell of other colours. The last two have about as many changes; what sets
// them apart is whether the processor can foresee which blocks change.
enum blockpattern { quiet, alternate, randomhalf };

template <blockpattern pattern>
void writerblocks(benchmark::State &state)
{
    buildpalette();
    constexpr int width = 2560, height = 1600;
    std::vector<uint16_t> cells(static_cast<size_t>(width) * height);
    // xorshift32: a fixed sequence, the same every run, with no short cycle
    // in its low bits that a branch predictor could learn.
    uint32_t seed = 1;
    const auto next = [&seed]() {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    uint16_t cell = 64 * 1 + 8 * 2 + 5;  // any cell to start from
    for (size_t block = 0; block < cells.size() / 16; block++) {
        const bool changes = pattern == alternate ? block % 2 == 0 : pattern == randomhalf && next() % 2 == 0;
        const size_t at = changes ? next() % 16 : 16;
        for (size_t i = 0; i < 16; i++) {
            if (i == at) {
                const uint32_t colours = (cell / 8 + 1 + next() % 63) % 64;  // another pair of colours
                cell = static_cast<uint16_t>(8 * colours + 1 + next() % 7);   // and a glyph that is no space
            }
            cells[16 * block + i] = cell;
        }
    }
    writecells(state, cells, width);
    setcounters(state, static_cast<int64_t>(cells.size() / 16), "ns_per_block");
}

BENCHMARK(allcolours<scannearest, 64>)->Name("AllColours/scan")->Unit(benchmark::kMillisecond);
BENCHMARK(allcolours<nearestcell, 1>)->Name("AllColours/fast")->Unit(benchmark::kMillisecond);
BENCHMARK(allcoloursmany)->Name("AllColours/many")->Unit(benchmark::kMillisecond);
BENCHMARK(photocolours<scannearest>)->Name("Photo/scan")->Unit(benchmark::kMillisecond);
BENCHMARK(photocolours<nearestcell>)->Name("Photo/fast")->Unit(benchmark::kMillisecond);
BENCHMARK(writerphoto)->Name("Writer/photo")->Unit(benchmark::kMillisecond);
BENCHMARK(writerblocks<quiet>)->Name("Writer/quiet")->Unit(benchmark::kMillisecond);
BENCHMARK(writerblocks<alternate>)->Name("Writer/alternate")->Unit(benchmark::kMillisecond);
BENCHMARK(writerblocks<randomhalf>)->Name("Writer/random")->Unit(benchmark::kMillisecond);

// The pixel bytes of a P6 file, after the tool's own header reader.
bool loadphoto(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    int32_t width = 0, height = 0;
    const bool ok = readheader(f, &width, &height) == headerimage && width > 0 && height > 0;
    if (ok) {
        photowidth = width;
        photo.resize(3 * static_cast<size_t>(width) * static_cast<size_t>(height));
        photo.resize(fread(photo.data(), 1, photo.size(), f));
    }
    fclose(f);
    return ok && !photo.empty();
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 2 || !loadphoto(argv[1])) {
        fputs("usage: search_bench PHOTO.ppm [benchmark flags]\n", stderr);
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
