// The configuration dialog, which shows and stores the "Files:" setting of
// the Lumasyn ODBC driver (profile.cpp, copies.cpp).
#include <windows.h>

#include "config.h"
#include "../../res/resource.h"

int bPatchLumasyn = 0;

// Checks the stored choice's button. An N4.INI that cannot be read is
// told, with FALSE: a guess saved with OK would overwrite the value stored.
static BOOL ReadChoice(HWND hDlg)
{
    WCHAR szPath[MAX_PATH];
    DWORD dwError;
    if (!ReadPatch110(&bPatchLumasyn, szPath, &dwError)) {
        ExplainProfileError(hDlg, IDS_READ_FAILED, szPath, dwError, nullptr, 0);
        return FALSE;
    }
    CheckRadioButton(hDlg, IDC_WINDOWS_FILES, IDC_DOS_FILES, bPatchLumasyn ? IDC_WINDOWS_FILES : IDC_DOS_FILES);
    return TRUE;
}

// Saves the checked choice in N4.INI, then in the copies of it that
// programs may read instead, under the hourglass: with many profiles, or
// copies held a while, this takes a moment.
static void SaveChoice(HWND hDlg)
{
    WCHAR szPath[MAX_PATH], szCopy[MAX_PATH];
    DWORD dwError;
    HCURSOR hcurBefore = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    bPatchLumasyn = IsDlgButtonChecked(hDlg, IDC_WINDOWS_FILES) == BST_CHECKED ? 1 : 0;
    // Not saved (say a standard user on a Windows directory only
    // administrators may write): nothing else is written. Otherwise each
    // copy is tried, whichever failed before it.
    int cFailed = 0;
    BOOL bSaved = WritePatch110(bPatchLumasyn, szPath, &dwError);
    if (bSaved)
        cFailed = SetPatch110Copies(bPatchLumasyn, szCopy, &dwError);
    SetCursor(hcurBefore);
    if (bSaved && cFailed == 0) {
        EndDialog(hDlg, 1);
        return;
    }
    // Say where and why, and what was saved, and keep the dialog open with
    // the choice still checked, so OK can try again and Cancel gives up,
    // keeping what was saved.
    ExplainProfileError(hDlg, IDS_SAVE_FAILED, cFailed ? szCopy : szPath, dwError, cFailed ? szPath : nullptr,
                        cFailed);
}

extern "C" INT_PTR CALLBACK PatchProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        // One dialog at a time: a second opening finds this one by the
        // mark, which takes DWL_USER. Marked first, so that it also finds
        // the message box of an unreadable N4.INI.
        MarkOpenDialog(hDlg);
        // Not readable: told, and ended before it shows; nothing written.
        if (!ReadChoice(hDlg))
            EndDialog(hDlg, 0);
        // FALSE: this procedure sets no focus and asks the dialog manager
        // for none. The focus comes when the dialog is activated, which
        // gives it to the first tab stop, OK (as seen under Wine).
        break;

    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            SaveChoice(hDlg);
            break;
        case IDCANCEL:
            EndDialog(hDlg, 0);
            break;
        }
        break;      // radio clicks: the auto radio buttons check themselves

    case WM_ENDSESSION:
        // The session ends, or the Restart Manager closes this program
        // (ENDSESSION_CLOSEAPP) so that an update can replace the applet;
        // WM_QUERYENDSESSION before it got the default answer, yes. End as
        // Cancel does, writing nothing, and let the host exit. The message
        // box this dialog shows, if one is up, ends first.
        if (wParam) {
            if (HWND hBox = FindAppletWindow(hDlg))
                EndDialog(hBox, IDOK);
            EndDialog(hDlg, 0);
        }
        break;
    }
    return FALSE;
}
