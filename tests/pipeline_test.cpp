// pipeline_test: the converter pipelines that the README and the manual give, run on PNG and JPEG files of every kind.
//
// Each pipeline must hand tintcell an 8-bit P6 fitted to the columns the
// terminal reports, half as tall as the image's shape gives, transparency
// flattened onto black. The test draws its pictures itself: a left half of
// one colour and a right half of another, as an 8-bit, a grey, a 16-bit and
// a transparent PNG, and a JPEG made from the first by whichever converter
// is installed. A pipeline whose programs are missing is skipped with a
// message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "expect.h"
#include "palette.h"
#include "posixtool.h"

namespace {

// The pictures: 96 x 64 pixels, halves split at column 48, where the JPEG's
// 16-pixel blocks meet, so that no block mixes the two.
constexpr int picwidth = 96, picheight = 64;
// The columns the terminal reports: the picture comes out 24 x 8 cells.
constexpr int columns = 24, rows = picheight * columns / picwidth / 2;

uint32_t crc32(const std::string &bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; k++)
            crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string bigendian32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string pngchunk(const std::string &type, const std::string &data)
{
    return bigendian32(static_cast<uint32_t>(data.size())) + type + data + bigendian32(crc32(type + data));
}

// A PNG of colour type 0 (grey), 2 (RGB) or 6 (RGBA) and the given depth;
// rows holds each row's samples, already in PNG byte order. The image data
// is a zlib stream of stored (uncompressed) blocks.
std::string png(int colourtype, int depth, const std::vector<std::string> &samples)
{
    std::string raw;
    for (const std::string &row : samples)
        raw += '\0' + row;  // filter type 0: none
    std::string z = "\x78\x01";
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        const bool last = at + n >= raw.size();
        z += static_cast<char>(last ? 1 : 0);
        z += {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(~n), static_cast<char>(~n >> 8)};
        z += raw.substr(at, n);
    }
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    z += bigendian32(b << 16 | a);
    const std::string header = bigendian32(picwidth) + bigendian32(picheight) + static_cast<char>(depth) +
                               static_cast<char>(colourtype) + std::string(3, '\0');
    return "\x89PNG\r\n\x1a\n" + pngchunk("IHDR", header) + pngchunk("IDAT", z) + pngchunk("IEND", "");
}

// Rows of picwidth pixels, the left half of one pixel's samples, the right of another's.
std::vector<std::string> halves(const std::string &left, const std::string &right)
{
    std::string row;
    for (int x = 0; x < picwidth; x++)
        row += x < picwidth / 2 ? left : right;
    return std::vector<std::string>(picheight, row);
}

std::string sample16(int v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }

struct picture {
    const char *what;
    std::string name;  // the file's name in the scratch folder
    std::string bytes;
    uint8_t left[3], right[3];  // the colours the halves must come out as
};

bool installed(const std::string &program)
{
    return system(("command -v '" + program + "' >/dev/null 2>&1").c_str()) == 0;
}

// The lines of the document's example blocks that pipe into tintcell. In
// the manual the blocks run from .EX to .EE and "\-" stands for "-".
std::vector<std::string> documented(const std::string &path, const std::string &open, const std::string &close)
{
    std::vector<std::string> found;
    std::ifstream doc(path);
    bool inblock = false;
    for (std::string line; std::getline(doc, line);) {
        if (!inblock && line.compare(0, open.size(), open) == 0) {
            inblock = true;
        } else if (inblock && line == close) {
            inblock = false;
        } else if (inblock && line.find("| tintcell") != std::string::npos) {
            for (size_t at; (at = line.find("\\-")) != std::string::npos;)
                line.erase(at, 1);
            found.push_back(line);
        }
    }
    return found;
}

// The programs a pipeline runs: the first word of each stage.
std::vector<std::string> programs(const std::string &pipeline)
{
    std::vector<std::string> words;
    size_t at = 0;
    do {
        const size_t start = pipeline.find_first_not_of(' ', at);
        words.push_back(pipeline.substr(start, pipeline.find(' ', start) - start));
        at = pipeline.find('|', start);
    } while (at++ != std::string::npos);
    return words;
}

// The cells tintcell drew, row by row, from its output.
std::vector<std::vector<cell>> drawn(const std::string &out)
{
    std::vector<std::vector<cell>> cells(1);
    cell now{0, 0, 0, -1, -1, ' '};
    for (size_t i = 0; i < out.size(); i++) {
        if (out[i] == '\n') {
            cells.emplace_back();
        } else if (out[i] == esc[0]) {
            const size_t end = out.find('m', i);
            std::string params = out.substr(i + 2, end - i - 2);
            for (size_t at = 0; at <= params.size();) {
                const size_t semi = std::min(params.find(';', at), params.size());
                const int code = std::atoi(params.substr(at, semi - at).c_str());
                (code >= 40 ? now.bg : now.fg) = code;
                at = semi + 1;
            }
            i = end == std::string::npos ? out.size() : end;
        } else {
            now.glyph = out[i];
            cells.back().push_back(now);
        }
    }
    // The reset line ends the output: an empty row after the last newline.
    if (!cells.empty() && cells.back().empty())
        cells.pop_back();
    if (!cells.empty() && cells.back().empty() && out.size() >= closingreset.size() &&
        out.compare(out.size() - closingreset.size(), closingreset.size(), closingreset) == 0)
        cells.pop_back();
    return cells;
}

