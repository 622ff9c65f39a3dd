// Entry routine and Control Panel dispatch of veldrano.cpl.
#include <windows.h>
#include <cpl.h>

#include "shell.h"
#include "../config/config.h"
#include "../../res/resource.h"

static_assert(sizeof(NEWCPLINFOA) == 244, "host's NEWCPLINFO record is 244 bytes");

static const char szDialogLock[] = "Local\\Veldrano.Configure";

// The module description, kept in the read-only data where file viewers
// look for it; GNU ld ignores the DESCRIPTION line of the .def file.
extern "C" __attribute__((used)) const char szVeldranoDescription[] =
    "Control Panel Applet - VELDRANO";

HMODULE hModule = nullptr;
int iInitCount = 0;

static const APPLETS VeldranoApplets[] = {
    { IDI_APPLET, IDS_APPLET_NAME, IDS_APPLET_INFO, IDD_CONFIGURE, PatchProc },
};

constexpr LONG cApplets = sizeof VeldranoApplets / sizeof VeldranoApplets[0];

// The host only sends indexes below the count it was given, but a stray
// index must never read past the table.
static const APPLETS *AppletRow(LPARAM iApplet)
{
    if (iApplet < 0 || iApplet >= cApplets)
        return nullptr;
    return &VeldranoApplets[iApplet];
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hmod, DWORD ulReason, LPVOID pctx)
{
    (void)pctx;
    if (ulReason == DLL_PROCESS_ATTACH)
        hModule = hmod;
    return TRUE;
}

static void NewInquire(LPARAM iApplet, LPNEWCPLINFOA lpNewCPlInfo)
{
    const APPLETS *row = AppletRow(iApplet);
    if (row == nullptr || lpNewCPlInfo == nullptr)
        return;

    lpNewCPlInfo->dwSize = sizeof(NEWCPLINFOA);
    lpNewCPlInfo->dwFlags = 0;
    lpNewCPlInfo->dwHelpContext = 0;
    lpNewCPlInfo->lData = 0;
    lpNewCPlInfo->hIcon = LoadIconA(hModule, MAKEINTRESOURCEA(LOWORD(row->icon)));
    lpNewCPlInfo->szHelpFile[0] = '\0';
    LoadStringA(hModule, row->namestring, lpNewCPlInfo->szName, sizeof lpNewCPlInfo->szName);
    LoadStringA(hModule, row->descstring, lpNewCPlInfo->szInfo, sizeof lpNewCPlInfo->szInfo);
}

// One dialog per desktop. A second opening, be it another double-click or
// a second control.exe in a process of its own, must not put a dialog over
// one that still shows the value read when it opened: OK there would
// silently undo whatever was saved since. So the dialog already open, a
// dialog-class window with its caption and the applet's mark in DWL_USER,
// is brought to the front instead, or the message box it owns when a
// refused save is being explained. A window of another program with the
// same caption carries no mark and is passed over. On Vista and later
// every opening runs elevated through the manifest, so the dialog found
// belongs to a process of the same integrity level on the same desktop,
// which may activate it.
static BOOL ActivateOpenDialog()
{
    HWND hDlg = nullptr;
    while ((hDlg = FindWindowExA(nullptr, hDlg, WC_DIALOG, szDialogCaption)) != nullptr) {
        if (GetWindowLongA(hDlg, DWL_USER) != lDialogMark)
            continue;
        if (IsIconic(hDlg))
            ShowWindow(hDlg, SW_RESTORE);
        // Windows keeps the last active popup with the top-level owner
        // (the host's window), not with the dialog it owns.
        HWND hTop = hDlg, hOwner;
        while ((hOwner = GetWindow(hTop, GW_OWNER)) != nullptr)
            hTop = hOwner;
        SetForegroundWindow(GetLastActivePopup(hTop));
        return TRUE;
    }
    return FALSE;
}

// Two openings at the same moment would both find no dialog and open one
// each. A mutex in the session's namespace, held while the dialog is open,
// makes the look and the opening one step: its holder opens the dialog;
// anyone else waits for that dialog to appear and brings it forward, or
// takes the mutex itself when the holder closes first. Looked for before
// the mutex is tried, since the thread that holds it may ask again from
// inside its own dialog. Neither a mutex that cannot be made (Windows
// before 2000 may refuse the "Local\" prefix) nor a holder that shows no
// dialog within ten seconds keeps the item from opening. Another user's
// session has a namespace and a desktop of its own, and a dialog of its
// own, which shows the file's value when that one opened.
static void OpenDialog(HWND hwndCPL, const APPLETS *row)
{
    HANDLE hLock = CreateMutexA(nullptr, FALSE, szDialogLock);
    for (int iTry = 0; !ActivateOpenDialog(); iTry++) {
        DWORD dwWait = WAIT_FAILED;
        if (hLock != nullptr)
            dwWait = WaitForSingleObject(hLock, iTry == 0 ? 0 : 100);
        if (dwWait == WAIT_TIMEOUT && iTry < 100)
            continue;
        DialogBoxParamA(hModule, MAKEINTRESOURCEA(LOWORD(row->dlgtemplate)), hwndCPL, row->dlgfn, 0);
        if (dwWait < WAIT_TIMEOUT)      // WAIT_OBJECT_0, or WAIT_ABANDONED by a host that died
            ReleaseMutex(hLock);
        break;
    }
    if (hLock != nullptr)
        CloseHandle(hLock);
}

static void DoubleClick(HWND hwndCPL, LPARAM iApplet)
{
    // Looked up afresh on every double-click: the driver may be patched
    // while the Control Panel stays open.
    if (!CheckLMSN()) {
        MessageBeep(MB_ICONEXCLAMATION);
        return;
    }
    const APPLETS *row = AppletRow(iApplet);
    if (row != nullptr)
        OpenDialog(hwndCPL, row);
}

extern "C" LONG APIENTRY CPlApplet(HWND hwndCPL, UINT uMsg, LPARAM lParam1, LPARAM lParam2)
{
    switch (uMsg) {
    case CPL_INIT:
        if (iInitCount == 0 && !InitVeldranoApplet(hwndCPL))
            return 0;
        iInitCount++;
        return 1;

    case CPL_GETCOUNT:
        return cApplets;

    case CPL_DBLCLK:
        DoubleClick(hwndCPL, lParam1);
        return 0;

    case CPL_EXIT:
        if (--iInitCount == 0)
            TermVeldranoApplet();
        return 0;

    case CPL_NEWINQUIRE:
        NewInquire(lParam1, reinterpret_cast<LPNEWCPLINFOA>(lParam2));
        return 0;

    default:    // CPL_INQUIRE, CPL_SELECT, CPL_STOP and anything unknown
        return 0;
    }
}
