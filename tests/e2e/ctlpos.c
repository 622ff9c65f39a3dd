/* Prints the screen rectangle "left top right bottom" of a top-level
   window (control id 0) or of one of its controls, so scripts can click it
   with real X input or crop a screenshot to it:
       ctlpos.exe "<window title>" <control id> [desktop]
   With a desktop name it looks on that desktop, such as the one Wine's
   "explorer /desktop=name" made. Exits 1 while the window or the control
   is not there. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4)
        return 2;
    if (argc == 4) {
        HDESK desk = OpenDesktopA(argv[3], 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
        if (desk == NULL || !SetThreadDesktop(desk))
            return 1;
    }
    HWND hwnd = FindWindowA(NULL, argv[1]);
    if (hwnd == NULL || !IsWindowVisible(hwnd))
        return 1;
    int id = atoi(argv[2]);
    HWND target = id == 0 ? hwnd : GetDlgItem(hwnd, id);
    RECT rc;
    if (target == NULL || !GetWindowRect(target, &rc))
        return 1;
    printf("%ld %ld %ld %ld\n", rc.left, rc.top, rc.right, rc.bottom);
    return 0;
}
