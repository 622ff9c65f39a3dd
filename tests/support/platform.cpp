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
