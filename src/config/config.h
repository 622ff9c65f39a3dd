// Lumasyn driver configuration: the library marker check, the dialog that
// edits the "Files:" setting in N4.INI, and the rule that keeps it to one
// dialog at a time.
#ifndef VELDRANO_CONFIG_H
#define VELDRANO_CONFIG_H

#include <windows.h>

#include "../../res/resource.h"

// Names fixed by the applet's design, as are CheckLMSN,
// WritePrivateProfileInt and PatchProc, which answers FALSE to everything.
extern int bPatchLumasyn;   // value last read from or written to the profile
extern const char szDialogCaption[];    // APPLET_NAME, the caption of dialog 100 (onedialog.cpp)

BOOL CheckLMSN();
BOOL WritePrivateProfileInt(LPCSTR lpSection, LPCSTR lpEntry, int param, LPCSTR lpIniName);

// N4.INI, where the driver keeps its settings (profile.cpp): bN4Ini is its
// name, by which the profile functions find it in the Windows directory.
extern const char bN4Ini[];
// Paths take MAX_PATH characters, the limit of the file functions.
// Reads patch110 from N4.INI into *piValue, 1 where nothing is stored.
// szPath receives N4.INI's path. FALSE, with the error, when the file
// exists and cannot be read.
BOOL ReadPatch110(int *piValue, WCHAR *szPath, DWORD *pdwError);
// Writes iValue as patch110 into N4.INI and reads it back. szPath receives
// N4.INI's path; FALSE with the error when the value is not there.
BOOL WritePatch110(int iValue, WCHAR *szPath, DWORD *pdwError);

// Neither 0 nor 1: what a read back gives where the line did not land.
constexpr INT iNotStored = 2;
// Whether an open failed because the file, or a folder on its way, is not there.
inline BOOL NotThere(DWORD dwError)
{
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

// Another program (backup, indexing, antivirus, the driver's own) holds a
// file for a few milliseconds at a time. Called after a failed try with
// what may still be waited: TRUE, after waiting one step, while a hold is
// what failed it and time is left; else FALSE with the try's error.
BOOL WaitWhileHeld(DWORD *pdwWaitLeft, DWORD *pdwError);
// Each file opened, written or read back is waited for this long at most.
constexpr DWORD dwFileWait = 500;   // milliseconds
// ERROR_SUCCESS when the open hFile may be a profile file: a file on a
// disk of at most 1 MB. Else why not.
DWORD CheckProfileFile(HANDLE hFile);

// szPath = lpFolder, a backslash unless it ends with one, lpName; FALSE
// when that does not fit in cchPath characters (szPath is cut).
BOOL JoinPath(WCHAR *szPath, UINT cchPath, LPCWSTR lpFolder, LPCWSTR lpName);

// Sets iValue in every per-user copy of N4.INI that exists (copies.cpp).
// Answers how many could not be set, the first's path in szFailedPath
// (MAX_PATH characters) and its error in *pdwError.
int SetPatch110Copies(int iValue, WCHAR *szFailedPath, DWORD *pdwError);

// Errors of the applet's own, told with its string of that id.
constexpr DWORD dwErrorLinked = APPLICATION_ERROR_MASK | IDS_REASON_LINKED;
constexpr DWORD dwErrorNotSaved = APPLICATION_ERROR_MASK | IDS_REASON_NOT_SAVED;
constexpr DWORD dwErrorTooLarge = APPLICATION_ERROR_MASK | IDS_REASON_TOO_LARGE;
constexpr DWORD dwErrorNotAFile = APPLICATION_ERROR_MASK | IDS_REASON_NOT_A_FILE;

// Tells the user that the file at lpPath could not be read or saved
// (idsWhat: IDS_READ_FAILED or IDS_SAVE_FAILED), with the reason, in a
// message box owned by hwnd, a window of this module. For a copy, lpSaved
// is N4.INI's path, which was saved, and cFailed the copies not saved.
void ExplainProfileError(HWND hwnd, UINT idsWhat, LPCWSTR lpPath, DWORD dwError, LPCWSTR lpSaved, int cFailed);

// One dialog at a time (onedialog.cpp). OpenOneDialog opens the dialog, or
// brings the one already open forward. MarkOpenDialog, on WM_INITDIALOG,
// takes the dialog's DWL_USER for the mark it is found by.
// FindAppletWindow finds the message box that hOwner owns or, with no
// owner, the marked dialog.
void OpenOneDialog(HINSTANCE hInstance, LPCSTR lpTemplate, HWND hwndOwner, DLGPROC lpDialogFunc);
void MarkOpenDialog(HWND hDlg);
HWND FindAppletWindow(HWND hOwner);

extern "C" INT_PTR CALLBACK PatchProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

#endif
