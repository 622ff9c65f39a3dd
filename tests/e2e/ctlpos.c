/* Prints the screen rectangle "left top right bottom" of a top-level
   window (control id 0), of one of its controls, or of the icon of a list
   view item found by its text (the Control Panel's item list), so scripts
   can click it with real X input or crop a screenshot to it:
       ctlpos.exe [--text | --checked] "<window title>" <control id | item text> [desktop]
   --text prints the control's text instead, --checked its check state
   (BM_GETCHECK). --endsession closes the window's program as the Restart
   Manager does: WM_QUERYENDSESSION, then WM_ENDSESSION, both with
   ENDSESSION_CLOSEAPP, to every top-level window of its process. Of the windows with that title, it takes the one a user
   can act on: while a message box has disabled its owner, both may carry
   the same title, and the box is the enabled one. With a desktop name it
   looks on that desktop, such as the one Wine's "explorer /desktop=name"
   made. Exits 1 while the window, the control or the item is not there. */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The list view belongs to another process, so what its messages point to
   must live in that process: one page there holds the search record, the
   text and the rectangle. */
static BOOL ListItemRect(HWND hwnd, const char *text, RECT *rc)
{
    HWND list = FindWindowExA(hwnd, NULL, WC_LISTVIEWA, NULL);
    DWORD pid = 0;
    if (list == NULL || !IsWindowVisible(list))
        return FALSE;
    GetWindowThreadProcessId(list, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process == NULL)
        return FALSE;

    BOOL found = FALSE;
    char *page = VirtualAllocEx(process, NULL, 4096, MEM_COMMIT, PAGE_READWRITE);
    size_t len = strlen(text) + 1;
    if (page != NULL && len <= 4096 - sizeof(LVFINDINFOA) - sizeof(RECT)) {
        LVFINDINFOA find = { 0 };
        find.flags = LVFI_STRING;
        find.psz = page + sizeof find;
        RECT bounds = { LVIR_ICON, 0, 0, 0 };
        char *remote_rect = page + sizeof find + len;
        WriteProcessMemory(process, page, &find, sizeof find, NULL);
        WriteProcessMemory(process, page + sizeof find, text, len, NULL);
        WriteProcessMemory(process, remote_rect, &bounds, sizeof bounds, NULL);
        LRESULT item = SendMessageA(list, LVM_FINDITEMA, (WPARAM)-1, (LPARAM)page);
        if (item >= 0 && SendMessageA(list, LVM_GETITEMRECT, item, (LPARAM)remote_rect)
            && ReadProcessMemory(process, remote_rect, rc, sizeof *rc, NULL)) {
            MapWindowPoints(list, NULL, (POINT *)rc, 2);
            found = TRUE;
        }
    }
    if (page != NULL)
        VirtualFreeEx(process, page, 0, MEM_RELEASE);
    CloseHandle(process);
    return found;
}

struct Search {
    const char *title;
    HWND visible;       /* the first visible window with the title */
    HWND enabled;       /* the first that is also enabled */
};

static BOOL CALLBACK MatchTitle(HWND hwnd, LPARAM param)
{
    struct Search *search = (struct Search *)param;
    char title[256];
    if (!IsWindowVisible(hwnd) || GetWindowTextA(hwnd, title, sizeof title) == 0
        || strcmp(title, search->title) != 0)
        return TRUE;
    if (search->visible == NULL)
        search->visible = hwnd;
    if (IsWindowEnabled(hwnd)) {
        search->enabled = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct EndSession {
    DWORD pid;
    UINT message;
    WPARAM wParam;
};

static BOOL CALLBACK SendEndSession(HWND hwnd, LPARAM param)
{
    const struct EndSession *end = (const struct EndSession *)param;
    DWORD pid = 0, answer = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == end->pid)
        SendMessageTimeoutA(hwnd, end->message, end->wParam, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, &answer);
    return TRUE;
}

int main(int argc, char **argv)
{
    const char *mode = "";
    if (argc > 1 && strncmp(argv[1], "--", 2) == 0) {
        mode = argv[1];
        argc--;
        argv++;
    }
    if (argc != 3 && argc != 4)
        return 2;
    if (argc == 4) {
        HDESK desk = OpenDesktopA(argv[3], 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
        if (desk == NULL || !SetThreadDesktop(desk))
            return 1;
    }
    struct Search search = { argv[1], NULL, NULL };
    EnumWindows(MatchTitle, (LPARAM)&search);
    HWND hwnd = search.enabled != NULL ? search.enabled : search.visible;
    if (hwnd == NULL)
        return 1;
    RECT rc;
    char *end;
    long id = strtol(argv[2], &end, 10);
    if (*end != '\0') {
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
        if (strcmp(mode, "--endsession") == 0) {
            struct EndSession end = { 0, WM_QUERYENDSESSION, 0 };
            GetWindowThreadProcessId(target, &end.pid);
            EnumWindows(SendEndSession, (LPARAM)&end);
            end.message = WM_ENDSESSION;
            end.wParam = TRUE;
            EnumWindows(SendEndSession, (LPARAM)&end);
            return 0;
        }
        if (*mode != '\0' || !GetWindowRect(target, &rc))
            return 1;
    }
    printf("%ld %ld %ld %ld\n", rc.left, rc.top, rc.right, rc.bottom);
    return 0;
}
