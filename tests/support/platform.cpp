#include "platform.h"

#include <windows.h>
#include <stdio.h>

#include "files.h"

bool UnderWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

bool WineDeviation(bool happened, const char *what)
{
    if (!UnderWine() || !happened)
        return false;
    printf("known Wine deviation, accepted under Wine only: %s\n", what);
    return true;
}

const char kBoxAssumption[] = "assumed, not documented by Microsoft: a message box shows its text in control "
                              "0xFFFF and has the button IDOK";
const char kSharingAssumption[] = "assumed, not documented by Microsoft: WritePrivateProfileString fails with "
                                  "ERROR_SHARING_VIOLATION on a file another program holds for writing";


DWORD ExitCode(PROCESS_INFORMATION &pi, DWORD ms, const std::string &what)
{
    DWORD code = 0;
    if (WaitForSingleObject(pi.hProcess, ms) == WAIT_TIMEOUT) {
        ADD_FAILURE() << what << " did not end within " << ms / 1000 << " s";
        TerminateProcess(pi.hProcess, ERROR_TIMEOUT);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

std::string NoInteractiveDesktop()
{
    USEROBJECTFLAGS flags = {};
    DWORD size = 0;
    if (!GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &size) ||
        !(flags.dwFlags & WSF_VISIBLE))
        return "no interactive desktop: this window station is not the interactive one, and this test shows "
               "windows and clicks them";
    HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (input == nullptr)
        return "no interactive desktop: the input desktop cannot be opened (error " + std::to_string(GetLastError()) +
               "), and this test shows windows and clicks them";
    CloseDesktop(input);
    return "";
}

static BOOL CALLBACK DescribeControl(HWND control, LPARAM param)
{
    char cls[32] = "", text[128] = "", line[200];
    GetClassNameA(control, cls, sizeof cls);
    GetWindowTextA(control, text, sizeof text);
    wsprintfA(line, "%d %s \"%s\"; ", GetDlgCtrlID(control), cls, text);
    *reinterpret_cast<std::string *>(param) += line;
    return TRUE;
}

std::string Controls(HWND window)
{
    std::string found;
    EnumChildWindows(window, DescribeControl, reinterpret_cast<LPARAM>(&found));
    return found.empty() ? "no controls" : found;
}

// Runs `line` and answers its exit code, its output in the file `out`
// where one is named. Wine starts a Unix program given its path, and
// reports no exit code of one: callers look at the result.
static DWORD RunLine(const std::string &line, const std::string &out = "")
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi;
    std::wstring wide = Wide(line);
    if (!out.empty()) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError =
            CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    }
    const BOOL started = CreateProcessW(nullptr, &wide[0], nullptr, nullptr, !out.empty(), CREATE_NO_WINDOW, nullptr,
                                        nullptr, &si, &pi);
    if (!out.empty())
        CloseHandle(si.hStdOutput);
    return started ? ExitCode(pi, 120000, line) : GetLastError();
}

// A Windows path as Wine's Unix one; one that starts with "/" is one.
static std::string UnixPath(const std::string &path)
{
    auto unixName = reinterpret_cast<char *(CDECL *)(LPCWSTR)>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    char *name = path[0] == '/' ? nullptr : unixName(Wide(path).c_str());
    const std::string unix = name ? name : path;
    HeapFree(GetProcessHeap(), 0, name);
    return "\"" + unix + "\"";
}

// Whether the link is there (`there`) within 10 s. Under Wine a process
// started from a Unix command may be reported ended before the command
// is, so the wait is for what the command makes. A link to a device may
// show no attributes: it counts once it can be opened.
static bool Appears(const std::string &link, bool there)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(20)) {
        HANDLE h = CreateFileW(Wide(link).c_str(), 0, 7, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if ((h != INVALID_HANDLE_VALUE) == there)
            return true;
    }
    return false;
}

Link::Link(const std::string &path, const std::string &target, bool folder) : link(path)
{
    if (UnderWine())
        RunLine("/bin/ln -s " + UnixPath(target) + " " + UnixPath(link));
    else    // a junction is FSCTL_SET_REPARSE_POINT's mount point
        RunLine("cmd.exe /c mklink " + std::string(folder ? "/J " : "") + "\"" + link + "\" \"" + target + "\"");
    made = Appears(link, true) &&
           (UnderWine() || (GetFileAttributesW(Wide(link).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
}

Link::~Link()
{
    if (UnderWine())
        RunLine("/bin/rm -f " + UnixPath(link));
    else if (!RemoveDirectoryW(Wide(link).c_str()))
        DeleteFileW(Wide(link).c_str());
    EXPECT_TRUE(Appears(link, false)) << "the link at " << link << " is still there after 10 s";
}

// Runs diskpart with `commands`; "" when it ends with 0, else what it said.
static std::string Diskpart(const std::string &commands)
{
    const std::string script = ExeDir() + "\\diskpart.txt", out = ExeDir() + "\\diskpart.log";
    WriteBytes(script, commands);
    // The 64-bit diskpart, which a 32-bit program reaches through Sysnative.
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    const DWORD code = RunLine(WindowsDir() + (wow64 ? "\\Sysnative" : "\\System32") + "\\diskpart.exe /s \"" +
                               script + "\"", out);
    std::string said;
    ReadBytes(out, said);
    return code == 0 ? "" : "diskpart ended with " + std::to_string(code) + ": " + said;
}

MountedVolume::MountedVolume(const std::string &where) : folder(where), disk(ExeDir() + "\\veldrano-profile.vhdx")
{
    CreateDirectoryW(Wide(folder).c_str(), nullptr);
    error = Diskpart("create vdisk file=\"" + disk + "\" maximum=32 type=expandable\r\n"
                     "select vdisk file=\"" + disk + "\"\r\nattach vdisk\r\ncreate partition primary\r\n"
                     "format fs=ntfs quick label=Veldrano\r\nassign mount=\"" + folder + "\"\r\n");
    wchar_t volume[64];
    if (error.empty() && !GetVolumeNameForVolumeMountPointW(Wide(folder + "\\").c_str(), volume, 64))
        error = "nothing is mounted at " + folder + ": error " + std::to_string(GetLastError());
}

MountedVolume::~MountedVolume()
{
    DeleteVolumeMountPointW(Wide(folder + "\\").c_str());
    Diskpart("select vdisk file=\"" + disk + "\"\r\ndetach vdisk\r\n");
    DeleteFileW(Wide(disk).c_str());
}
