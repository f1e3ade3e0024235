// fuzz_tintcell: libFuzzer target that runs the whole tool on the fuzz input as the image file.
//
// The picture goes to a memory stream, and the harness checks what any run
// must give: nothing for a file that is not an image or whose header is
// broken, and otherwise one newline per row and the closing reset at the end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "palette.h"
#include "tintcell.h"

// A picture is written at full speed whatever its size, so inputs that claim
// more than this many cells and rows would only spend the fuzzer's time. The
// harness skips them; the tool has no such limit.
static constexpr int64_t maxclaimed = 1 << 16;

static const char closingreset[] = "\x1b[0m\n";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    buildpalette();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (in == nullptr)
        return 0;
    int32_t width = 0, height = 0;
    const headerresult header = readheader(in, &width, &height);
    const int64_t rows = height > 0 ? height : 0;
    if (header == headerimage && (width > 0 ? width : 0) * rows + rows > maxclaimed) {
        fclose(in);
        return -1;  // not worth adding to the corpus
    }
    rewind(in);
    char *bytes = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&bytes, &length);
    const bool ok = renderppm(in, out);
    fclose(out);
    fclose(in);

    if (ok != (header != headerbroken))
        abort();
    if (header != headerimage && length != 0)
        abort();
    if (header == headerimage) {
        const size_t resetlength = sizeof closingreset - 1;
        if (length < resetlength || memcmp(bytes + length - resetlength, closingreset, resetlength) != 0)
            abort();
        int64_t newlines = 0;
        for (size_t i = 0; i < length; i++)
            newlines += bytes[i] == '\n';
        if (newlines != rows + 1)
            abort();
    }
    free(bytes);
    return 0;
}
