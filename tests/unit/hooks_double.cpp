#include "hooks_double.h"

#include "../../src/shell/shell.h"

namespace hooks {
int initCalls;
int termCalls;
BOOL initResult = TRUE;
HWND initParent;

void Reset()
{
    initCalls = termCalls = 0;
    initResult = TRUE;
    initParent = nullptr;
}
}  // namespace hooks

BOOL InitVeldranoApplet(HWND hwndParent)
{
    ++hooks::initCalls;
    hooks::initParent = hwndParent;
    return hooks::initResult;
}

void TermVeldranoApplet()
{
    ++hooks::termCalls;
}
