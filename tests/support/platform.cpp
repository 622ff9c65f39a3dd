#include "platform.h"

#include <windows.h>
#include <winioctl.h>
#include <stdio.h>

#include <vector>

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

// Runs a Unix program under Wine, which starts one given its path.
static bool RunUnix(const std::string &line)
{
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    std::string command = line;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    ExitCode(pi, 10000, line);      // Wine reports no Unix exit code: callers look at the result
    return true;
}

static std::string UnixPath(const std::string &path)
{
    auto unixName = reinterpret_cast<char *(CDECL *)(LPCWSTR)>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    const std::wstring wide(path.begin(), path.end());
    char *name = unixName ? unixName(wide.c_str()) : nullptr;
    const std::string unix = name ? name : path;
    HeapFree(GetProcessHeap(), 0, name);
    return "\"" + unix + "\"";
}

bool MakeLink(const std::string &link, const std::string &target, bool folder)
{
    if (UnderWine()) {
        RunUnix("/bin/ln -s " + UnixPath(target) + " " + UnixPath(link));
    } else if (!folder) {
        CreateSymbolicLinkA(link.c_str(), target.c_str(), 0);
    } else if (CreateDirectoryA(link.c_str(), nullptr)) {
        // A mount point's reparse data: the target as the object manager
        // names it, then an empty name to print.
        const std::string nt = "\\??\\" + target;
        const std::wstring names = std::wstring(nt.begin(), nt.end()) + L'\0' + L'\0';
        const WORD cbNames = WORD(names.size() * sizeof(wchar_t)), cbData = WORD(8 + cbNames);
        std::vector<BYTE> data(8 + cbData);
        *reinterpret_cast<DWORD *>(&data[0]) = IO_REPARSE_TAG_MOUNT_POINT;
        const WORD fields[] = {cbData, 0, 0, WORD(cbNames - 4), WORD(cbNames - 2), 0};
        memcpy(&data[4], fields, sizeof fields);
        memcpy(&data[16], names.data(), cbNames);
        HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        DWORD got = 0;
        DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, data.data(), DWORD(data.size()), nullptr, 0, &got, nullptr);
        CloseHandle(h);
    }
    return (GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || UnderWine();
}

void RemoveLink(const std::string &link)
{
    if (UnderWine())
        RunUnix("/bin/rm -f " + UnixPath(link));
    else if (!RemoveDirectoryA(link.c_str()))
        DeleteFileA(link.c_str());
}
