/* The cheapest DLL the toolchain makes: an entry point that returns TRUE.
   The benchmark loads it to show the platform's own cost of a library. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hmod, DWORD reason, LPVOID reserved)
{
    (void)hmod;
    (void)reason;
    (void)reserved;
    return TRUE;
}
