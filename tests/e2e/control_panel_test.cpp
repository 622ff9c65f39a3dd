// End to end: the system's Control Panel host, control.exe, runs the built
// applet, and the test works its dialog as a user would. The dialog is
// found by its caption in whatever process shows it: on 64-bit Windows
// control.exe hands a 32-bit item to a 32-bit host of its own and may exit
// at once, so each control.exe starts inside a job object, which holds it
// and every process it starts, and the test waits for the job.
#include <windows.h>
#include <restartmanager.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "../support/files.h"
#include "../support/platform.h"
#include "../../tools/window.h"

namespace {

const char kTitle[] = "Configure Lumasyn ODBC";
constexpr int kDos = 1001;

bool WaitFor(const std::function<bool()> &done, DWORD seconds = 30)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(100))
        if (GetTickCount() - start > seconds * 1000)
            return false;
    return true;
}

// The applet's dialogs: windows with its caption and the DOS button (the
// message box of a refused save has the caption, not the button).
BOOL CALLBACK CollectDialog(HWND hwnd, LPARAM found)
{
    char title[64] = "";
    GetWindowTextA(hwnd, title, sizeof title);
    if (IsWindowVisible(hwnd) && lstrcmpA(title, kTitle) == 0 && GetDlgItem(hwnd, kDos) != nullptr)
        reinterpret_cast<std::vector<HWND> *>(found)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> Dialogs()
{
    std::vector<HWND> found;
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

bool Checked(HWND dlg, int id)
{
    return SendMessageA(GetDlgItem(dlg, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// What the Restart Manager sends to close a program, to each of its
// windows: WM_QUERYENDSESSION to all, then WM_ENDSESSION.
struct EndSession {
    DWORD pid;
    UINT message;
    WPARAM wParam;
};

BOOL CALLBACK SendEndSession(HWND hwnd, LPARAM param)
{
    const auto *end = reinterpret_cast<const EndSession *>(param);
    DWORD pid = 0, answer = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == end->pid)
        SendMessageTimeoutA(hwnd, end->message, end->wParam, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, &answer);
    return TRUE;
}

void CloseAsTheRestartManagerDoes(HWND window)
{
    EndSession end = {0, WM_QUERYENDSESSION, 0};
    GetWindowThreadProcessId(window, &end.pid);
    EnumWindows(SendEndSession, reinterpret_cast<LPARAM>(&end));
    end = {end.pid, WM_ENDSESSION, TRUE};
    EnumWindows(SendEndSession, reinterpret_cast<LPARAM>(&end));
}

// The whole screen as a 24-bit BMP, to see what a failed test left.
void SaveScreen(const std::string &path)
{
    int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr), mem = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, cx, cy);
    HGDIOBJ old = SelectObject(mem, bitmap);
    BitBlt(mem, 0, 0, cx, cy, screen, 0, 0, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFOHEADER info = {sizeof info, cx, cy, 1, 24, BI_RGB};
    std::string pixels(((cx * 3 + 3) & ~3) * cy, '\0');
    GetDIBits(mem, bitmap, 0, cy, &pixels[0], reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS);
    BITMAPFILEHEADER file = {0x4D42, DWORD(sizeof file + sizeof info + pixels.size()), 0, 0, sizeof file + sizeof info};
    WriteBytes(path, std::string(reinterpret_cast<char *>(&file), sizeof file) +
                         std::string(reinterpret_cast<char *>(&info), sizeof info) + pixels);
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

}  // namespace

class ControlPanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string refused = RefuseUnlessThrowaway();
        ASSERT_EQ(refused, "");
        RemoveProfile();
        ASSERT_TRUE(WriteBytes(LumasynPath(), MarkedLumasyn()));
        ASSERT_NE(job = CreateJobObjectA(nullptr, nullptr), nullptr);
    }

    void TearDown() override
    {
        if (!RefuseUnlessThrowaway().empty())
            return;
        if (HasFailure())
            SaveScreen(ExeDir() + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bmp");
        for (HWND dlg : Dialogs())
            PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
        if (!HostsEnded(5)) {
            TerminateJobObject(job, 1);
            TerminateProcess(dialogProcess, 1);
        }
        CloseHandle(job);
        CloseHandle(dialogProcess);
        RemoveFile(LumasynPath());
        RemoveProfile();
    }

    // control.exe with the applet beside this program, which is where
    // OpenFile finds LMSN110.DLL: in the current directory and on PATH.
    void Open()
    {
        static const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
        SetEnvironmentVariableA("PATH", (ExeDir() + ";" + path).c_str());
        std::string line = "control.exe \"" + AppletPath() + "\"";
        STARTUPINFOA si = {sizeof si};
        PROCESS_INFORMATION pi;
        ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                   ExeDir().c_str(), &si, &pi))
            << "error " << GetLastError();
        EXPECT_TRUE(AssignProcessToJobObject(job, pi.hProcess)) << "error " << GetLastError();
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }

    // The dialog, once it shows. Its process is watched with the job's,
    // in case Windows started it outside the job.
    HWND OpenedDialog()
    {
        HWND dlg = nullptr;
        EXPECT_TRUE(WaitFor([&] {
            std::vector<HWND> shown = Dialogs();
            return (dlg = shown.empty() ? nullptr : shown[0]) != nullptr;
        }, 60)) << "the dialog did not appear";
        DWORD pid = 0;
        GetWindowThreadProcessId(dlg, &pid);
        CloseHandle(dialogProcess);
        dialogProcess = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, pid);
        return dlg;
    }

    // Whether a process of the openings still runs: one in the job, or the
    // dialog's own, unless `butTheDialog`.
    bool HostsRunning(bool butTheDialog = false)
    {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr);
        BOOL inJob = FALSE;
        const bool dialogRuns = dialogProcess && WaitForSingleObject(dialogProcess, 0) == WAIT_TIMEOUT;
        if (dialogRuns && butTheDialog && IsProcessInJob(dialogProcess, job, &inJob) && inJob)
            info.ActiveProcesses--;
        return info.ActiveProcesses > 0 || (dialogRuns && !butTheDialog);
    }

    bool HostsEnded(DWORD seconds = 30)
    {
        return WaitFor([&] { return !HostsRunning(); }, seconds);
    }

    HANDLE job = nullptr, dialogProcess = nullptr;
};

