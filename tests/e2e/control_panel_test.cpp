// End to end: the system's Control Panel host, control.exe, runs the built
// applet, and the test works its dialog as a user would. The dialog is
// found by its caption in whatever process shows it: on 64-bit Windows the
// 64-bit control.exe hands a 32-bit item to a 32-bit host of its own and
// may exit at once, so each opening starts inside a job object of its own,
// which holds it and every process it starts, and ends them all when the
// test ends or dies. The jobs report to a completion port: a process of an
// opening that crashes fails the test, which "no dialog, nothing written"
// alone would let pass. Every wait here ends well inside the test's time
// limit, with what it saw.
#include <windows.h>
#include <restartmanager.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../support/files.h"
#include "../support/platform.h"
#include "../support/texts.h"
#include "../../tools/window.h"

namespace {


bool WaitFor(const std::function<bool()> &done, DWORD seconds = 10)
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
    if (IsWindowVisible(hwnd) && lstrcmpA(title, kCaption) == 0 && GetDlgItem(hwnd, kDos) != nullptr)
        reinterpret_cast<std::vector<HWND> *>(found)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> Dialogs()
{
    std::vector<HWND> found;
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

// A message to another process's window, which a hung host answers with
// 0 at once, or after 5 s, rather than never.
DWORD_PTR Ask(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &answer);
    return answer;
}

bool Checked(HWND dlg, int id) { return Ask(GetDlgItem(dlg, id), BM_GETCHECK) == BST_CHECKED; }

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

// The Control Panel a user starts. On 64-bit Windows a 32-bit program's
// "control.exe" is SysWOW64's (File System Redirector), which would skip
// the 64-bit one's hand-off; Sysnative reaches it. Wine's 64-bit
// control.exe shows no dialog for a 32-bit item: under Wine the 32-bit one.
std::string ControlExe()
{
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    return wow64 && !UnderWine() ? WindowsDir() + "\\Sysnative\\control.exe" : "control.exe";
}

std::string Hex(DWORD value)
{
    char text[16];
    wsprintfA(text, "0x%08lX", value);
    return text;
}

JOBOBJECT_BASIC_ACCOUNTING_INFORMATION Accounting(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr);
    return info;
}

}  // namespace

class ControlPanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string refused = RefuseUnlessThrowaway(), desktop = NoInteractiveDesktop();
        ASSERT_EQ(refused, "");
        ASSERT_EQ(desktop, "");
        // Wine starts its desktop's process, explorer.exe, for the first
        // process that asks for the desktop window, as its child: asked
        // here, it is this program's, not in an opening's job.
        GetDesktopWindow();
        RemoveProfile();
        ASSERT_TRUE(WriteBytes(LumasynPath(), MarkedLumasyn()));
    }

    void TearDown() override
    {
        if (!RefuseUnlessThrowaway().empty())
            return;
        if (HasFailure())
            SaveScreen(ExeDir() + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bmp");
        for (HWND dlg : Dialogs())
            PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
        const bool ended = !HasFailure() && WaitFor([&] { return Running() == 0; }, 5);
        Watch();
        for (auto &process : processes)     // what the port did not report
            Crashed(process.first, false);
        EXPECT_EQ(crashed, "") << "a process of an opening ended abnormally";
        for (HANDLE job : jobs) {
            if (!ended)
                TerminateJobObject(job, 1);
            CloseHandle(job);
        }
        for (auto &process : processes)
            CloseHandle(process.second);
        if (port)
            CloseHandle(port);
        RemoveFile(LumasynPath());
        RemoveProfile();
    }

    // An opening: control.exe with the applet beside this program, which
    // is where OpenFile finds LMSN110.DLL (the current directory and
    // PATH), in a job of its own that ends its processes when closed.
    void Open()
    {
        static const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
        SetEnvironmentVariableA("PATH", (ExeDir() + ";" + path).c_str());
        HANDLE job = CreateJobObjectA(nullptr, nullptr);
        ASSERT_NE(job, nullptr) << "error " << GetLastError();
        jobs.push_back(job);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit = {};
        limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        EXPECT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limit, sizeof limit))
            << "error " << GetLastError();
        if (port == nullptr)
            port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT report = {job, port};
        EXPECT_TRUE(SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &report, sizeof report))
            << "the job reports to no completion port: error " << GetLastError();
        std::string line = "\"" + ControlExe() + "\" \"" + AppletPath() + "\"";
        STARTUPINFOA si = {sizeof si};
        PROCESS_INFORMATION pi;
        ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                   ExeDir().c_str(), &si, &pi))
            << line << ": error " << GetLastError();
        EXPECT_TRUE(AssignProcessToJobObject(job, pi.hProcess)) << "error " << GetLastError();
        processes[pi.dwProcessId] = pi.hProcess;    // its exit code, should it crash
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);
        opened = GetTickCount();
    }

    // The dialog, once it shows, and the opening whose job holds its
    // process: a host outside the jobs would make every check of what
    // ended look at nothing.
    HWND OpenedDialog()
    {
        HWND dlg = nullptr;
        const bool shown = WaitFor([&] {
            std::vector<HWND> found = Dialogs();
            return (dlg = found.empty() ? nullptr : found[0]) != nullptr;
        }, 20);
        const HWND other = FindTitled(kCaption);
        EXPECT_TRUE(shown) << "no dialog within 20 s; " << Running() << " processes of the openings run"
                           << (other ? "; a window with its caption has " + Controls(other) : std::string());
        if (!shown)
            return nullptr;
        shownAfter = GetTickCount() - opened;
        DWORD pid = 0;
        GetWindowThreadProcessId(dlg, &pid);
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
        dialogJob = size_t(-1);
        for (size_t i = 0; i < jobs.size(); i++) {
            BOOL in = FALSE;
            if (process && IsProcessInJob(process, jobs[i], &in) && in)
                dialogJob = i;
        }
        if (process)
            CloseHandle(process);
        EXPECT_NE(dialogJob, size_t(-1)) << "the dialog's process " << pid << " is in no opening's job: assumed "
                                         << "that control.exe starts the host of a 32-bit item itself";
        return dlg;
    }

    // What the jobs reported: each new process is opened at once, so that
    // its exit code can still be read when it ends abnormally.
    void Watch()
    {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED data = nullptr;
        while (port && GetQueuedCompletionStatus(port, &message, &key, &data, 0)) {
            const DWORD pid = DWORD(reinterpret_cast<ULONG_PTR>(data));
            if (message == JOB_OBJECT_MSG_NEW_PROCESS && !processes.count(pid))
                processes[pid] = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
            if (message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS || message == JOB_OBJECT_MSG_EXIT_PROCESS)
                Crashed(pid, message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS);
        }
    }

    // A process of an opening that ended abnormally: as its job reports it,
    // or by an exit code of an exception (0xC0000000 and above: Windows
    // documents no list of abnormal codes, and the port may drop a message).
    void Crashed(DWORD pid, bool reported)
    {
        HANDLE process = processes.count(pid) ? processes[pid] : nullptr;
        DWORD code = 0;
        const bool coded = process && GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
        if ((!reported && !(coded && code >= 0xC0000000)) || told.count(pid))
            return;
        told[pid] = true;
        char name[MAX_PATH] = "(its name is gone)";
        DWORD size = sizeof name;
        if (process)
            QueryFullProcessImageNameA(process, 0, name, &size);
        crashed += std::string(name) + " (process " + std::to_string(pid) + ")" +
                   (coded ? ", exit code " + Hex(code) : "") + "; ";
    }

    // Processes of the openings still running, but for the job `except`.
    DWORD Running(size_t except = size_t(-1))
    {
        Watch();
        DWORD running = 0;
        for (size_t i = 0; i < jobs.size(); i++)
            if (i != except)
                running += Accounting(jobs[i]).ActiveProcesses;
        return running;
    }

    bool HostsEnded() { return WaitFor([&] { return Running() == 0; }); }

    std::vector<HANDLE> jobs;
    HANDLE port = nullptr;
    std::map<DWORD, HANDLE> processes;
    std::string crashed;    // what ended abnormally
    std::map<DWORD, bool> told;
    size_t dialogJob = size_t(-1);
    DWORD opened = 0, shownAfter = 0;
};

