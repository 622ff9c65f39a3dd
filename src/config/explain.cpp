// Tells the user that the setting could not be read or saved: which file,
// the reason, and what follows from it: for the Windows directory's N4.INI
// denied, that the change needs administrator rights; for a copy, that
// N4.INI and the other copies were saved. The box is wide, so that a path
// outside the ANSI code page reads as the user reads it; its texts are
// the module's ASCII strings, read with the ANSI functions that every
// Windows has (MessageBoxW is Windows 95's too), each "%s" replaced here.
// Everything is formatted into fixed buffers on the stack, cut to fit.
#include <windows.h>

#include "config.h"
#include "../shell/shell.h"
#include "../../res/resource.h"

static const WCHAR szCaption[] = L"" APPLET_NAME;    // the dialog's, szDialogCaption
constexpr int cchText = 1024;
constexpr int cchReason = 256;

// Appends string ids at lpEnd, before lpLimit, with each "%s" the next of
// lpFirst and lpSecond; answers the text's new end. The module's strings
// are ASCII: each character is its own wide one.
static WCHAR *AppendText(WCHAR *lpEnd, const WCHAR *lpLimit, UINT ids, LPCWSTR lpFirst, LPCWSTR lpSecond)
{
    char szFormat[256];
    LPCWSTR rgArgs[] = {lpFirst, lpSecond}, *lpArg = rgArgs;
    LoadStringA(hModule, ids, szFormat, sizeof szFormat);
    for (LPCSTR lp = szFormat; *lp != '\0'; lp++) {
        if (lp[0] == '%' && lp[1] == 's' && lpArg < rgArgs + 2) {
            for (LPCWSTR lpText = *lpArg++; *lpText != L'\0' && lpEnd < lpLimit - 1;)
                *lpEnd++ = *lpText++;
            lp++;
        } else if (lpEnd < lpLimit - 1) {
            *lpEnd++ = static_cast<unsigned char>(*lp);
        }
    }
    *lpEnd = L'\0';
    return lpEnd;
}

// dw in decimal digits; szText takes 11 characters.
static void NumberText(DWORD dw, WCHAR *szText)
{
    WCHAR szDigits[10];
    int cDigits = 0;
    do
        szDigits[cDigits++] = static_cast<WCHAR>(L'0' + dw % 10);
    while ((dw /= 10) != 0);
    while (cDigits > 0)
        *szText++ = szDigits[--cDigits];
    *szText = L'\0';
}

void ExplainProfileError(HWND hwnd, UINT idsWhat, LPCWSTR lpPath, DWORD dwError, LPCWSTR lpSaved, int cFailed)
{
    WCHAR szText[cchText], szReason[cchReason], szNumber[11];
    char szSystem[cchReason];
    const WCHAR *lpLimit = szText + cchText;

    // A reason of the applet's own is its string; the system's text ends
    // with a line break, which the box must not show: trailing breaks,
    // spaces and other control characters go. Error 0 would read "The
    // operation completed successfully".
    WCHAR *lpEnd = szReason;
    if ((dwError & 0xFFFF0000) == APPLICATION_ERROR_MASK) {
        lpEnd = AppendText(szReason, szReason + cchReason, LOWORD(dwError), nullptr, nullptr);
    } else if (dwError != ERROR_SUCCESS && FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                                          nullptr, dwError, 0, szSystem, cchReason, nullptr) != 0) {
        int cch = MultiByteToWideChar(CP_ACP, 0, szSystem, -1, szReason, cchReason);
        lpEnd = szReason + (cch > 0 ? cch - 1 : 0);
    }
    while (lpEnd > szReason && lpEnd[-1] <= L' ')
        lpEnd--;
    *lpEnd = L'\0';
    if (lpEnd == szReason) {
        NumberText(dwError, szNumber);
        AppendText(szReason, szReason + cchReason, IDS_ERROR_CODE, szNumber, nullptr);
    }

    lpEnd = AppendText(szText, lpLimit, idsWhat, lpPath, szReason);
    // What was saved follows a copy's; administrator rights, N4.INI's
    // refused save.
    NumberText(cFailed - 1, szNumber);
    if (lpSaved != nullptr) {
        lpEnd = AppendText(lpEnd, lpLimit, IDS_COPY_SAVED, lpSaved, nullptr);
        if (cFailed > 1)
            lpEnd = AppendText(lpEnd, lpLimit, IDS_COPIES_SAVED, szNumber, nullptr);
        AppendText(lpEnd, lpLimit, IDS_TRY_AGAIN, nullptr, nullptr);
    } else if (dwError == ERROR_ACCESS_DENIED && idsWhat == IDS_SAVE_FAILED) {
        AppendText(lpEnd, lpLimit, IDS_NEEDS_ADMIN, nullptr, nullptr);
    }

    MessageBoxW(hwnd, szText, szCaption, MB_OK | MB_ICONERROR);
}
