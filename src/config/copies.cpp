// The per-user copies of N4.INI, which programs that use the driver may
// read instead of the Windows directory's, and which OK sets too:
//  - UAC file virtualisation: a 32-bit program with no requested execution
//    level that has written N4.INI without elevation reads the copy in its
//    user's virtual store, AppData\Local\VirtualStore + the Windows
//    directory below its drive root + \N4.INI;
//  - a Remote Desktop Session Host gives a program that is not Terminal
//    Services aware a private Windows directory, WINDOWS in the user's home
//    folder, which is the profile unless the account has a home folder of
//    its own.
// First this account's own (%LOCALAPPDATA%, %HOMEDRIVE%%HOMEPATH%), then
// those of every profile of the computer, whoever confirmed the UAC prompt;
// the account's own are not tried again there. A copy that does not exist
// is never made: it would start redirecting a program's reads. One that
// holds the value already is left as it is.
//
// The dialog writes with an administrator's rights into folders each user
// owns, where the user could plant a junction, a symbolic link or a hard
// link to a file only administrators may write. So a copy is written only
// when its path leads to itself: the file is held open, then its final
// path (GetFinalPathNameByHandle, which resolves every link on the way)
// must be the profile folder's final path followed by the copy's place, and
// the file must have one name. Held without FILE_SHARE_DELETE, the file
// cannot be renamed or replaced, and the folders that hold it cannot be
// renamed or become junctions, until the write is done. Left open: what
// lies above the profile folder (C:\Users moved elsewhere by a link is
// allowed, and only administrators may change it), and Windows before
// Vista, which has no GetFinalPathNameByHandle (nor virtual store): there
// no copy is written.
#include <windows.h>

#include "config.h"

typedef DWORD(WINAPI *FINALPATH)(HANDLE, LPSTR, DWORD, DWORD);
typedef UINT(WINAPI *GETDIR)(LPSTR, UINT);

// A final path is "\\?\" or "\\?\UNC\" and then the path.
constexpr DWORD cchFinalPath = MAX_PATH + 16;

// Each copy's place below its folder, followed by the Windows directory
// below its drive root ("Windows" for "C:\Windows") in the virtual store;
// the account's own virtual store is below %LOCALAPPDATA%.
static const char szVirtualStore[] = "AppData\\Local\\VirtualStore";
constexpr int cchAppDataLocal = 14;     // "AppData\Local\"
static const char szPrivateWindows[] = "WINDOWS";
constexpr int cOwnCopies = 2;

// The profiles of the computer, each with its folder in ProfileImagePath.
// A key that 64-bit Windows shares between its 32-bit and 64-bit views
// ("Registry Keys Affected by WOW64"): this 32-bit applet reads the list
// every program does.
static const char szProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// What setting the copies needs, and what it met.
typedef struct tagCOPYWALK {
    int iValue;
    FINALPATH pfnFinalPath;
    LPCSTR lpBelow;             // the Windows directory below its drive root
    char rgszOwn[cOwnCopies][MAX_PATH];     // the account's own copies' paths
    int cFailed;
    char *szFailedPath;
    DWORD dwError;
} COPYWALK;

static FARPROC Kernel32Function(LPCSTR lpName)
{
    return GetProcAddress(GetModuleHandleA("KERNEL32"), lpName);
}

// ERROR_SUCCESS when the final path of hFile can be read into szPath.
static DWORD FinalPath(FINALPATH pfnFinalPath, HANDLE hFile, char *szPath)
{
    DWORD cch = pfnFinalPath(hFile, szPath, cchFinalPath, 0);
    return cch == 0 ? GetLastError() : cch >= cchFinalPath ? ERROR_FILENAME_EXCED_RANGE : ERROR_SUCCESS;
}

