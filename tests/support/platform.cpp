#include "platform.h"

#include <windows.h>
#include <stdio.h>

bool UnderWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

bool WineDeviation(bool happened, const char *what)
{
    if (!UnderWine() || !happened)
        return false;
    printf("known Wine deviation, accepted under Wine only: %s\n", what);
    return true;
}

static BOOL CALLBACK DescribeControl(HWND control, LPARAM param)
{
    char cls[32] = "", text[128] = "", line[200];
    GetClassNameA(control, cls, sizeof cls);
    GetWindowTextA(control, text, sizeof text);
    wsprintfA(line, "%d %s \"%s\"; ", GetDlgCtrlID(control), cls, text);
    *reinterpret_cast<std::string *>(param) += line;
    return TRUE;
}

std::string Controls(HWND window)
{
    std::string found;
    EnumChildWindows(window, DescribeControl, reinterpret_cast<LPARAM>(&found));
    return found.empty() ? "no controls" : found;
}
