// tmux_test: what a real terminal makes of tintcell's output, read back from a tmux pane.
//
// tmux keeps each cell's glyph and colours and writes them back with SGR
// sequences of its own choosing, so the test parses them as a terminal
// would and compares what they mean: every cell's glyph and background, and
// its foreground wherever the glyph is not a space (a space shows none).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "expect.h"
#include "palette.h"
#include "posixtool.h"
#include "tintcell.h"

namespace {

// A cell as the terminal holds it; -1 is the terminal's default colour.
struct shown {
    char glyph;
    int fg, bg;
};

// Applies one SGR sequence's parameters to the colours in force. False for
// a parameter this test does not expect from tmux.
bool applysgr(const std::string &params, int *fg, int *bg)
{
    std::vector<int> codes;
    size_t at = 0;
    do {
        const size_t end = params.find(';', at);
        const std::string code = params.substr(at, end == std::string::npos ? std::string::npos : end - at);
        codes.push_back(code.empty() ? 0 : std::stoi(code));
        at = end == std::string::npos ? end : end + 1;
    } while (at != std::string::npos);
    for (size_t i = 0; i < codes.size(); i++) {
        const int c = codes[i];
        if (c == 0) {
            *fg = *bg = -1;
        } else if (c >= 30 && c <= 37) {
            *fg = c - 30;
        } else if (c >= 40 && c <= 47) {
            *bg = c - 40;
        } else if (c == 39) {
            *fg = -1;
        } else if (c == 49) {
            *bg = -1;
        } else if ((c == 38 || c == 48) && i + 2 < codes.size() && codes[i + 1] == 5 && codes[i + 2] < 8) {
            (c == 38 ? *fg : *bg) = codes[i + 2];  // the same colour in 256-colour form
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

// The pane's rows, cell by cell, from capture-pane -e output.
std::vector<std::vector<shown>> parsecapture(const std::string &capture)
{
    std::vector<std::vector<shown>> rows(1);
    int fg = -1, bg = -1;
    for (size_t i = 0; i < capture.size(); i++) {
        const char c = capture[i];
        if (c == '\n') {
            rows.emplace_back();
        } else if (c == esc[0] && i + 1 < capture.size() && capture[i + 1] == '[') {
            const size_t end = capture.find('m', i);
            EXPECT_NE(end, std::string::npos) << "an unfinished sequence";
            if (end == std::string::npos)
                break;
            EXPECT_TRUE(applysgr(capture.substr(i + 2, end - i - 2), &fg, &bg))
                << "unexpected SGR " << testing::PrintToString(capture.substr(i, end - i + 1));
            i = end;
        } else {
            rows.back().push_back({c, fg, bg});
        }
    }
    return rows;
}

// A tmux server of its own for each use: one being killed may still hold its
// socket when the next test starts.
std::string newtmux()
{
    static int servers = 0;
    return "tmux -L tintcell" + std::to_string(getpid()) + "_" + std::to_string(servers++) + " -f /dev/null";
}

// Shows the image in a detached tmux pane of the given size and returns what
// the pane holds once tintcell has ended.
std::string showintmux(const std::string &image, int columns, int rows)
{
    const std::string tmux = newtmux();
    std::string pane;
    for (const std::string &word : toolcommand({image}))
        pane += word + " ";
    pane += "; tmux wait-for -S drawn; sleep 60";
    const std::string start = tmux + " new-session -d -x " + std::to_string(columns) + " -y " +
                              std::to_string(rows) + " '" + pane + "' && " + tmux + " set -g status off && " +
                              tmux + " wait-for drawn";
    std::string capture;
    if (system(start.c_str()) == 0)
        capture = commandoutput(tmux + " capture-pane -p -e -N");
    system((tmux + " kill-server 2>/dev/null").c_str());
    return capture;
}

// The cell of each pixel of the image, row by row, by the plain scan.
std::vector<std::vector<int>> cellsmeant(const std::string &file)
{
    std::vector<std::vector<int>> rows;
    FILE *f = fopen(file.c_str(), "r");
    int32_t width = 0, height = 0;
    EXPECT_TRUE(f != nullptr && readheader(f, &width, &height) == headerimage) << file;
    for (int32_t y = 0; y < height; y++) {
        rows.emplace_back();
        for (int32_t x = 0; x < width; x++) {
            uint8_t sample[3];
            EXPECT_EQ(fread(sample, 1, 3, f), 3u) << "pixel data ends early in " << file;
            rows.back().push_back(scannearest(sample[0], sample[1], sample[2]));
        }
    }
    if (f != nullptr)
        fclose(f);
    return rows;
}

void expectshownasmeant(const std::string &image)
{
    ASSERT_EQ(system("command -v tmux >/dev/null"), 0) << "tmux is not installed";
    buildpalette();
    const std::vector<std::vector<int>> meant = cellsmeant(image);
    ASSERT_FALSE(meant.empty());
    // Wide and tall enough that nothing wraps or scrolls.
    const int columns = static_cast<int>(meant[0].size()) + 8, rows = static_cast<int>(meant.size()) + 4;
    const std::vector<std::vector<shown>> pane = parsecapture(showintmux(image, columns, rows));
    ASSERT_GT(pane.size(), meant.size());
    for (size_t y = 0; y < meant.size(); y++) {
        ASSERT_GE(pane[y].size(), meant[y].size()) << "row " << y;
        for (size_t x = 0; x < meant[y].size(); x++) {
            const cell &c = palettecell(meant[y][x]);
            const shown &s = pane[y][x];
            EXPECT_EQ(s.glyph, c.glyph) << "row " << y << " column " << x;
            EXPECT_EQ(s.bg, c.bg - 40) << "row " << y << " column " << x;
            if (c.glyph != ' ') {
                EXPECT_EQ(s.fg, c.fg - 30) << "row " << y << " column " << x;
            }
        }
        // Past the picture the row is untouched: no colour bleeds beyond it.
        for (size_t x = meant[y].size(); x < pane[y].size(); x++)
            EXPECT_EQ(pane[y][x].bg, -1) << "row " << y << " column " << x;
    }
    // The closing reset leaves the line after the picture in default colours.
    for (const shown &s : pane[meant.size()])
        EXPECT_TRUE(s.fg == -1 && s.bg == -1);
}

// Rows that start in the colours the row before left in force, spaces whose
// foreground is never sent, and every kind of change.
TEST(Terminal, HandmadeImageShowsAsMeant)
{
    const std::string nredonwhite = px(255, 171, 171), white = px(255, 255, 255), zeroonwhite = px(192, 192, 192);
    const std::string nonred = px(128, 0, 0), black = px(0, 0, 0), red = px(255, 0, 0), blue = px(0, 0, 255);
    const std::string ionblue = px(10, 200, 30), dot = px(8, 8, 8), zero = px(64, 64, 64);
    const std::string image = "P6\n6 3\n255\n" + nredonwhite + white + zeroonwhite + nonred + nonred + black +
                              black + red + blue + ionblue + dot + zero + zero + zero + px(128, 128, 128) +
                              px(250, 250, 0) + px(255, 255, 0) + px(0, 255, 255);
    const std::string path = scratchfile("terminal.ppm", image);
    expectshownasmeant(path);
    unlink(path.c_str());
}

TEST(Terminal, SampleShowsAsMeant)
{
    expectshownasmeant(TINTCELL_SAMPLE);
}

std::string rowtext(const std::vector<shown> &row)
{
    std::string text;
    for (const shown &s : row)
        text += s.glyph;
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

// An interactive shell in a tmux pane, driven by keys as a user would. The
// tmux server, and whatever still runs in it, ends with the test.
struct shellpane {
    std::string tmux;

    ~shellpane() { system((tmux + " kill-server 2>/dev/null").c_str()); }

    std::vector<std::vector<shown>> capture() const
    {
        return parsecapture(commandoutput(tmux + " capture-pane -p -e -N"));
    }

    void keys(const std::string &keys) const
    {
        system((tmux + " send-keys " + keys).c_str());
    }

    // Waits up to ten seconds for a pane that pleases the test.
    template <typename test>
    bool waitfor(test pleases) const
    {
        for (int i = 0; i < 500; i++) {
            if (pleases(capture()))
                return true;
            usleep(20000);
        }
        return false;
    }
};

bool anyblack(const std::vector<std::vector<shown>> &pane)
{
    for (const std::vector<shown> &row : pane) {
        for (const shown &s : row) {
            if (s.bg == black)
                return true;
        }
    }
    return false;
}

// Asks the shell for the status of the last job, as the line "name=status",
// and checks that it is the one expected and that the command line, its
// answer and the next prompt are in the terminal's default colours.
void expectstatusindefaultcolours(const shellpane &shell, const std::string &name, int status)
{
    shell.keys("'echo " + name + "=$?' Enter");
    std::vector<std::vector<shown>> pane;
    size_t at = 0;
    ASSERT_TRUE(shell.waitfor([&](const std::vector<std::vector<shown>> &p) {
        pane = p;
        for (at = 1; at + 1 < pane.size(); at++) {
            if (rowtext(pane[at]).rfind(name + "=", 0) == 0 && rowtext(pane[at + 1]) == "$")
                return true;
        }
        return false;
    })) << "no answer to echo " << name;
    EXPECT_EQ(rowtext(pane[at]), name + "=" + std::to_string(status));
    EXPECT_EQ(rowtext(pane[at - 1]), "$ echo " + name + "=$?");
    for (size_t y = at - 1; y <= at + 1; y++) {
        for (size_t x = 0; x < pane[y].size(); x++)
            EXPECT_TRUE(pane[y][x].fg == -1 && pane[y][x].bg == -1) << name << ": row " << y << " column " << x;
    }
}

// A picture far too big to finish, of spaces on black, interrupted with
// Ctrl-C, stopped with Ctrl-Z, and continued with fg and interrupted again.
TEST(Terminal, InterruptedRunLeavesTheTerminalAsItWas)
{
    ASSERT_EQ(system("command -v tmux >/dev/null && command -v bash >/dev/null"), 0) << "tmux or bash is missing";
    const shellpane shell{newtmux()};
    const std::string bash = "env -i PATH=/usr/bin:/bin TERM=screen HISTFILE=/dev/null PS1=\"\\$ \" bash --norc --noprofile -i";
    ASSERT_EQ(system((shell.tmux + " new-session -d -x 60 -y 12 '" + bash + "' && " + shell.tmux +
                      " set -g status off").c_str()), 0);
    std::string run = "'";
    for (const std::string &word : toolcommand({std::string(TINTCELL_CORPUS) + "size-huge-no-data.ppm"}))
        run += word + " ";
    run += "' Enter";
    const std::string clear = "\"printf '\\\\033[H\\\\033[2J'\" Enter";
    const auto cleared = [](const std::vector<std::vector<shown>> &p) { return !anyblack(p) && rowtext(p[0]) == "$"; };
    const auto drawing = [](const std::vector<std::vector<shown>> &p) { return anyblack(p); };

    ASSERT_TRUE(shell.waitfor(cleared)) << "no prompt";
    shell.keys(run);
    ASSERT_TRUE(shell.waitfor(drawing)) << "not drawn";
    shell.keys("C-c");
    expectstatusindefaultcolours(shell, "interrupted", 128 + SIGINT);

    shell.keys(clear);
    ASSERT_TRUE(shell.waitfor(cleared)) << "not cleared";
    shell.keys(run);
    ASSERT_TRUE(shell.waitfor(drawing)) << "not drawn";
    shell.keys("C-z");
    expectstatusindefaultcolours(shell, "stopped", 128 + SIGTSTP);

    // Continued on a cleared screen, it first sets its colours again.
    shell.keys(clear);
    ASSERT_TRUE(shell.waitfor(cleared)) << "not cleared";
    shell.keys("fg Enter");
    ASSERT_TRUE(shell.waitfor(drawing)) << "no colours after fg";
    shell.keys("C-c");
    expectstatusindefaultcolours(shell, "continued", 128 + SIGINT);
}

}  // namespace
