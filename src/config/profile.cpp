// N4.INI, where the Lumasyn driver keeps its settings: the "Files:" choice
// is "patch110" in section "Lumasyn", 1 for Windows file handling and 0 for
// DOS. The profile functions find it by its bare name in the Windows
// directory; the copies that programs may read instead are copies.cpp's.
#include <windows.h>

#include "config.h"

// The names are fixed by the applet's design, bN4Ini's "b" too.
extern const char bN4Ini[] = "N4.INI";
static const char szSection[] = "Lumasyn";
static const char szItem[] = "patch110";

// Backup, indexing, antivirus and sync tools, and the driver's own
// programs, hold the file for a few milliseconds at a time. A read or
// write refused for that is tried again, every dwHeldStep, for about half
// a second, before the user is told.
constexpr DWORD dwHeldStep = 50;    // milliseconds
constexpr int cHeldRetries = 10;

// No N4.INI is larger: a file that is holds something else, which the
// profile functions would read in part and a write would cut short.
constexpr DWORD cbLargestProfile = 1024 * 1024;

// Neither 0 nor 1: what a read back gives where the line did not land.
constexpr INT iNotStored = 2;

// Appends lpText at szPath[*pcch]; FALSE, with szPath cut, when it does
// not fit in cchPath characters with its terminator.
static BOOL AppendText(char *szPath, UINT cchPath, UINT *pcch, LPCSTR lpText)
{
    for (UINT cch = *pcch; cch < cchPath; cch++) {
        szPath[cch] = *lpText++;
        if (szPath[cch] == '\0') {
            *pcch = cch;
            return TRUE;
        }
    }
    szPath[cchPath - 1] = '\0';
    return FALSE;
}

BOOL JoinPath(char *szPath, UINT cchPath, LPCSTR lpFolder, LPCSTR lpName)
{
    UINT cch = 0;
    return AppendText(szPath, cchPath, &cch, lpFolder) &&
           (cch == 0 || szPath[cch - 1] == '\\' || AppendText(szPath, cchPath, &cch, "\\")) &&
           AppendText(szPath, cchPath, &cch, lpName);
}

static void N4IniPath(char *szPath)
{
    char szWindows[MAX_PATH];
    UINT cch = GetWindowsDirectoryA(szWindows, MAX_PATH);
    szWindows[cch < MAX_PATH ? cch : 0] = '\0';
    JoinPath(szPath, cchN4IniPath, szWindows, bN4Ini);
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
static BOOL TryWhileHeld(LPCSTR lpIniName, int iValue, HANDLE *phFile, DWORD dwFlags, DWORD *pdwError)
{
    for (int iRetries = cHeldRetries;; iRetries--) {
        BOOL bDone;
        if (phFile != nullptr) {
            // Shared both ways: a program that only writes it does not count,
            // and the profile functions' own writes go on (as seen under Wine,
            // which opens it to write sharing reading and writing). Not
            // deleting: while open, it cannot be renamed, deleted or replaced.
            *phFile = CreateFileA(lpIniName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, dwFlags, nullptr);
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

BOOL OpenProfile(LPCSTR lpPath, DWORD dwFlags, HANDLE *phFile, BY_HANDLE_FILE_INFORMATION *pfi, DWORD *pdwError)
{
    if (!TryWhileHeld(lpPath, 0, phFile, dwFlags, pdwError))
        return FALSE;
    if (GetFileInformationByHandle(*phFile, pfi) && pfi->nFileSizeHigh == 0 && pfi->nFileSizeLow <= cbLargestProfile)
        return TRUE;
    CloseHandle(*phFile);
    *phFile = INVALID_HANDLE_VALUE;
    *pdwError = dwErrorTooLarge;
    return FALSE;
}

// Reads the stored choice. N4.INI is held open while the profile is read,
// so that no program can take it for itself in between. A file that
// exists and cannot be opened (held by another program for longer than a
// moment, access denied, a folder in its place) or is too large gives
// FALSE with the error: its value is not known.
BOOL ReadPatch110(int *piValue, char *szPath, DWORD *pdwError)
{
    HANDLE hFile;
    BY_HANDLE_FILE_INFORMATION fi;
    N4IniPath(szPath);
    if (!OpenProfile(szPath, 0, &hFile, &fi, pdwError) && *pdwError != ERROR_FILE_NOT_FOUND &&
        *pdwError != ERROR_PATH_NOT_FOUND)
        return FALSE;
    *piValue = static_cast<int>(GetPrivateProfileIntA(szSection, szItem, 1, bN4Ini));
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return TRUE;
}

// The profile functions keep the file they used last in a cache: the call
// with nothing but its name drops it (WritePrivateProfileString's page), so
// that what is read is what the file holds. The writer a full disk refuses
// may still answer TRUE (seen under Wine, with the file cut short).
BOOL HoldsPatch110(LPCSTR lpPath, int iValue)
{
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, lpPath);
    return GetPrivateProfileIntA(szSection, szItem, iNotStored, lpPath) == static_cast<UINT>(iValue);
}

BOOL SetPatch110(LPCSTR lpPath, int iValue, DWORD *pdwError)
{
    if (!TryWhileHeld(lpPath, iValue, nullptr, 0, pdwError))
        return FALSE;
    if (HoldsPatch110(lpPath, iValue))
        return TRUE;
    *pdwError = dwErrorNotSaved;
    return FALSE;
}

BOOL WritePatch110(int iValue, char *szPath, DWORD *pdwError)
{
    N4IniPath(szPath);
    return SetPatch110(bN4Ini, iValue, pdwError);
}
