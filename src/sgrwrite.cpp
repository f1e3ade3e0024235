// sgrwrite: the escape-sequence writer.
#include "sgrwrite.h"

#include <cstring>

#include "platform.h"

// GCC and clang on x86-64 build an AVX2 form of the quiet-run scan, taken
// where the processor has AVX2; elsewhere the cells go one at a time.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TINTCELL_QUIET_AVX2 1
#include <immintrin.h>
#endif

static constexpr int esc = 27;

// A cell's SGR codes are 30 to 37 and 40 to 47, so every sequence can be
// made once from its format and copied from then on.
static constexpr int maxsequence = 16;
static constexpr int maxcellbytes = 8 + 1;

struct sequence {
    int length;
    char bytes[maxsequence];
};

// Each palette cell's glyph, foreground and background code in one word, a
// byte each from the lowest, so that one comparison with the colours in
// force tells whether the cell needs a change.
static uint32_t cellcodes[palettecells];

static constexpr uint32_t colourcode(int fg, int bg)
{
    return static_cast<uint32_t>(fg & 0xFF) << 8 | static_cast<uint32_t>(bg & 0xFF) << 16;
}

// The SGR sequence ESC [ codes m: one code, or two (second not negative)
// joined by ';', each in decimal.
static constexpr sequence makesequence(int first, int second)
{
    sequence s{};
    s.bytes[s.length++] = static_cast<char>(esc);
    s.bytes[s.length++] = '[';
    const int codes[2] = {first, second};
    for (int i = 0; i < 2 && codes[i] >= 0; i++) {
        if (i > 0)
            s.bytes[s.length++] = ';';
        if (codes[i] >= 10)
            s.bytes[s.length++] = static_cast<char>('0' + codes[i] / 10);
        s.bytes[s.length++] = static_cast<char>('0' + codes[i] % 10);
    }
    s.bytes[s.length++] = 'm';
    return s;
}

struct sequencetable {
    sequence both[8][8];  // by foreground, then background colour index
    sequence fg[8];
    sequence bg[8];
    sequence reset;         // the default rendition, said before a stop
    sequence closingreset;  // the same and a line end, the last piece of a picture
};

static constexpr sequencetable makesequences()
{
    sequencetable t{};
    for (int f = 0; f < 8; f++) {
        for (int k = 0; k < 8; k++)
            t.both[f][k] = makesequence(30 + f, 40 + k);
        t.fg[f] = makesequence(30 + f, -1);
        t.bg[f] = makesequence(40 + f, -1);
    }
    t.reset = makesequence(0, -1);
    t.closingreset = t.reset;
    t.closingreset.bytes[t.closingreset.length++] = '\n';
    return t;
}

static constexpr sequencetable sequences = makesequences();

#if defined(TINTCELL_QUIET_AVX2)
static bool wide;  // the processor has AVX2
// The glyph of each of the eight glyph numbers, as the palette has them,
// for a byte shuffle.
alignas(16) static char glyphof[16];

// The change a cell needs, by its kind times 64 (none 0, the foreground 1,
// the background 2, both 3) plus 8 * f + k for its colour indices; and the
// byte shuffles that take a block's glyphs from its s-th on, none at 16.
struct changetable {
    sequence bykind[4 * 64];
    alignas(16) uint8_t glyphsfrom[17][16];
};

static constexpr changetable makechanges()
{
    changetable t{};
    for (int f = 0; f < 8; f++) {
        for (int k = 0; k < 8; k++) {
            t.bykind[64 + 8 * f + k] = sequences.fg[f];
            t.bykind[128 + 8 * f + k] = sequences.bg[k];
            t.bykind[192 + 8 * f + k] = sequences.both[f][k];
        }
    }
    for (int s = 0; s <= 16; s++) {
        for (int b = 0; b < 16; b++)
            t.glyphsfrom[s][b] = static_cast<uint8_t>(s + b < 16 ? s + b : 0x80);
    }
    return t;
}

static constexpr changetable changes = makechanges();
#endif

void openout(sgrout *o, FILE *to)
{
#if defined(TINTCELL_QUIET_AVX2)
    wide = (processorfeatures() & hasavx2) != 0;
    for (int j = 0; j < 8; j++)
        glyphof[j] = palettecell(j).glyph;
#endif
    for (int i = 0; i < palettecount(); i++) {
        const cell &c = palettecell(i);
        cellcodes[i] = colourcode(c.fg, c.bg) | static_cast<unsigned char>(c.glyph);
    }
    // What the caller wrote through the stream's buffer goes first: the
    // writer's own bytes go straight to the descriptor.
    fflush(to);
    o->to = to;
    o->failed = false;
    o->piece = readerwaits(to) ? waitedpiece : outbuffersize;
    o->used = 0;
    beginimage(o);
}

