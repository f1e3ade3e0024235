// sgrwrite: the escape-sequence writer.
#include "sgrwrite.h"

static constexpr int esc = 27;

void beginimage(termstate *t, FILE *out)
{
    t->fg = -1;
    t->bg = -1;
    t->out = out;
}

void putcell(termstate *t, const cell &c)
{
    const bool fgdiffers = c.fg != t->fg;
    const bool bgdiffers = c.bg != t->bg;
    if (fgdiffers && bgdiffers) {
        fprintf(t->out, "%c[%i;%im", esc, c.fg, c.bg);
        t->fg = c.fg;
    } else if (bgdiffers) {
        fprintf(t->out, "%c[%im", esc, c.bg);
    } else if (fgdiffers && c.glyph != ' ') {
        fprintf(t->out, "%c[%im", esc, c.fg);
        t->fg = c.fg;
    }
    fputc(c.glyph, t->out);
    t->bg = c.bg;
}

void endrow(termstate *t)
{
    fputc('\n', t->out);
}

void endimage(termstate *t)
{
    fprintf(t->out, "%c[0m\n", esc);
}
