// Redirects a loaded module's calls to an imported function by rewriting
// its import address table entry.
#ifndef TESTS_IAT_H
#define TESTS_IAT_H

#include <windows.h>

// Returns the original target, or nullptr when the module does not import
// `name` from `dll`.
void *PatchImport(HMODULE hmod, const char *dll, const char *name, void *replacement);

#endif