void beginimage(sgrout *o)
{
    o->colours.fg = -1;
    o->colours.bg = -1;
}

// After a failed write the bytes are dropped: a stream that has lost some of
// the picture cannot show the rest of it right.
static void sendpending(sgrout *o)
{
    if (!o->failed && o->used > 0)
        o->failed = !writeall(o->to, o->pending, static_cast<size_t>(o->used));
    o->used = 0;
}

static void putsequence(sgrout *o, const sequence &s)
{
    memcpy(o->pending + o->used, s.bytes, static_cast<size_t>(s.length));
    o->used += s.length;
}

// The buffer holds whole pieces only, so once it is sent the terminal has
// been given nothing cut in two, and the colours tracked are those in force.
void heedinterrupts(sgrout *o)
{
    for (interrupt i; (i = pendinginterrupt()) != interruptnone;) {
        sendpending(o);
        const bool tinted = o->colours.bg != -1;
        if (tinted) {
            putsequence(o, i == interruptend ? sequences.closingreset : sequences.reset);
            sendpending(o);
        }
        if (i == interruptend) {
            endforinterrupt();
            o->failed = true;  // the signal did not end the process: no more output
            return;
        }
        stopforinterrupt();
        if (tinted)
            putsequence(o, sequences.both[o->colours.fg - 30][o->colours.bg - 40]);
    }
}

static void flushpending(sgrout *o)
{
    sendpending(o);
    heedinterrupts(o);
}

// The change the cell needs and its glyph, at pending + *used. Sequences are
// copied eight bytes at a time, their longest; the room for a cell allows it.
static inline void writecell(char *pending, int *used, termstate *in, const cell &c)
{
    const bool fgdiffers = c.fg != in->fg;
    const bool bgdiffers = c.bg != in->bg;
    const sequence *s = nullptr;
    if (fgdiffers && bgdiffers) {
        s = &sequences.both[c.fg - 30][c.bg - 40];
        in->fg = c.fg;
    } else if (bgdiffers) {
        s = &sequences.bg[c.bg - 40];
    } else if (fgdiffers && c.glyph != ' ') {
        s = &sequences.fg[c.fg - 30];
        in->fg = c.fg;
    }
    if (s != nullptr) {
        memcpy(pending + *used, s->bytes, 8);
        *used += s->length;
    }
    pending[(*used)++] = c.glyph;
    in->bg = c.bg;
}

void putcell(sgrout *o, const cell &c)
{
    if (o->used > o->piece - maxcellbytes)
        flushpending(o);
    writecell(o->pending, &o->used, &o->colours, c);
}

#if defined(TINTCELL_QUIET_AVX2)
// Room for one step of the wide writer: sixteen cells that each need a
// change, and the slack of its sixteen-byte stores.
static constexpr int widestep = 16 * maxcellbytes + 16;

// The colours in force, 8 * f + k for the colour indices, shifted to their
// place in a cell index, in every lane.
__attribute__((target("avx2"))) static inline __m256i inforcelanes(const termstate *in)
{
    return _mm256_set1_epi16(static_cast<int16_t>((8 * (in->fg - 30) + in->bg - 40) << 3));
}

// Lane i of v moved to lane i + by, the lanes below by taken from the top
// of before.
__attribute__((target("avx2"))) static inline __m256i shiftlanes(__m256i before, __m256i v, int by)
{
    const __m256i joined = _mm256_permute2x128_si256(before, v, 0x21);
    switch (by) {
    case 1:
        return _mm256_alignr_epi8(v, joined, 14);
    case 2:
        return _mm256_alignr_epi8(v, joined, 12);
    case 4:
        return _mm256_alignr_epi8(v, joined, 8);
    default:
        return joined;
    }
}

// A block's glyphs from the s-th on, moved to its front.
__attribute__((target("avx2"))) static inline __m128i glyphsafter(__m128i glyphs, unsigned s)
{
    return _mm_shuffle_epi8(glyphs, _mm_load_si128(reinterpret_cast<const __m128i *>(changes.glyphsfrom[s])));
}

// Which of the next blocks (at most quietspan) hold the colours of the cell
// before them throughout, bit b for block b: the first is compared with
// before, the others with the cells as they lie. A block that changes colour
// comes where the processor cannot foresee it, and the later a branch it has
// mispredicted is decided, the more work it throws away. Found in a pass of
// their own, the bits decide the writer's branch as soon as it is met: in
// the writer alone LadyBird took 0.85 of the time, TwoWings and Garden 0.89,
// the photo-like picture 0.97, and made-up rows with one change in a random
// half of the blocks 0.66. Blocks the processor foresees pay for the pass:
// every colour 1.27, no change at all 1.28, one in every other block 1.25.
static constexpr int quietspan = 64;