// ERROR_SUCCESS when hFile, described by *pfi, is lpPlace below lpFolder
// itself, with one name and no link on the way.
static DWORD CheckCopy(FINALPATH pfnFinalPath, HANDLE hFile, const BY_HANDLE_FILE_INFORMATION *pfi,
                       LPCSTR lpFolder, LPCSTR lpPlace)
{
    if ((pfi->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || pfi->nNumberOfLinks != 1)
        return dwErrorLinked;
    char szFolder[cchFinalPath], szExpected[cchFinalPath], szFile[cchFinalPath];
    HANDLE hFolder = CreateFileA(lpFolder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD dwError = FinalPath(pfnFinalPath, hFolder, szFolder);
    CloseHandle(hFolder);
    if (dwError == ERROR_SUCCESS)
        dwError = FinalPath(pfnFinalPath, hFile, szFile);
    if (dwError == ERROR_SUCCESS &&
        (!JoinPath(szExpected, cchFinalPath, szFolder, lpPlace) || lstrcmpiA(szFile, szExpected) != 0))
        dwError = dwErrorLinked;
    return dwError;
}

// Sets the copy at lpPlace (lpBelow, N4.INI) below lpFolder, environment
// variables expanded, where it exists. A folder that is not absolute (a
// drive and a backslash, or a UNC path), holds a variable that is not set,
// or makes the copy's path longer than MAX_PATH, is not a copy's. With
// iOwn, the account's own copy iOwn; without it (-1), not one of those.
static void SetCopy(COPYWALK *pWalk, LPCSTR lpFolder, LPCSTR lpPlace, LPCSTR lpBelow, int iOwn)
{
    char szFolder[MAX_PATH], szPlace[MAX_PATH], szPath[MAX_PATH];
    DWORD cch = ExpandEnvironmentStringsA(lpFolder, szFolder, MAX_PATH);
    if (cch == 0 || cch > MAX_PATH || !((szFolder[1] == ':' && szFolder[2] == '\\') ||
                                        (szFolder[0] == '\\' && szFolder[1] == '\\')))
        return;
    for (LPCSTR lp = szFolder; *lp != '\0'; lp++)
        if (*lp == '%')
            return;
    if (!JoinPath(szPlace, MAX_PATH, lpPlace, lpBelow) || !JoinPath(szPlace, MAX_PATH, szPlace, bN4Ini) ||
        !JoinPath(szPath, MAX_PATH, szFolder, szPlace))
        return;
    for (int i = 0; i < cOwnCopies; i++)
        if (lstrcmpiA(szPath, pWalk->rgszOwn[i]) == 0)
            return;
    if (iOwn >= 0)
        lstrcpynA(pWalk->rgszOwn[iOwn], szPath, MAX_PATH);

    HANDLE hFile;
    BY_HANDLE_FILE_INFORMATION fi;
    DWORD dwError;
    if (OpenProfile(szPath, FILE_FLAG_OPEN_REPARSE_POINT, &hFile, &fi, &dwError)) {
        dwError = CheckCopy(pWalk->pfnFinalPath, hFile, &fi, szFolder, szPlace);
        if (dwError == ERROR_SUCCESS && !HoldsPatch110(szPath, pWalk->iValue))
            SetPatch110(szPath, pWalk->iValue, &dwError);
        CloseHandle(hFile);
    } else if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND) {
        return;
    }
    if (dwError != ERROR_SUCCESS && pWalk->cFailed++ == 0) {
        lstrcpynA(pWalk->szFailedPath, szPath, MAX_PATH);
        pWalk->dwError = dwError;
    }
}

int SetPatch110Copies(int iValue, char *szFailedPath, DWORD *pdwError)
{
    // The system's shared Windows directory, even where this process is
    // given a private one. Both functions are looked up, not imported, so
    // that the applet still loads on Windows 95 and NT 4.
    FINALPATH pfnFinalPath = reinterpret_cast<FINALPATH>(
        reinterpret_cast<void *>(Kernel32Function("GetFinalPathNameByHandleA")));
    GETDIR pfnGetSystemWindowsDirectory = reinterpret_cast<GETDIR>(
        reinterpret_cast<void *>(Kernel32Function("GetSystemWindowsDirectoryA")));
    char szWindows[MAX_PATH];
    if (pfnFinalPath == nullptr || pfnGetSystemWindowsDirectory == nullptr)
        return 0;
    UINT cchWindows = pfnGetSystemWindowsDirectory(szWindows, MAX_PATH);
    if (cchWindows < 4 || cchWindows >= MAX_PATH)
        return 0;
    COPYWALK walk = {iValue, pfnFinalPath, szWindows + 3, {"", ""}, 0, szFailedPath, ERROR_SUCCESS};

    SetCopy(&walk, "%LOCALAPPDATA%", szVirtualStore + cchAppDataLocal, walk.lpBelow, 0);
    SetCopy(&walk, "%HOMEDRIVE%%HOMEPATH%", szPrivateWindows, "", 1);
    HKEY hList;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, szProfileList, 0, KEY_READ, &hList) == ERROR_SUCCESS) {
        char szKey[MAX_PATH], szFolder[MAX_PATH];
        for (DWORD iKey = 0;; iKey++) {
            DWORD cch = sizeof szKey, cb = sizeof szFolder - 1, dwType = REG_NONE;
            LONG lResult = RegEnumKeyExA(hList, iKey, szKey, &cch, nullptr, nullptr, nullptr, nullptr);
            if (lResult == ERROR_NO_MORE_ITEMS)
                break;
            HKEY hProfile;
            if (lResult != ERROR_SUCCESS || RegOpenKeyExA(hList, szKey, 0, KEY_QUERY_VALUE, &hProfile) != ERROR_SUCCESS)
                continue;
            lResult = RegQueryValueExA(hProfile, "ProfileImagePath", nullptr, &dwType,
                                       reinterpret_cast<BYTE *>(szFolder), &cb);
            RegCloseKey(hProfile);
            if (lResult != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ))
                continue;
            szFolder[cb] = '\0';    // the value need not end with one
            SetCopy(&walk, szFolder, szVirtualStore, walk.lpBelow, -1);
            SetCopy(&walk, szFolder, szPrivateWindows, "", -1);
        }
        RegCloseKey(hList);
    }
    *pdwError = walk.dwError;
    return walk.cFailed;
}
