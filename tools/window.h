/* Finding and working the windows of other programs, as a user would: by
   title, in whatever process shows them. Clicks are posted, so that a
   message box a click brings up never blocks the caller. Used by the
   end-to-end tests and by ctlpos.exe, on Windows and under Wine alike. */
#ifndef VELDRANO_WINDOW_H
#define VELDRANO_WINDOW_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The visible top-level window with this title that a user can act on:
   while a message box has disabled its owner both may carry the title,
   and the box is the enabled one. NULL when there is none. */
HWND FindTitled(const char *title);

/* The screen rectangle of the icon of a list-view item of `window` (the
   Control Panel's item list), found by its text. */
BOOL ListItemRect(HWND window, const char *text, RECT *rc);

/* Clicks a dialog's button or radio button, or the icon of a list-view
   item `clicks` times (2 opens it). A push button tells its dialog as a
   click does (WM_COMMAND, BN_CLICKED), so that a change of focus or of the
   mouse capture elsewhere cannot swallow the click; a radio button gets
   BM_CLICK, which checks it and clears the others of its group. */
void ClickControl(HWND control);
BOOL ClickListItem(HWND window, const char *text, int clicks);

#ifdef __cplusplus
}
#endif

#endif