__attribute__((target("avx2"))) static inline uint64_t quietblocks(const uint16_t *indices, int blocks, __m256i before,
                                                                   __m256i colourbits)
{
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(indices));
    uint64_t quiet = static_cast<uint64_t>(_mm256_testz_si256(_mm256_xor_si256(first, shiftlanes(before, first, 1)),
                                                              colourbits));
    #pragma GCC unroll 4
    for (int b = 1; b < blocks; b++) {
        const uint16_t *q = indices + 16 * b;
        const __m256i x = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(q)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q - 1)));
        quiet |= static_cast<uint64_t>(_mm256_testz_si256(x, colourbits)) << b;
    }
    return quiet;
}

// A picture changes colour seldom: most cells need no change and are their
// glyph alone. Sixteen cells at a time, this writes their glyphs with one
// byte shuffle and puts in the changes that cells need as putcell would.
// It stops where fewer than 16 cells are left of count or fewer than widestep
// bytes are left before end, and returns the number of cells written; the
// colours in force must be set.
//
// An index is 64 * f + 8 * k + j. After a cell, its colours are those in
// force, but for a space on the background in force: the foreground stays
// as it was. Such a space is given the foreground of the cell before it,
// which changes nothing it writes. Then every cell's colours in force are
// those of the cell before it, whatever came earlier, so a block's changes
// are found from the block alone, by comparing each index with the one
// before, and no block waits for the one before to be written.
__attribute__((target("avx2"))) static int putwide(const uint16_t *indices, int count, termstate *in, char *pending,
                                                    int *used, int end)
{
    const __m256i fgbits = _mm256_set1_epi16(0x1C0), bgbits = _mm256_set1_epi16(0x38);
    const __m256i colourbits = _mm256_or_si256(fgbits, bgbits);
    const __m256i glyphbits = _mm256_set1_epi16(7), zero = _mm256_setzero_si256();
    const __m128i ramp = _mm_load_si128(reinterpret_cast<const __m128i *>(glyphof));
    __m256i before = inforcelanes(in);
    int done = 0, at = *used;
    while (count - done >= 16 && at <= end - widestep) {
        const int blocks = count - done < 16 * quietspan ? (count - done) / 16 : quietspan;
        uint64_t quiet = quietblocks(indices + done, blocks, before, colourbits);
        for (int b = 0; b < blocks && at <= end - widestep; b++, done += 16) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(indices + done));
            const __m256i glyphnumbers = _mm256_and_si256(v, glyphbits);
            const __m256i packed = _mm256_packus_epi16(glyphnumbers, zero);
            const __m128i numbers = _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
            const __m128i glyphs = _mm_shuffle_epi8(ramp, numbers);
            // Most blocks hold the colours of the cell before them throughout
            // and need no change at all. After a fill (below) the block's bit
            // is clear, and the test is made here against the cells as filled.
            __m256i x = _mm256_xor_si256(v, shiftlanes(before, v, 1));
            if ((quiet >> b & 1) != 0 || _mm256_testz_si256(x, colourbits)) {
                _mm_storeu_si128(reinterpret_cast<__m128i *>(pending + at), glyphs);
                at += 16;
                before = v;
                continue;
            }
            const __m256i bgsame = _mm256_cmpeq_epi16(_mm256_and_si256(x, bgbits), zero);
            __m256i fgsame = _mm256_cmpeq_epi16(_mm256_and_si256(x, fgbits), zero);
            const __m256i keeps = _mm256_and_si256(_mm256_cmpeq_epi16(glyphnumbers, zero), bgsame);
            if (!_mm256_testc_si256(fgsame, keeps)) {
                // The spaces that keep a foreground other than their own take
                // it from the nearest cell before them that is no such space:
                // a fill in four steps, then from the block before. last is
                // the cell before the block, in every lane. The next block's
                // bit was found against this one's last cell as it was.
                quiet &= ~(uint64_t{2} << b);
                const __m256i last = _mm256_permute4x64_epi64(_mm256_shufflehi_epi16(before, 0xFF), 0xFF);
                __m256i take = keeps;
                #pragma GCC unroll 4
                for (int by = 1; by < 16; by *= 2) {
                    v = _mm256_blendv_epi8(v, shiftlanes(last, v, by), take);
                    take = _mm256_and_si256(take, shiftlanes(zero, take, by));
                }
                v = _mm256_blendv_epi8(v, last, take);
                x = _mm256_xor_si256(v, shiftlanes(before, v, 1));
                fgsame = _mm256_cmpeq_epi16(_mm256_and_si256(x, fgbits), zero);
            }
            const __m256i kind = _mm256_sub_epi16(_mm256_set1_epi16(3 << 6),
                                                  _mm256_or_si256(_mm256_and_si256(fgsame, _mm256_set1_epi16(1 << 6)),
                                                                  _mm256_and_si256(bgsame, _mm256_set1_epi16(2 << 6))));
            alignas(32) uint16_t which[32] = {};  // from 16 on, no change
            _mm256_store_si256(reinterpret_cast<__m256i *>(which), _mm256_add_epi16(kind, _mm256_srli_epi16(v, 3)));
            // Two mask bits a cell. The first change, or none at 16 where the
            // only cells that differ are spaces that need none, is written
            // without a branch; few blocks have more.
            uint64_t changed =
                ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(fgsame, bgsame))) & 0x55555555u;
            unsigned from = static_cast<unsigned>(__builtin_ctzll(changed | uint64_t{1} << 32)) / 2;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(pending + at), glyphs);
            at += static_cast<int>(from);
            memcpy(pending + at, changes.bykind[which[from]].bytes, 8);
            at += changes.bykind[which[from]].length;
            for (changed &= changed - 1; changed != 0; changed &= changed - 1) {
                const unsigned next = static_cast<unsigned>(__builtin_ctzll(changed)) / 2;
                _mm_storeu_si128(reinterpret_cast<__m128i *>(pending + at), glyphsafter(glyphs, from));
                at += static_cast<int>(next - from);
                memcpy(pending + at, changes.bykind[which[next]].bytes, 8);
                at += changes.bykind[which[next]].length;
                from = next;
            }
            _mm_storeu_si128(reinterpret_cast<__m128i *>(pending + at), glyphsafter(glyphs, from));
            at += static_cast<int>(16 - from);
            before = v;
        }
    }
    if (done > 0) {
        const int last = _mm256_extract_epi16(before, 15);
        in->fg = 30 + (last >> 6);
        in->bg = 40 + (last >> 3 & 7);
    }
    *used = at;
    return done;
}
#endif

