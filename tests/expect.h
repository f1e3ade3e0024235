// expect: tintcell's output pieces as the tests expect them, built from their parts.
#pragma once

#include <string>

// Colour indices: bit 0 red, bit 1 green, bit 2 blue.
enum { black, red, green, yellow, blue, magenta, cyan, white };

constexpr int fgcode(int colour) { return 30 + colour; }
constexpr int bgcode(int colour) { return 40 + colour; }

inline const std::string esc = "\x1b";
inline const std::string rowend = "\n";
inline const std::string closingreset = esc + "[0m" + rowend;

inline std::string setboth(int fg, int bg)
{
    return esc + "[" + std::to_string(fgcode(fg)) + ";" + std::to_string(bgcode(bg)) + "m";
}

inline std::string setfg(int fg)
{
    return esc + "[" + std::to_string(fgcode(fg)) + "m";
}

inline std::string setbg(int bg)
{
    return esc + "[" + std::to_string(bgcode(bg)) + "m";
}

// The three bytes of a pixel, red, green and blue.
inline std::string px(int r, int g, int b)
{
    return {static_cast<char>(r), static_cast<char>(g), static_cast<char>(b)};
}

// The index of the palette cell of foreground f, background k and glyph j.
constexpr int cellindex(int f, int k, int j) { return 64 * f + 8 * k + j; }
