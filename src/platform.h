// platform: what differs by operating system, behind small functions the rest of the tool calls.
#pragma once

// True when standard input is a terminal (a person typing, not a file or a pipe).
bool stdinisterminal();