void putindexed(sgrout *o, const uint16_t *indices, int count)
{
    const cell *cells = &palettecell(0);
    termstate in = o->colours;
    int used = o->used;
    // Most cells need no change: the same colours as those in force, or a
    // space on the background in force. The tracked codes are -1 or SGR
    // codes, so their low bytes name them, and no cell's bytes match -1.
    uint32_t inforce = colourcode(in.fg, in.bg);
    // With the wide writer the buffer is sent once it has less room than a
    // step of it needs, rather than writing cell by cell up to its end.
    int room = maxcellbytes;
#if defined(TINTCELL_QUIET_AVX2)
    room = wide ? widestep : room;
#endif
    for (int i = 0; i < count;) {
        if (used > o->piece - room) {
            o->used = used;
            o->colours = in;
            flushpending(o);
            used = o->used;  // not always 0: colours sent again after a stop
            in = o->colours;
            inforce = colourcode(in.fg, in.bg);
        }
#if defined(TINTCELL_QUIET_AVX2)
        // Each turn of the wide writer writes a cell at least; the send above
        // leaves it room for a step.
        if (wide && in.fg >= 0 && count - i >= 16) {
            i += putwide(indices + i, count - i, &in, o->pending, &used, o->piece);
            inforce = colourcode(in.fg, in.bg);
            continue;
        }
#endif
        const uint32_t code = cellcodes[indices[i]];
        const uint32_t differs = (code ^ inforce) & 0xFFFF00u;
        if (differs == 0 || (differs <= 0xFF00u && (code & 0xFFu) == ' ')) {
            o->pending[used++] = static_cast<char>(code);
        } else {
            writecell(o->pending, &used, &in, cells[indices[i]]);
            inforce = colourcode(in.fg, in.bg);
        }
        i++;
    }
    o->used = used;
    o->colours = in;
}

// Once a cell is written, the colours in force fit it (or, for a space, fit
// all it shows), so every repeat of it is its glyph alone.
void putcells(sgrout *o, const cell &c, int64_t count)
{
    if (count <= 0)
        return;
    putcell(o, c);
    for (count--; count > 0 && !o->failed;) {
        if (o->used >= o->piece)
            flushpending(o);
        const int64_t room = o->piece - o->used;
        const int n = static_cast<int>(count < room ? count : room);
        memset(o->pending + o->used, c.glyph, n);
        o->used += n;
        count -= n;
    }
}

void endrow(sgrout *o)
{
    if (o->used >= o->piece)
        flushpending(o);
    o->pending[o->used++] = '\n';
}

// The terminal is back in its default rendition: nothing is in force.
void endimage(sgrout *o)
{
    if (o->used > o->piece - maxsequence)
        flushpending(o);
    putsequence(o, sequences.closingreset);
    beginimage(o);
}

bool closeout(sgrout *o)
{
    flushpending(o);
    return fflush(o->to) == 0 && !ferror(o->to) && !o->failed;
}
