#include "window.h"

#include <commctrl.h>
#include <string.h>

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

HWND FindTitled(const char *title)
{
    struct Search search = { title, NULL, NULL };
    EnumWindows(MatchTitle, (LPARAM)&search);
    return search.enabled != NULL ? search.enabled : search.visible;
}

/* The list view belongs to another process, so what its messages point to
   must live in that process: one page there holds the search record, the
   text and the rectangle. */
BOOL ListItemRect(HWND hwnd, const char *text, RECT *rc)
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

void ClickControl(HWND control)
{
    LONG type = GetWindowLongA(control, GWL_STYLE) & BS_TYPEMASK;
    if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)
        PostMessageA(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED), (LPARAM)control);
    else
        PostMessageA(control, BM_CLICK, 0, 0);
}

BOOL ClickListItem(HWND window, const char *text, int clicks)
{
    RECT rc;
    HWND list = FindWindowExA(window, NULL, WC_LISTVIEWA, NULL);
    if (!ListItemRect(window, text, &rc))
        return FALSE;
    POINT at = { (rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2 };
    ScreenToClient(list, &at);
    LPARAM where = MAKELPARAM(at.x, at.y);
    for (int i = 0; i < clicks; i++) {
        PostMessageA(list, i == 0 ? WM_LBUTTONDOWN : WM_LBUTTONDBLCLK, MK_LBUTTON, where);
        PostMessageA(list, WM_LBUTTONUP, 0, where);
    }
    return TRUE;
}
