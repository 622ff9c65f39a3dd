// Counting stand-ins for the applet's one-time hooks, so the tests can see
// when the dispatch runs them.
#ifndef TESTS_HOOKS_DOUBLE_H
#define TESTS_HOOKS_DOUBLE_H

#include <windows.h>

namespace hooks {
extern int initCalls;
extern int termCalls;
extern BOOL initResult;
extern HWND initParent;
void Reset();
}

#endif
