/* Prints the screen rectangle "left top right bottom" of a top-level
   window (control id 0) or of one of its controls, so scripts can click it
   with real X input or crop a screenshot to it:
       ctlpos.exe "<window title>" <control id>
   Exits 1 while the window or the control is not there. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
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
