// Entry routine and Control Panel dispatch of veldrano.cpl.
#include <windows.h>
#include <cpl.h>

#include "shell.h"
#include "../config/config.h"
#include "../../res/resource.h"

static_assert(sizeof(NEWCPLINFOA) == 244, "host's NEWCPLINFO record is 244 bytes");

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
        OpenOneDialog(hModule, MAKEINTRESOURCEA(LOWORD(row->dlgtemplate)), hwndCPL, row->dlgfn);
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

    // Fixed by the applet's design: CPL_INQUIRE is answered 0 with its
    // record left alone, though Microsoft calls it the preferred message;
    // the applet describes itself through CPL_NEWINQUIRE only.
    default:    // CPL_INQUIRE, CPL_SELECT, CPL_STOP and anything unknown
        return 0;
    }
}
