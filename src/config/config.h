// Lumasyn driver configuration: the library marker check, the dialog that
// edits the "Files:" setting in N4.INI, and the rule that keeps it to one
// dialog at a time.
#ifndef VELDRANO_CONFIG_H
#define VELDRANO_CONFIG_H

#include <windows.h>

extern int bPatchLumasyn;   // value last read from or written to the profile
extern const char szDialogCaption[];    // APPLET_NAME, the caption of dialog 100 (onedialog.cpp)

BOOL CheckLMSN();
BOOL WritePrivateProfileInt(LPCSTR lpSection, LPCSTR lpEntry, int param, LPCSTR lpIniName);

// N4.INI and the copies of it that programs of this account may read
// instead (profile.cpp). Paths take cchN4IniPath characters.
constexpr int cchN4IniPath = MAX_PATH + 8;
// Reads patch110 from N4.INI into *piValue, 1 where nothing is stored.
// szPath receives N4.INI's path. FALSE, with the error, when the file
// exists and cannot be read.
BOOL ReadPatch110(int *piValue, char *szPath, DWORD *pdwError);
// Writes iValue as patch110 into N4.INI, then into each per-user copy that
// exists. FALSE, with the file's path and the error, at the first file
// that cannot be written.
BOOL WritePatch110(int iValue, char *szFailedPath, DWORD *pdwError);

// Tells the user that the file at lpPath could not be read or saved
// (idsWhat: IDS_READ_FAILED or IDS_SAVE_FAILED), with Windows' reason, in
// a message box owned by hwnd, a window of this module.
void ExplainProfileError(HWND hwnd, UINT idsWhat, LPCSTR lpPath, DWORD dwError);

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
