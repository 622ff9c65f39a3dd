// Control Panel boundary of veldrano.cpl: entry routine, dispatch and the
// one-time hooks around the host's CPL_INIT / CPL_EXIT pairs.
#ifndef VELDRANO_SHELL_H
#define VELDRANO_SHELL_H

#include <windows.h>

// One row of the applet table. Its names, and the functions' and the
// module-wide variables' below, are fixed by the applet's design.
typedef struct tagApplets {
    int icon;          // icon group id (low word used)
    int namestring;    // string id of the applet's name
    int descstring;    // string id of the applet's description
    int dlgtemplate;   // dialog template id (low word used)
    DLGPROC dlgfn;     // dialog procedure for that template
} APPLETS;

extern HMODULE hModule;     // this library's instance, set at process attach
extern int iInitCount;      // CPL_INIT calls still waiting for their CPL_EXIT

BOOL InitVeldranoApplet(HWND hwndParent);
void TermVeldranoApplet();

extern "C" {
BOOL WINAPI DllMain(HINSTANCE hmod, DWORD ulReason, LPVOID pctx);
LONG APIENTRY CPlApplet(HWND hwndCPL, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
}

#endif
