// One-time set-up and tear-down around the host's first CPL_INIT and last
// CPL_EXIT. The applet needs nothing beyond its resources, which the loader
// already mapped, so both are empty: the Control Panel loads every applet
// just to list it, and work here would slow that listing down. Fixed by
// the applet's design: both hooks stay, and stay empty.
#include "shell.h"

BOOL InitVeldranoApplet(HWND hwndParent)
{
    (void)hwndParent;
    return TRUE;
}

void TermVeldranoApplet()
{
}
