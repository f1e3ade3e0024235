// platform: what differs by operating system, behind small functions the rest of the tool calls.
#include "platform.h"

#ifdef _WIN32
#include <io.h>
bool stdinisterminal() { return _isatty(0) != 0; }
#else
#include <unistd.h>
bool stdinisterminal() { return isatty(STDIN_FILENO) == 1; }
#endif
