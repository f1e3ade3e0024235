// mkppm: writes the project's own test pictures as binary PPM on standard output.
//
//   mkppm sample            a 72 x 22 landscape, the picture shown on a fresh checkout
//   mkppm photo W H         a photo-like W x H picture: smooth light, edges and sensor noise
//   mkppm allcolours        4096 x 4096, every 24-bit colour exactly once
//
// Every picture depends on its arguments alone; the noise is a fixed
// pseudo-random sequence.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

static double clamp01(double v)
{
    return v < 0 ? 0 : v > 1 ? 1 : v;
}

static void putrgb(double r, double g, double b)
{
    putchar(static_cast<int>(clamp01(r) * 255 + 0.5));
    putchar(static_cast<int>(clamp01(g) * 255 + 0.5));
    putchar(static_cast<int>(clamp01(b) * 255 + 0.5));
}

static double mix(double a, double b, double t)
{
    return a + (b - a) * t;
}

// A low sun over hills and the sea; u and v run 0 to 1 across and down, and
// aspect is the picture's width over its height as it is seen.
static void landscape(double u, double v, double aspect, double *r, double *g, double *b)
{
    const double horizon = 0.62;
    const double hill = 0.50 + 0.07 * std::sin(u * 9.0 + 1.0) + 0.04 * std::sin(u * 23.0);
    const double sunu = 0.70, sunv = 0.40;
    const double du = (u - sunu) * aspect, dv = v - sunv;
    const double sun = std::sqrt(du * du + dv * dv);
    if (v < horizon) {
        const double t = v / horizon;
        *r = mix(0.10, 1.00, t * t);
        *g = mix(0.15, 0.55, t);
        *b = mix(0.55, 0.30, t);
        if (sun < 0.12) {
            *r = 1.0;
            *g = 0.95;
            *b = 0.55;
        } else if (sun < 0.20) {
            const double glow = (0.20 - sun) / 0.08;
            *r = mix(*r, 1.0, glow);
            *g = mix(*g, 0.8, glow);
        }
        if (v > hill) {
            const double shade = (v - hill) / (horizon - hill);
            *r = mix(0.10, 0.02, shade);
            *g = mix(0.35, 0.15, shade);
            *b = mix(0.12, 0.05, shade);
        }
        return;
    }
    const double t = (v - horizon) / (1 - horizon);
    *r = mix(0.05, 0.0, t);
    *g = mix(0.30, 0.10, t);
    *b = mix(0.60, 0.35, t);
    // The sun's path on the water, broken into ripples.
    const double path = std::fabs(u - sunu);
    const double ripple = 0.5 + 0.5 * std::sin(v * 80.0 + u * 7.0);
    if (path < 0.05 + 0.08 * t && ripple > 0.45) {
        *r = mix(*r, 1.0, 0.8);
        *g = mix(*g, 0.85, 0.7);
        *b = mix(*b, 0.4, 0.5);
    }
}

static void sample()
{
    const int width = 72, height = 22;
    printf("P6\n# tintcell sample: a low sun over the sea\n%d %d\n255\n", width, height);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            double r, g, b;
            // A terminal cell is about twice as tall as it is wide.
            landscape((x + 0.5) / width, (y + 0.5) / height, width / (2.0 * height), &r, &g, &b);
            putrgb(r, g, b);
        }
    }
}

// xorshift64*: the noise of the photo-like picture, the same on every machine.
static uint64_t noisestate = 0x9E3779B97F4A7C15u;

static double noise()
{
    noisestate ^= noisestate >> 12;
    noisestate ^= noisestate << 25;
    noisestate ^= noisestate >> 27;
    return static_cast<double>((noisestate * 0x2545F4914F6CDD1Du) >> 11) / 9007199254740992.0;
}

// The landscape, larger, with a textured foreground, a few hard-edged shapes
// and the grain of a camera sensor, so that neighbouring pixels rarely agree.
static void photo(int width, int height)
{
    printf("P6\n%d %d\n255\n", width, height);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const double u = (x + 0.5) / width, v = (y + 0.5) / height;
            double r, g, b;
            landscape(u, v * 0.8, 0.8 * width / height, &r, &g, &b);
            if (v > 0.8) {
                const double blades = std::sin(u * 310.0 + std::sin(v * 70.0 + u * 40.0) * 3.0);
                const double grass = 0.5 + 0.3 * blades + 0.2 * std::sin(u * 57.0 - v * 31.0);
                r = mix(0.25, 0.45, grass);
                g = mix(0.30, 0.55, grass);
                b = mix(0.08, 0.15, grass);
            }
            const double bu = (u - 0.25) * width / height, bv = v - 0.75;
            if (bu * bu + bv * bv < 0.004) {
                r = 0.85;
                g = 0.10;
                b = 0.15;
            }
            const double luma = (noise() - 0.5) * 0.03;
            putrgb(r + luma + (noise() - 0.5) * 0.02, g + luma + (noise() - 0.5) * 0.02,
                   b + luma + (noise() - 0.5) * 0.02);
        }
    }
}

// Pixel (x, y) holds the colour whose bits are y * 4096 + x, as red, green, blue.
static void allcolours()
{
    printf("P6\n4096 4096\n255\n");
    for (uint32_t c = 0; c < (1u << 24); c++) {
        putchar(static_cast<int>(c >> 16));
        putchar(static_cast<int>((c >> 8) & 0xff));
        putchar(static_cast<int>(c & 0xff));
    }
}

int main(int argc, char **argv)
{
    setbinary(stdout);  // the pixels are bytes of any value
    if (argc == 2 && strcmp(argv[1], "sample") == 0) {
        sample();
    } else if (argc == 4 && strcmp(argv[1], "photo") == 0 && atoi(argv[2]) > 0 && atoi(argv[3]) > 0) {
        photo(atoi(argv[2]), atoi(argv[3]));
    } else if (argc == 2 && strcmp(argv[1], "allcolours") == 0) {
        allcolours();
    } else {
        fputs("usage: mkppm sample | photo WIDTH HEIGHT | allcolours\n", stderr);
        return 2;
    }
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}
