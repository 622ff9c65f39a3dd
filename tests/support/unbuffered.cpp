// Linked into every test program: its output goes out unbuffered, as Wine
// writes it, so that what a program printed before ctest's time-out ended
// it is kept (on Windows, output into a pipe is otherwise buffered whole).
#include <stdio.h>

static const int unbuffered = setvbuf(stdout, nullptr, _IONBF, 0) + setvbuf(stderr, nullptr, _IONBF, 0);
