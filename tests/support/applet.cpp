#include "applet.h"
#include "platform.h"
#include "texts.h"

void AppletTest::SetUp()
{
    const std::string refused = RefuseUnlessThrowaway();
    ASSERT_EQ(refused, "");
    RemoveFile(LumasynPath());
    RemoveProfile();
    host = CreateWindowA("STATIC", "Control Panel", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                         nullptr);
    ASSERT_NE(host, nullptr);
    hmod = LoadLibraryA(AppletPath().c_str());
    ASSERT_NE(hmod, nullptr) << "cannot load " << AppletPath() << ": error " << GetLastError();
    cpl = reinterpret_cast<APPLET_PROC>(GetProcAddress(hmod, "CPlApplet"));
    ASSERT_NE(cpl, nullptr);
    rec::Install(hmod, host);
}

void AppletTest::TearDown()
{
    if (!RefuseUnlessThrowaway().empty())
        return;
    if (hmod)
        FreeLibrary(hmod);
    if (host)
        DestroyWindow(host);
    RemoveFile(LumasynPath());
    RemoveProfile();
}

namespace {

constexpr DWORD kWatchdogMs = 15000;

struct Drive {
    const std::function<void(HWND)> *act;
    DialogSeen seen;
    DWORD start;
} drive;

// The dialog once it shows, in this thread: not its message box, which
// has its caption too.
HWND FindAppletDialog()
{
    HWND h = nullptr;
    while ((h = FindWindowExA(nullptr, h, "#32770", kCaption)) != nullptr)
        if (IsWindowVisible(h) && GetDlgItem(h, kWindows) && GetWindowThreadProcessId(h, nullptr) == GetCurrentThreadId())
            return h;
    return nullptr;
}

// Ends a dialog or message box of the applet's that this thread shows,
// and says which it was.
BOOL CALLBACK EndLeftWindow(HWND hwnd, LPARAM)
{
    char cls[16] = "", title[64] = "", text[512] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, title, sizeof title);
    if (lstrcmpA(cls, "#32770") != 0 || lstrcmpA(title, kCaption) != 0 || !IsWindowEnabled(hwnd))
        return TRUE;
    const bool dialog = GetDlgItem(hwnd, kWindows) != nullptr;
    GetDlgItemTextA(hwnd, 0xFFFF, text, sizeof text);
    drive.seen.timedOut += dialog ? (IsWindowVisible(hwnd) ? "[a dialog] " : "[a hidden dialog] ")
                                  : "[a message box: " + std::string(text) + "] ";
    EndDialog(hwnd, dialog ? -99 : IDOK);
    return TRUE;
}

void CALLBACK DriveTimer(HWND, UINT, UINT_PTR, DWORD)
{
    HWND hDlg = FindAppletDialog();
    if (hDlg && !drive.seen.appeared) {
        drive.seen.appeared = true;
        drive.seen.windowsChecked = IsDlgButtonChecked(hDlg, kWindows) == BST_CHECKED;
        drive.seen.dosChecked = IsDlgButtonChecked(hDlg, kDos) == BST_CHECKED;
        (*drive.act)(hDlg);
        return;
    }
    // Only the enabled window takes input: a message box before the
    // dialog it disables, which ends next tick.
    if (GetTickCount() - drive.start > kWatchdogMs)
        EnumThreadWindows(GetCurrentThreadId(), EndLeftWindow, 0);
}

}  // namespace

DialogSeen DriveDialog(const std::function<void()> &open, const std::function<void(HWND)> &act)
{
    drive = Drive{&act, DialogSeen(), GetTickCount()};
    // Told where every test checks first, rather than as a dialog that
    // never showed.
    drive.seen.timedOut = NoInteractiveDesktop();
    if (!drive.seen.timedOut.empty())
        return drive.seen;
    UINT_PTR timer = SetTimer(nullptr, 0, 20, DriveTimer);
    open();
    KillTimer(nullptr, timer);
    // Drop a tick that may have been queued after the dialog ended.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE))
        ;
    return drive.seen;
}

void Click(HWND hDlg, int id)
{
    SendMessageA(GetDlgItem(hDlg, id), BM_CLICK, 0, 0);
}
