/* For scripts: where a window, one of its controls or an item of its list
   view is, what it says, and a click on it.
       ctlpos.exe [--text | --checked | --click [N]] "<window title>" <control id | item text> [desktop]
       ctlpos.exe --name <applet.cpl>
   Without an option it prints the screen rectangle "left top right bottom"
   of the window (control id 0), the control, or the icon of the list-view
   item found by its text (the Control Panel's item list), to crop a
   screenshot to it. --text prints the control's text, --checked its check
   state (BM_GETCHECK), and --click clicks the control or clicks the item N
   times (2 opens it). The window is the one a user can act on (see
   FindTitled). With a desktop name it looks on that desktop, such as the
   one Wine's "explorer /desktop=name" made. Exits 1 while the window, the
   control or the item is not there. --name prints an applet's name, the
   caption of its dialog, from its own string table (string 40). */
#include "window.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    const char *mode = "";
    int clicks = 1;
    if (argc > 1 && strncmp(argv[1], "--", 2) == 0) {
        mode = argv[1];
        argc--;
        argv++;
        if (strcmp(mode, "--click") == 0 && argc > 1 && strspn(argv[1], "0123456789") == strlen(argv[1])) {
            clicks = atoi(argv[1]);
            argc--;
            argv++;
        }
    }
    if (strcmp(mode, "--name") == 0 && argc == 2) {
        HMODULE applet = LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
        char name[64];
        if (applet == NULL || LoadStringA(applet, 40, name, sizeof name) == 0)
            return 1;
        printf("%s\n", name);
        return 0;
    }
    if (argc != 3 && argc != 4)
        return 2;
    if (argc == 4) {
        HDESK desk = OpenDesktopA(argv[3], 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
        if (desk == NULL || !SetThreadDesktop(desk))
            return 1;
    }
    HWND hwnd = FindTitled(argv[1]);
    if (hwnd == NULL)
        return 1;
    RECT rc;
    char *end;
    long id = strtol(argv[2], &end, 10);
    if (*end != '\0') {
        if (strcmp(mode, "--click") == 0)
            return ClickListItem(hwnd, argv[2], clicks) ? 0 : 1;
        if (*mode != '\0' || !ListItemRect(hwnd, argv[2], &rc))
            return 1;
    } else {
        HWND target = id == 0 ? hwnd : GetDlgItem(hwnd, (int)id);
        if (target == NULL)
            return 1;
        if (strcmp(mode, "--text") == 0) {
            char text[2048] = "";   /* WM_GETTEXT carries it across processes */
            SendMessageA(target, WM_GETTEXT, sizeof text, (LPARAM)text);
            printf("%s\n", text);
            return 0;
        }
        if (strcmp(mode, "--checked") == 0) {
            printf("%ld\n", (long)SendMessageA(target, BM_GETCHECK, 0, 0));
            return 0;
        }
        if (strcmp(mode, "--click") == 0) {
            ClickControl(target);
            return 0;
        }
        if (*mode != '\0' || !GetWindowRect(target, &rc))
            return 1;
    }
    printf("%ld %ld %ld %ld\n", rc.left, rc.top, rc.right, rc.bottom);
    return 0;
}
