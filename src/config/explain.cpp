// Tells the user that the setting could not be read or saved: which file,
// the reason, and what follows from it: for the Windows directory's N4.INI
// denied, that the change needs administrator rights; for a copy, that
// N4.INI and the other copies were saved. Everything is formatted into
// fixed buffers on the stack; wsprintfA never writes more than 1,024
// characters.
#include <windows.h>

#include "config.h"
#include "../../res/resource.h"

void ExplainProfileError(HWND hwnd, UINT idsWhat, LPCSTR lpPath, DWORD dwError, LPCSTR lpSaved, int cFailed)
{
    // The module's own strings, found through its window.
    HINSTANCE hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongA(hwnd, GWL_HINSTANCE));
    char szText[1024];
    char szFormat[256];
    char szReason[384];
    char szAfter[512];

    // A reason of the applet's own is its string; the system's text ends
    // with a line break, which the box must not show: trailing breaks,
    // spaces and other control characters go. Error 0 would read "The
    // operation completed successfully".
    DWORD cchReason = 0;
    if ((dwError & 0xFFFF0000) == APPLICATION_ERROR_MASK)
        cchReason = LoadStringA(hInstance, LOWORD(dwError), szReason, sizeof szReason);
    else if (dwError != ERROR_SUCCESS)
        cchReason = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwError,
                                   0, szReason, sizeof szReason, nullptr);
    while (cchReason > 0 && static_cast<unsigned char>(szReason[cchReason - 1]) <= ' ')
        cchReason--;
    szReason[cchReason] = '\0';
    if (cchReason == 0) {
        LoadStringA(hInstance, IDS_ERROR_CODE, szFormat, sizeof szFormat);
        wsprintfA(szReason, szFormat, dwError);
    }

    // Only the save's text has a place for it; the read's ends before.
    szAfter[0] = '\0';
    if (lpSaved != nullptr) {
        LoadStringA(hInstance, cFailed > 1 ? IDS_COPIES_SAVED : IDS_COPY_SAVED, szFormat, sizeof szFormat);
        wsprintfA(szAfter, szFormat, lpSaved, cFailed - 1);
    } else if (dwError == ERROR_ACCESS_DENIED) {
        LoadStringA(hInstance, IDS_NEEDS_ADMIN, szAfter, sizeof szAfter);
    }

    LoadStringA(hInstance, idsWhat, szFormat, sizeof szFormat);
    wsprintfA(szText, szFormat, lpPath, szReason, szAfter);
    MessageBoxA(hwnd, szText, szDialogCaption, MB_OK | MB_ICONERROR);
}
