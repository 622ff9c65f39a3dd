// The configuration dialog and the profile entry behind it: "patch110" in
// section "Lumasyn" of N4.INI, 1 for Windows file handling and 0 for DOS.
#include <windows.h>

#include "config.h"
#include "../../res/resource.h"

extern const char bN4Ini[] = "N4.INI";
extern const char szDialogCaption[] = APPLET_NAME;
static const char szSection[] = "Lumasyn";
static const char szItem[] = "patch110";

int bPatchLumasyn = 0;

static const char szCopyTextFormat[] = "%s";

void N4IniPath(char *szPath)
{
    // A bare profile name means the Windows directory. Its path ends with
    // a backslash only when it is a root such as "C:\".
    UINT cchDir = GetWindowsDirectoryA(szPath, MAX_PATH);
    if (cchDir == 0 || cchDir >= MAX_PATH)
        cchDir = 0;
    else if (szPath[cchDir - 1] != '\\')
        szPath[cchDir++] = '\\';
    wsprintfA(szPath + cchDir, szCopyTextFormat, bN4Ini);
}

BOOL WritePrivateProfileInt(LPCSTR lpSection, LPCSTR lpEntry, int param, LPCSTR lpIniName)
{
    char szInteger[14];     // "-2147483648" and its terminator fit
    wsprintfA(szInteger, "%d", param);
    return WritePrivateProfileStringA(lpSection, lpEntry, szInteger, lpIniName);
}

// Reads the stored choice and checks its button. A missing file, section
// or key reads as 1: "Windows". N4.INI is held open for reading while the
// profile is read, sharing both ways, so that a program that only writes
// it does not count. A file that exists and cannot be opened (held by
// another program, access denied, a folder in its place) is told, with
// FALSE: its value is not known, and a guess saved with OK would overwrite
// the one stored.
static BOOL ReadChoice(HWND hDlg)
{
    char szPath[cchN4IniPath];
    N4IniPath(szPath);
    HANDLE hFile = CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    DWORD dwError = GetLastError();
    if (hFile == INVALID_HANDLE_VALUE && dwError != ERROR_FILE_NOT_FOUND && dwError != ERROR_PATH_NOT_FOUND) {
        ExplainProfileError(hDlg, IDS_READ_FAILED, dwError);
        return FALSE;
    }
    bPatchLumasyn = static_cast<int>(GetPrivateProfileIntA(szSection, szItem, 1, bN4Ini));
    // Without N4.INI this is INVALID_HANDLE_VALUE, which is also the
    // process's own pseudo handle: closing that has no effect.
    CloseHandle(hFile);
    CheckRadioButton(hDlg, IDC_WINDOWS_FILES, IDC_DOS_FILES, bPatchLumasyn ? IDC_WINDOWS_FILES : IDC_DOS_FILES);
    return TRUE;
}

static void SaveChoice(HWND hDlg)
{
    bPatchLumasyn = IsDlgButtonChecked(hDlg, IDC_WINDOWS_FILES) == BST_CHECKED ? 1 : 0;
    if (WritePrivateProfileInt(szSection, szItem, bPatchLumasyn, bN4Ini)) {
        EndDialog(hDlg, 1);
        return;
    }
    // Not saved (say a standard user on a Windows directory only
    // administrators may write): say why, and keep the dialog open with
    // the choice still checked, so OK can try again and Cancel gives up.
    ExplainProfileError(hDlg, IDS_SAVE_FAILED, GetLastError());
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
