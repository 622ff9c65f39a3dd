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

BOOL WritePrivateProfileInt(LPCSTR lpSection, LPCSTR lpEntry, int param, LPCSTR lpIniName)
{
    char szInteger[14];     // "-2147483648" and its terminator fit
    wsprintfA(szInteger, "%d", param);
    return WritePrivateProfileStringA(lpSection, lpEntry, szInteger, lpIniName);
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
    ExplainRefusedSave(hDlg, GetLastError());
}

extern "C" INT_PTR CALLBACK PatchProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        // A missing file, section or key reads as 1: "Windows".
        bPatchLumasyn = static_cast<int>(GetPrivateProfileIntA(szSection, szItem, 1, bN4Ini));
        CheckRadioButton(hDlg, IDC_WINDOWS_FILES, IDC_DOS_FILES,
                         bPatchLumasyn ? IDC_WINDOWS_FILES : IDC_DOS_FILES);
        SetWindowLongA(hDlg, DWL_USER, lDialogMark);
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
        // box of a refused save, if it is up, ends first: it has the
        // dialog's caption and the dialog for its owner.
        if (wParam) {
            HWND hBox = nullptr;
            while ((hBox = FindWindowExA(nullptr, hBox, WC_DIALOG, szDialogCaption)) != nullptr)
                if (GetWindow(hBox, GW_OWNER) == hDlg)
                    EndDialog(hBox, IDOK);
            EndDialog(hDlg, 0);
        }
        break;
    }
    return FALSE;
}
