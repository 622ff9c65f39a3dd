// Lumasyn driver configuration: the library marker check and the dialog
// that edits the "Files:" setting in N4.INI.
#ifndef VELDRANO_CONFIG_H
#define VELDRANO_CONFIG_H

#include <windows.h>

extern int bPatchLumasyn;   // value last read from or written to the profile
extern const char bN4Ini[]; // the profile, by bare name: in the Windows directory
extern const char szDialogCaption[];    // APPLET_NAME, the caption of dialog 100
// Set in the open dialog's DWL_USER, where other processes can read it:
// tells the applet's dialog from another window with its caption.
constexpr LONG lDialogMark = 0x52444C56;    // "VLDR"

BOOL CheckLMSN();
BOOL WritePrivateProfileInt(LPCSTR lpSection, LPCSTR lpEntry, int param, LPCSTR lpIniName);
void ExplainRefusedSave(HWND hDlg, DWORD dwError);

extern "C" INT_PTR CALLBACK PatchProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

#endif
