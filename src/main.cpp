// main: tintcell's entry point; loadppm runs the tool and decides the exit status.
#include "tintcell.h"

int main(int argc, char **argv)
{
    // argv[1] does not exist when the program was started with no argv[0].
    return loadppm(argc > 1 ? argv[1] : nullptr);
}
