#include "platform.h"

#include <windows.h>
#include <stdio.h>

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

const char kCopyHoldAssumption[] = "assumed, not documented by Microsoft: WritePrivateProfileString writes a file "
                                   "another handle holds open for reading, sharing reading and writing";

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

// Runs `line` and waits for it; Wine starts a Unix program given its path,
// and reports no exit code of one: callers look at the result.
static void RunLine(std::string line)
{
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        ExitCode(pi, 10000, line);
}

static std::string UnixPath(const std::string &path)
{
    auto unixName = reinterpret_cast<char *(CDECL *)(LPCWSTR)>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    const std::wstring wide(path.begin(), path.end());
    char *name = unixName(wide.c_str());
    const std::string unix = name ? name : path;
    HeapFree(GetProcessHeap(), 0, name);
    return "\"" + unix + "\"";
}

Link::Link(const std::string &path, const std::string &target, bool folder) : link(path)
{
    if (UnderWine())
        RunLine("/bin/ln -s " + UnixPath(target) + " " + UnixPath(link));
    else    // a junction is FSCTL_SET_REPARSE_POINT's mount point
        RunLine("cmd.exe /c mklink " + std::string(folder ? "/J " : "") + "\"" + link + "\" \"" + target + "\"");
    const DWORD attributes = GetFileAttributesA(link.c_str());
    made = UnderWine() || (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

Link::~Link()
{
    if (UnderWine())
        RunLine("/bin/rm -f " + UnixPath(link));
    else if (!RemoveDirectoryA(link.c_str()))
        DeleteFileA(link.c_str());
}