bool samecell(const cell &seen, const cell &meant)
{
    return seen.glyph == meant.glyph && seen.bg == meant.bg && (meant.glyph == ' ' || seen.fg == meant.fg);
}

TEST(Pipelines, DocumentedPipelinesDrawEveryKindOfPicture)
{
    const std::string source = TINTCELL_SOURCE;
    const std::vector<std::string> readme = documented(source + "README.md", "```sh", "```");
    const std::vector<std::string> manual = documented(source + "tintcell.1", ".EX", ".EE");
    ASSERT_FALSE(readme.empty());
    EXPECT_EQ(std::set<std::string>(readme.begin(), readme.end()), std::set<std::string>(manual.begin(), manual.end()))
        << "the README and the manual give other pipelines";

    const std::string folder = scratchpath("pipelines");
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    std::vector<picture> pictures = {
        {"an 8-bit RGB PNG", "rgb.png", png(2, 8, halves(px(255, 0, 0), px(0, 0, 255))), {255, 0, 0}, {0, 0, 255}},
        {"a grey PNG", "grey.png", png(0, 8, halves("\x20", "\xe0")), {32, 32, 32}, {224, 224, 224}},
        {"a 16-bit PNG", "rgb16.png",
         png(2, 16, halves(sample16(0xFF12) + sample16(0x0034) + sample16(0x0056),
                           sample16(0x0078) + sample16(0x009A) + sample16(0xFFBC))),
         {255, 0, 0}, {0, 0, 255}},
        // The right half is transparent, its hidden colour green.
        {"a transparent PNG", "rgba.png", png(6, 8, halves(px(255, 0, 0) + "\xff", px(0, 255, 0) + '\0')), {255, 0, 0},
         {0, 0, 0}},
    };
    for (const picture &p : pictures)
        std::ofstream(folder + "/" + p.name, std::ios::binary) << p.bytes;
    const std::string rgbpng = "'" + folder + "/rgb.png'", jpeg = "'" + folder + "/rgb.jpg'";
    if (system(("convert " + rgbpng + " " + jpeg + " 2>/dev/null || pngtopnm " + rgbpng + " | pnmtojpeg > " + jpeg +
                " 2>/dev/null").c_str()) == 0)
        pictures.push_back({"a JPEG", "rgb.jpg", "", {255, 0, 0}, {0, 0, 255}});
    else
        std::printf("no converter to make a JPEG with: the pipelines are not run on one\n");

    // Which pictures each documented reader takes.
    const struct {
        const char *program;
        const char *suffix;
    } readers[] = {{"convert", ""}, {"pngtopnm", ".png"}, {"jpegtopnm", ".jpg"}};
    // The pipelines' tintcell is the built one, under the emulator in a cross build.
    std::string tool;
    for (const std::string &word : toolcommand({}))
        tool += "'" + word + "' ";
    buildpalette();
    int ran = 0;
    for (const std::string &pipeline : readme) {
        std::string missing;
        for (const std::string &program : programs(pipeline)) {
            if (program != "tintcell" && !installed(program))
                missing += " " + program;
        }
        if (!missing.empty()) {
            std::printf("skipped, for want of%s: %s\n", missing.c_str(), pipeline.c_str());
            continue;
        }
        const std::string reader = programs(pipeline)[0];
        const char *suffix = nullptr;
        for (const auto &r : readers) {
            if (reader == r.program)
                suffix = r.suffix;
        }
        ASSERT_NE(suffix, nullptr) << "no pictures known for the reader of: " << pipeline;
        // The file the example names is the first word with a dot in it.
        const size_t dot = pipeline.find('.');
        ASSERT_NE(dot, std::string::npos) << pipeline;
        const size_t start = pipeline.rfind(' ', dot) + 1, end = pipeline.find(' ', dot);
        for (const picture &p : pictures) {
            if (p.name.compare(p.name.size() - std::string(suffix).size(), std::string::npos, suffix) != 0)
                continue;
            const std::string command = pipeline.substr(0, start) + "'" + folder + "/" + p.name + "'" +
                                        pipeline.substr(end);
            const std::string out = commandoutput("export COLUMNS=" + std::to_string(columns) +
                                                  " TERM=xterm; tintcell() { " + tool + "\"$@\"; }; " + command);
            const std::vector<std::vector<cell>> cells = drawn(out);
            const std::string what = std::string(p.what) + " through: " + command;
            ran++;
            ASSERT_EQ(cells.size(), static_cast<size_t>(rows)) << what;
            const cell &left = palettecell(nearestcell(p.left[0], p.left[1], p.left[2]));
            const cell &right = palettecell(nearestcell(p.right[0], p.right[1], p.right[2]));
            for (int y = 0; y < rows; y++) {
                ASSERT_EQ(cells[y].size(), static_cast<size_t>(columns)) << what << ", row " << y;
                // The scaling filters may mix the halves near the middle.
                for (int x = 0; x < columns; x++) {
                    if (x < columns / 2 - 3) {
                        EXPECT_TRUE(samecell(cells[y][x], left)) << what << ", cell " << x << " of row " << y;
                    } else if (x >= columns / 2 + 3) {
                        EXPECT_TRUE(samecell(cells[y][x], right)) << what << ", cell " << x << " of row " << y;
                    }
                }
            }
        }
    }
    system(("rm -rf '" + folder + "'").c_str());
    if (ran == 0)
        GTEST_SKIP() << "no documented pipeline has its programs installed";
}

}  // namespace
