// One dialog at a time on a desktop. The dialog shows the value N4.INI held
// when it opened, and OK writes what it shows: a second dialog could undo a
// later save with an older value. So an opening, be it another double-click
// or a second control.exe, brings the open dialog, or the message box it
// shows, to the front instead. A mutex in the session's namespace, held for
// the dialog's life, makes looking and opening one step for openings that
// start together. This guards against the applet's own second dialog, not
// against other programs: any program on the desktop can read the mark,
// set it on a window of its own, or hold the mutex.
#include <windows.h>

#include "config.h"
#include "../../res/resource.h"

extern const char szDialogCaption[] = APPLET_NAME;
static const char szDialogLock[] = "Local\\Veldrano.Configure";

// Kept in the open dialog's DWL_USER, where other processes can read it:
// tells the applet's dialog from another window with its caption.
constexpr LONG lDialogMark = 0x52444C56;    // "VLDR"

// How long an opening waits for the holder of the lock to show its dialog.
constexpr DWORD dwWaitStep = 100;           // milliseconds
constexpr int cWaitSteps = 100;             // ten seconds in all

void MarkOpenDialog(HWND hDlg)
{
    SetWindowLongA(hDlg, DWL_USER, lDialogMark);
}

HWND FindAppletWindow(HWND hOwner)
{
    HWND hwnd = nullptr;
    while ((hwnd = FindWindowExA(nullptr, hwnd, WC_DIALOG, szDialogCaption)) != nullptr)
        if (hOwner != nullptr ? GetWindow(hwnd, GW_OWNER) == hOwner : GetWindowLongA(hwnd, DWL_USER) == lDialogMark)
            return hwnd;
    return nullptr;
}

// The open dialog to the front, restored if minimised; or the message box
// it shows, which Windows keeps as the last active popup of the top-level
// owner (the host's window), not of the dialog. On Vista and later every
// opening runs elevated through the manifest, so the dialog found belongs
// to a process of the same integrity level, which may activate it.
static BOOL BringOpenDialogForward()
{
    HWND hDlg = FindAppletWindow(nullptr);
    if (hDlg == nullptr)
        return FALSE;
    if (IsIconic(hDlg))
        ShowWindow(hDlg, SW_RESTORE);
    HWND hTop = hDlg, hOwner;
    while ((hOwner = GetWindow(hTop, GW_OWNER)) != nullptr)
        hTop = hOwner;
    SetForegroundWindow(GetLastActivePopup(hTop));
    return TRUE;
}

// The open dialog is looked for before the lock is tried, since the thread
// that holds it may ask again from inside its own dialog. Neither a mutex
// that cannot be made (Windows before 2000 may refuse "Local\") nor a
// holder that shows no dialog in time keeps the item from opening.
void OpenOneDialog(HINSTANCE hInstance, LPCSTR lpTemplate, HWND hwndOwner, DLGPROC lpDialogFunc)
{
    HANDLE hLock = CreateMutexA(nullptr, FALSE, szDialogLock);
    for (int iTry = 0; !BringOpenDialogForward(); iTry++) {
        // A blocking wait: pumping messages here would let the host hand
        // this thread another double-click, which would wait in turn.
        DWORD dwWait = WAIT_FAILED;
        if (hLock != nullptr)
            dwWait = WaitForSingleObject(hLock, iTry == 0 ? 0 : dwWaitStep);
        if (dwWait == WAIT_TIMEOUT && iTry < cWaitSteps)
            continue;
        DialogBoxParamA(hInstance, lpTemplate, hwndOwner, lpDialogFunc, 0);
        // Ours when the wait got it, also from a host that died holding it.
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
            ReleaseMutex(hLock);
        break;
    }
    if (hLock != nullptr)
        CloseHandle(hLock);
}
