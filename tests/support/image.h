// The applet's file as the loader maps it, for the tests and the
// benchmark: its headers, its resources, the activation context a host
// makes from its manifest, and its import table rerouted.
#ifndef TESTS_IMAGE_H
#define TESTS_IMAGE_H

#include <windows.h>

#include <string>

// The NT headers of a mapped image, or of a file's bytes read whole (the
// headers sit at the same offset in both).
IMAGE_NT_HEADERS *NtHeaders(void *base);

// A resource in US English, the applet's only language, and its size.
const void *FindModuleResource(HMODULE hmod, LPCSTR type, LPCSTR name, DWORD *size);

// The activation context a Control Panel host makes from resource 123 of
// the file before it loads the applet; INVALID_HANDLE_VALUE without one.
HANDLE CreateAppletContext(const std::string &path);

// Redirects the module's calls to an imported function by rewriting its
// import address table entry. Returns the original target, or nullptr
// when the module does not import `name` from `dll`.
void *PatchImport(HMODULE hmod, const char *dll, const char *name, void *replacement);

#endif