// Opened twice at the same moment: one dialog, whichever opening got it,
// and the other opening ends by itself. DOS and OK there save, and no
// dialog is left behind to write its older value back.
TEST_F(ControlPanel, TwoOpeningsAtOnceGiveOneDialogThatSaves)
{
    Open();
    Open();
    HWND dlg = OpenedDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(WaitFor([&] { return !HostsRunning(true); })) << "the other opening did not end by itself";
    ClickControl(GetDlgItem(dlg, kDos));
    EXPECT_TRUE(WaitFor([&] { return Checked(dlg, kDos); }));
    ClickControl(GetDlgItem(dlg, IDOK));
    EXPECT_TRUE(WaitFor([] { return Dialogs().empty(); })) << "a second dialog is left";
    EXPECT_TRUE(HostsEnded());
    EXPECT_EQ(StoredValue("Lumasyn", "patch110"), "0");
}

// N4.INI can be read but not written, as the Windows directory is to a
// standard user: another program holds it for writing and shares only
// reading (Wine has no UAC, and an administrator's or root's write to a
// read-only file may succeed). The refusal is explained; the dialog stays
// with DOS checked; once the cause is gone, OK saves. Or Windows closes
// the program while the box is up, as the Restart Manager does for an
// update: box and dialog end, the host exits by itself, nothing written.
TEST_F(ControlPanel, RefusedSaveIsExplainedThenSavedOrClosedByWindows)
{
    for (bool windowsCloses : {false, true}) {
        SCOPED_TRACE(windowsCloses ? "Windows closes the program" : "OK again");
        SetProfileText("[Lumasyn]\r\npatch110=1\r\n");
        HANDLE hold = CreateFileA(ProfilePath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(hold, INVALID_HANDLE_VALUE);
        Open();
        HWND dlg = OpenedDialog(), box = nullptr;
        ASSERT_NE(dlg, nullptr);
        ClickControl(GetDlgItem(dlg, kDos));
        ClickControl(GetDlgItem(dlg, IDOK));
        // The box has the dialog's caption, not its buttons, and is the enabled one.
        ASSERT_TRUE(WaitFor([&] { return (box = FindTitled(kTitle)) != nullptr && !GetDlgItem(box, kDos); }))
            << "no message box after the refused OK";
        char text[1100] = "";
        SendMessageA(GetDlgItem(box, 0xFFFF), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
        for (const std::string &part : {ProfilePath(), SystemText(ERROR_SHARING_VIOLATION)})
            EXPECT_NE(std::string(text).find(part), std::string::npos) << part << " is not in: " << text;
        if (windowsCloses) {
            CloseAsTheRestartManagerDoes(dlg);
        } else {
            ClickControl(GetDlgItem(box, IDOK));
            EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(dlg) && Checked(dlg, kDos); }))
                << "the dialog is not back with DOS checked";
            EXPECT_EQ(StoredValue("Lumasyn", "patch110"), "1") << "N4.INI changed while refused";
            CloseHandle(hold);
            hold = INVALID_HANDLE_VALUE;    // the process's pseudo handle: closing it does nothing
            ClickControl(GetDlgItem(dlg, IDOK));
        }
        EXPECT_TRUE(HostsEnded());
        CloseHandle(hold);
        EXPECT_EQ(StoredValue("Lumasyn", "patch110"), windowsCloses ? "1" : "0");
    }
}

// Without LMSN110.DLL no dialog opens while the opening runs, and nothing
// is written.
TEST_F(ControlPanel, WithoutTheLibraryNoDialogOpens)
{
    RemoveFile(LumasynPath());
    Open();
    bool seen = false;
    EXPECT_TRUE(WaitFor([&] {
        seen = seen || !Dialogs().empty();
        return seen || !HostsRunning();
    }));
    EXPECT_FALSE(seen);
    std::string bytes;
    EXPECT_FALSE(ReadBytes(ProfilePath(), bytes)) << "N4.INI was written";
}

// The Restart Manager, asked to shut down what has veldrano.cpl loaded, as
// an installation does before it replaces the file: the host ends, the
// choice not saved with OK is lost, and nothing is written.
TEST_F(ControlPanel, RestartManagerClosesTheHost)
{
    SKIP_UNDER_WINE("Restart Manager: its functions answer success and close nothing");
    Open();
    HWND dlg = OpenedDialog();
    ASSERT_NE(dlg, nullptr);
    ClickControl(GetDlgItem(dlg, kDos));
    ASSERT_TRUE(WaitFor([&] { return Checked(dlg, kDos); }));
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = L"";
    ASSERT_EQ(RmStartSession(&session, 0, key), DWORD(ERROR_SUCCESS));
    const std::string path = AppletPath();
    const std::wstring applet(path.begin(), path.end());
    LPCWSTR files[] = {applet.c_str()};
    EXPECT_EQ(RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(RmShutdown(session, 0, nullptr), DWORD(ERROR_SUCCESS));
    RmEndSession(session);
    EXPECT_TRUE(HostsEnded());
    EXPECT_EQ(StoredValue("Lumasyn", "patch110"), "<none>");
}