// Opened twice at the same moment: one dialog, whichever opening got it,
// and the other opening ends by itself. DOS and OK there save, and no
// dialog is left behind to write its older value back.
TEST_F(ControlPanel, TwoOpeningsAtOnceGiveOneDialogThatSaves)
{
    // The applet waits ten seconds for the holder's dialog, then opens its
    // own: a host slower than that to show it gives two. So the two race
    // on a host that has started once, and the time a cold one took to
    // show its dialog is told with any failure.
    Open();
    HWND first = OpenedDialog();
    ASSERT_NE(first, nullptr);
    std::string saw = "; a first, single opening showed its dialog after " + std::to_string(shownAfter) +
                            " ms, the two openings theirs after ";
    ClickControl(GetDlgItem(first, IDCANCEL));
    ASSERT_TRUE(HostsEnded()) << Running() << " processes of the first opening run after Cancel";
    Open();
    Open();
    HWND dlg = OpenedDialog();
    ASSERT_NE(dlg, nullptr);
    saw += std::to_string(shownAfter) + " ms";
    ASSERT_TRUE(WaitFor([&] { return Running(dialogJob) == 0; }, 15))
        << "the other opening did not end by itself: " << Running(dialogJob) << " of its processes run, "
        << Dialogs().size() << " dialogs show" << saw;
    ClickControl(GetDlgItem(dlg, kDos));
    ASSERT_TRUE(WaitFor([&] { return Checked(dlg, kDos); }));
    ClickControl(GetDlgItem(dlg, IDOK));
    ASSERT_TRUE(WaitFor([] { return Dialogs().empty(); })) << Dialogs().size() << " dialogs are left" << saw;
    EXPECT_TRUE(HostsEnded()) << Running() << " processes of the openings run";
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
        std::unique_ptr<void, BOOL(WINAPI *)(HANDLE)> hold(
            CreateFileA(ProfilePath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            CloseHandle);
        ASSERT_NE(hold.get(), INVALID_HANDLE_VALUE);
        Open();
        HWND dlg = OpenedDialog(), box = nullptr;
        ASSERT_NE(dlg, nullptr);
        ClickControl(GetDlgItem(dlg, kDos));
        ClickControl(GetDlgItem(dlg, IDOK));
        // The box has the dialog's caption, not its buttons, and is the enabled one.
        ASSERT_TRUE(WaitFor([&] { return (box = FindTitled(kCaption)) != nullptr && !GetDlgItem(box, kDos); }))
            << "no message box after the refused OK";
        ASSERT_TRUE(GetDlgItem(box, 0xFFFF) && GetDlgItem(box, IDOK)) << kBoxAssumption << "; this one has "
                                                                      << Controls(box);
        char text[1100] = "";
        Ask(GetDlgItem(box, 0xFFFF), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
        EXPECT_NE(std::string(text).find(ProfilePath()), std::string::npos) << text;
        EXPECT_NE(std::string(text).find(SystemText(ERROR_SHARING_VIOLATION)), std::string::npos)
            << kSharingAssumption << "; the box says: " << text;
        if (windowsCloses) {
            CloseAsTheRestartManagerDoes(dlg);
        } else {
            ClickControl(GetDlgItem(box, IDOK));
            ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(dlg) && Checked(dlg, kDos); }))
                << "the dialog is not back with DOS checked";
            EXPECT_EQ(StoredValue("Lumasyn", "patch110"), "1") << "N4.INI changed while refused";
            hold.reset();
            ClickControl(GetDlgItem(dlg, IDOK));
        }
        EXPECT_TRUE(HostsEnded()) << Running() << " processes of the opening run";
        hold.reset();
        EXPECT_EQ(StoredValue("Lumasyn", "patch110"), windowsCloses ? "1" : "0");
    }
}

// Without LMSN110.DLL no dialog opens, and nothing is written. That a host
// ran as far as the applet, the job's accounting shows: the opening runs
// as many processes as one that shows the dialog (on 64-bit Windows,
// control.exe and the 32-bit host it hands the item to).
TEST_F(ControlPanel, WithoutTheLibraryNoDialogOpens)
{
    Open();
    HWND dlg = OpenedDialog();
    ASSERT_NE(dlg, nullptr);
    ClickControl(GetDlgItem(dlg, IDCANCEL));
    ASSERT_TRUE(HostsEnded()) << Running() << " processes of the opening run after Cancel";
    const DWORD withLibrary = Accounting(jobs[0]).TotalProcesses;
    RemoveFile(LumasynPath());
    Open();
    bool seen = false;
    ASSERT_TRUE(WaitFor([&] {
        seen = seen || !Dialogs().empty();
        return seen || Running() == 0;
    }, 20)) << Running() << " processes of the opening still run";
    EXPECT_FALSE(seen);
    EXPECT_EQ(Accounting(jobs[1]).TotalProcesses, withLibrary)
        << "processes run by an opening without LMSN110.DLL and by one with it, whose dialog showed";
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
    // What it will close, and how: RM_APP_TYPE says an RmUnknownApp (0)
    // needs a forced shutdown; the call below does not force.
    RM_PROCESS_INFO apps[8];
    UINT needed = 0, count = 8;
    DWORD reasons = 0;
    EXPECT_EQ(RmGetList(session, &needed, &count, apps, &reasons), DWORD(ERROR_SUCCESS));
    std::string seen;
    for (UINT i = 0; i < count; i++) {
        char line[200];
        wsprintfA(line, "%.100ls (process %lu): type %d, status %lu; ", apps[i].strAppName, apps[i].Process.dwProcessId,
                  apps[i].ApplicationType, apps[i].AppStatus);
        seen += line;
    }
    printf("the Restart Manager sees %u: %s\n", count, seen.c_str());
    const std::string assumed = "assumed: RmShutdown without force closes the Control Panel's host, which it sees "
                                "as " + seen;
    EXPECT_EQ(RmShutdown(session, 0, nullptr), DWORD(ERROR_SUCCESS)) << assumed;
    RmEndSession(session);
    EXPECT_TRUE(HostsEnded()) << Running() << " processes of the opening run; " << assumed;
    EXPECT_EQ(StoredValue("Lumasyn", "patch110"), "<none>");
}
