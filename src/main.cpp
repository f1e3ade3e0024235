// main: tintcell's entry point; loadppm runs the tool and decides the exit status.
#include "tintcell.h"

#ifdef _WIN32
#include "platform.h"

// Windows gives the command line in UTF-16; the narrow arguments of main
// would be in the ANSI code page, where many file names cannot be spelt.
int wmain(int argc, wchar_t **argv)
{
    return loadppm(argc > 1 ? utf8argument(argv[1]) : nullptr);
}
#else
int main(int argc, char **argv)
{
    // argv[1] does not exist when the program was started with no argv[0].
    return loadppm(argc > 1 ? argv[1] : nullptr);
}
#endif
