// N4.INI, where the Lumasyn driver keeps its settings: the "Files:" choice
// is "patch110" in section "Lumasyn", 1 for Windows file handling and 0 for
// DOS. The profile functions find it by its bare name in the Windows
// directory; the copies that programs may read instead are copies.cpp's.
// Only administrators may write the Windows directory, so N4.INI is read
// and written there by name, with the ANSI functions every Windows has.
#include <windows.h>

#include "config.h"

// The names are fixed by the applet's design, bN4Ini's "b" too.
extern const char bN4Ini[] = "N4.INI";
static const char szSection[] = "Lumasyn";
static const char szItem[] = "patch110";

// A hold is tried again every dwHeldStep.
constexpr DWORD dwHeldStep = 50;    // milliseconds

// No N4.INI is larger: a file that is holds something else, which the
// profile functions would read in part and a write would cut short.
constexpr DWORD cbLargestProfile = 1024 * 1024;

BOOL JoinPath(WCHAR *szPath, UINT cchPath, LPCWSTR lpFolder, LPCWSTR lpName)
{
    UINT cch = 0;
    for (LPCWSTR lp = lpFolder; *lp != L'\0'; lp++)
        if (cch < cchPath)
            szPath[cch++] = *lp;
    if (cch > 0 && cch < cchPath && szPath[cch - 1] != L'\\')
        szPath[cch++] = L'\\';
    for (LPCWSTR lp = lpName;; lp++) {
        if (cch == cchPath) {
            szPath[cchPath - 1] = L'\0';
            return FALSE;
        }
        if ((szPath[cch++] = *lp) == L'\0')
            return TRUE;
    }
}

BOOL WaitWhileHeld(DWORD *pdwWaitLeft, DWORD *pdwError)
{
    *pdwError = GetLastError();
    if ((*pdwError != ERROR_SHARING_VIOLATION && *pdwError != ERROR_LOCK_VIOLATION) || *pdwWaitLeft < dwHeldStep)
        return FALSE;
    Sleep(dwHeldStep);
    *pdwWaitLeft -= dwHeldStep;
    return TRUE;
}

DWORD CheckProfileFile(HANDLE hFile)
{
    // A device (a link to NUL, a pipe, a console) has no size to read, and
    // reading one may never end.
    if (GetFileType(hFile) != FILE_TYPE_DISK)
        return dwErrorNotAFile;
    DWORD cbHigh, cbLow = GetFileSize(hFile, &cbHigh);
    if (cbLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return GetLastError();
    return cbHigh == 0 && cbLow <= cbLargestProfile ? ERROR_SUCCESS : dwErrorTooLarge;
}

// N4.INI's path: in szPathA for opening it, in szPath for telling it.
static void N4IniPath(char *szPathA, WCHAR *szPath)
{
    UINT cch = GetWindowsDirectoryA(szPathA, MAX_PATH - 8);
    cch = cch < MAX_PATH - 8 ? cch : 0;
    szPathA[cch++] = '\\';
    for (LPCSTR lp = bN4Ini; (szPathA[cch++] = *lp) != '\0'; lp++)
        ;
    MultiByteToWideChar(CP_ACP, 0, szPathA, -1, szPath, MAX_PATH);
}

BOOL WritePrivateProfileInt(LPCSTR lpSection, LPCSTR lpEntry, int param, LPCSTR lpIniName)
{
    char szInteger[14];     // "-2147483648" and its terminator fit
    wsprintfA(szInteger, "%d", param);
    return WritePrivateProfileStringA(lpSection, lpEntry, szInteger, lpIniName);
}

// Holds N4.INI open for reading, sharing reading and writing but not
// deleting (while open, it cannot be renamed, deleted or replaced), once
// another program's brief hold is over; *phFile is INVALID_HANDLE_VALUE
// unless it answers TRUE. FALSE with the error where it cannot be opened
// or is no profile file.
static BOOL HoldN4Ini(LPCSTR lpPath, HANDLE *phFile, DWORD *pdwError)
{
    DWORD dwWaitLeft = dwFileWait;
    while ((*phFile = CreateFileA(lpPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr)) == INVALID_HANDLE_VALUE)
        if (!WaitWhileHeld(&dwWaitLeft, pdwError))
            return FALSE;
    if ((*pdwError = CheckProfileFile(*phFile)) == ERROR_SUCCESS)
        return TRUE;
    CloseHandle(*phFile);
    *phFile = INVALID_HANDLE_VALUE;
    return FALSE;
}

// Reads patch110 while N4.INI is held, so that no program takes it for
// itself in between, with iDefault where nothing is stored. The profile
// functions keep the file they used last in a cache: a read back (with
// iNotStored) first drops it with the call that gives nothing but its name
// (WritePrivateProfileString's page), so that what is read is what the
// file holds.
static BOOL ReadHeld(LPCSTR lpPath, INT iDefault, int *piValue, DWORD *pdwError)
{
    HANDLE hFile;
    if (!HoldN4Ini(lpPath, &hFile, pdwError) && !NotThere(*pdwError))
        return FALSE;
    if (iDefault == iNotStored)
        WritePrivateProfileStringA(nullptr, nullptr, nullptr, bN4Ini);
    *piValue = static_cast<int>(GetPrivateProfileIntA(szSection, szItem, iDefault, bN4Ini));
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return TRUE;
}

// A file that exists and cannot be opened (held by another program for
// longer than a moment, access denied, a folder or a device in its place)
// or is too large gives FALSE with the error: its value is not known.
BOOL ReadPatch110(int *piValue, WCHAR *szPath, DWORD *pdwError)
{
    char szPathA[MAX_PATH];
    N4IniPath(szPathA, szPath);
    return ReadHeld(szPathA, 1, piValue, pdwError);
}

// The write is read back, after a brief hold too: a writer that a full
// disk refuses may still answer TRUE (seen under Wine, with the file cut
// short).
BOOL WritePatch110(int iValue, WCHAR *szPath, DWORD *pdwError)
{
    char szPathA[MAX_PATH];
    DWORD dwWaitLeft = dwFileWait;
    int iStored;
    N4IniPath(szPathA, szPath);
    while (!WritePrivateProfileInt(szSection, szItem, iValue, bN4Ini))
        if (!WaitWhileHeld(&dwWaitLeft, pdwError))
            return FALSE;
    if (!ReadHeld(szPathA, iNotStored, &iStored, pdwError))
        return FALSE;
    *pdwError = dwErrorNotSaved;
    return iStored == iValue;
}
