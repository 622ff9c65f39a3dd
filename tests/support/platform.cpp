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
