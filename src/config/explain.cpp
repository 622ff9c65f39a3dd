// Tells the user that the setting could not be read or saved: which file,
// the system's reason, and, when a save was denied, that the change
// needs administrator rights. Everything is formatted into fixed buffers on
// the stack; wsprintfA never writes more than 1,024 characters.
#include <windows.h>

#include "config.h"
#include "../../res/resource.h"

void ExplainProfileError(HWND hwnd, UINT idsWhat, LPCSTR lpPath, DWORD dwError)
{
    // The module's own strings, found through its window.
    HINSTANCE hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongA(hwnd, GWL_HINSTANCE));
    char szText[1024];
    char szFormat[128];
    char szReason[384];
    char szAdmin[128];

    // The system's text ends with a line break, which the box must not
    // show: trailing breaks, spaces and other control characters go.
    // Error 0 would read "The operation completed successfully".
    DWORD cchReason = 0;
    if (dwError != ERROR_SUCCESS)
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
    szAdmin[0] = '\0';
    if (dwError == ERROR_ACCESS_DENIED)
        LoadStringA(hInstance, IDS_NEEDS_ADMIN, szAdmin, sizeof szAdmin);

    LoadStringA(hInstance, idsWhat, szFormat, sizeof szFormat);
    wsprintfA(szText, szFormat, lpPath, szReason, szAdmin);
    MessageBoxA(hwnd, szText, szDialogCaption, MB_OK | MB_ICONERROR);
}
