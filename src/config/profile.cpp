// N4.INI, where the Lumasyn driver keeps its settings: the "Files:" choice
// is "patch110" in section "Lumasyn", 1 for Windows file handling and 0 for
// DOS. The profile functions find it by its bare name in the Windows
// directory. A program that uses the driver may read a copy of its own
// instead, which a save must set too:
//  - UAC file virtualisation: a 32-bit program with no requested execution
//    level that has written N4.INI without elevation reads
//    %LOCALAPPDATA%\VirtualStore\ + the Windows directory below its drive
//    root + \N4.INI;
//  - a Remote Desktop Session Host gives a program that is not Terminal
//    Services aware a private Windows directory, WINDOWS in the user's home
//    folder: %HOMEDRIVE%%HOMEPATH%, which is the profile unless the account
//    has a home folder of its own.
// The variables are those of the account this process runs as. A copy that
// does not exist is never made: it would start redirecting a program's
// reads.
#include <windows.h>

#include "config.h"

static const char bN4Ini[] = "N4.INI";
static const char szSection[] = "Lumasyn";
static const char szItem[] = "patch110";

// Backup, indexing, antivirus and sync tools, and the driver's own
// programs, hold the file for a few milliseconds at a time. A read or
// write refused for that is tried again, every dwHeldStep, for about half
// a second, before the user is told.
constexpr DWORD dwHeldStep = 50;    // milliseconds
constexpr int cHeldRetries = 10;

// Appends lpText to the *pcch characters of szPath, which holds
// cchN4IniPath; FALSE, with szPath unusable, when it does not fit.
static BOOL AppendText(char *szPath, UINT *pcch, LPCSTR lpText)
{
    for (UINT cch = *pcch; cch < cchN4IniPath; cch++) {
        szPath[cch] = *lpText++;
        if (szPath[cch] == '\0') {
            *pcch = cch;
            return TRUE;
        }
    }
    return FALSE;
}

// Ends the folder in szPath, cch characters long, with \N4.INI. A folder
// path ends with a backslash only when it is a root such as "C:\".
static BOOL AppendN4Ini(char *szPath, UINT cch)
{
    if (cch > 0 && szPath[cch - 1] != '\\')
        szPath[cch++] = '\\';
    return AppendText(szPath, &cch, bN4Ini);
}

static void N4IniPath(char *szPath)
{
    UINT cch = GetWindowsDirectoryA(szPath, MAX_PATH);
    if (cch >= MAX_PATH)
        cch = 0;
    AppendN4Ini(szPath, cch);
}

// The folders of the per-user copies, each followed by its place below:
// the virtual store mirrors the Windows directory's path below its drive
// root, "C:\Windows" as "...\VirtualStore\Windows"; the session host's
// private Windows directory is WINDOWS in the home folder. A variable that
// is not set stays as written, "%NAME%" (Windows XP has no LOCALAPPDATA),
// and that copy is skipped.
static const char *const rgszCopyFolder[] = {"%LOCALAPPDATA%\\VirtualStore", "%HOMEDRIVE%%HOMEPATH%\\WINDOWS"};
constexpr int cCopies = sizeof rgszCopyFolder / sizeof rgszCopyFolder[0];

// The path of per-user copy iCopy into szPath; FALSE where it does not
// apply here. lpBelow follows the virtual store's folder.
static BOOL CopyPath(int iCopy, LPCSTR lpBelow, char *szPath)
{
    UINT cch = ExpandEnvironmentStringsA(rgszCopyFolder[iCopy], szPath, MAX_PATH);
    if (cch == 0 || cch > MAX_PATH || szPath[0] == '%')
        return FALSE;
    cch--;      // the count includes the terminator
    return (iCopy != 0 || AppendText(szPath, &cch, lpBelow)) && AppendN4Ini(szPath, cch);
}

BOOL WritePrivateProfileInt(LPCSTR lpSection, LPCSTR lpEntry, int param, LPCSTR lpIniName)
{
    char szInteger[14];     // "-2147483648" and its terminator fit
    wsprintfA(szInteger, "%d", param);
    return WritePrivateProfileStringA(lpSection, lpEntry, szInteger, lpIniName);
}

// Opens the profile lpIniName for reading into *phFile or, without
// phFile, writes iValue into it; tries again while another program holds
// it. FALSE with the error of the last try.
static BOOL TryWhileHeld(LPCSTR lpIniName, int iValue, HANDLE *phFile, DWORD *pdwError)
{
    for (int iRetries = cHeldRetries;; iRetries--) {
        BOOL bDone;
        if (phFile != nullptr) {
            // Shared both ways: a program that only writes it does not count.
            *phFile = CreateFileA(lpIniName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
            bDone = *phFile != INVALID_HANDLE_VALUE;
        } else {
            bDone = WritePrivateProfileInt(szSection, szItem, iValue, lpIniName);
        }
        if (bDone)
            return TRUE;
        *pdwError = GetLastError();
        if ((*pdwError != ERROR_SHARING_VIOLATION && *pdwError != ERROR_LOCK_VIOLATION) || iRetries == 0)
            return FALSE;
        Sleep(dwHeldStep);
    }
}

// Reads the stored choice. N4.INI is held open while the profile is read,
// so that no program can take it for itself in between. A file that
// exists and cannot be opened (held by another program for longer than a
// moment, access denied, a folder in its place) gives FALSE with the
// error: its value is not known.
BOOL ReadPatch110(int *piValue, char *szPath, DWORD *pdwError)
{
    HANDLE hFile;
    N4IniPath(szPath);
    if (!TryWhileHeld(szPath, 0, &hFile, pdwError) && *pdwError != ERROR_FILE_NOT_FOUND &&
        *pdwError != ERROR_PATH_NOT_FOUND)
        return FALSE;
    *piValue = static_cast<int>(GetPrivateProfileIntA(szSection, szItem, 1, bN4Ini));
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return TRUE;
}

BOOL WritePatch110(int iValue, char *szFailedPath, DWORD *pdwError)
{
    if (!TryWhileHeld(bN4Ini, iValue, nullptr, pdwError)) {
        N4IniPath(szFailedPath);
        return FALSE;
    }
    // The system's shared Windows directory, even where this process is
    // given a private one. Windows before 2000 has neither
    // GetSystemWindowsDirectoryA nor per-user copies (no virtual store, and
    // no session host but NT 4 Terminal Server, which has the function):
    // looked up, not imported, so that the applet still loads there, and
    // without it no copy is looked for.
    typedef UINT(WINAPI * GETDIR)(LPSTR, UINT);
    GETDIR pfnGetSystemWindowsDirectory = reinterpret_cast<GETDIR>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("KERNEL32"), "GetSystemWindowsDirectoryA")));
    char szWindows[MAX_PATH];
    UINT cchWindows = pfnGetSystemWindowsDirectory ? pfnGetSystemWindowsDirectory(szWindows, MAX_PATH) : 0;
    if (cchWindows < 2 || cchWindows >= MAX_PATH)
        return TRUE;
    for (int iCopy = 0; iCopy < cCopies; iCopy++) {
        if (!CopyPath(iCopy, szWindows + 2, szFailedPath))
            continue;
        // Only a copy that is not there is left alone; one that cannot be
        // looked at is tried, so that the write tells why.
        if (GetFileAttributesA(szFailedPath) == INVALID_FILE_ATTRIBUTES) {
            DWORD dwError = GetLastError();
            if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
                continue;
        }
        if (!TryWhileHeld(szFailedPath, iValue, nullptr, pdwError))
            return FALSE;
    }
    return TRUE;
}
