// The per-user copies of N4.INI, which programs that use the driver may
// read instead of the Windows directory's, and which OK sets too. Each is
// a place below a profile folder (rgCopyPlaces):
//  - UAC file virtualisation: a 32-bit program with no requested execution
//    level that has written N4.INI without elevation reads the copy in its
//    user's virtual store, AppData\Local\VirtualStore + the Windows
//    directory below its drive root + \N4.INI;
//  - a Remote Desktop Session Host gives a program that is not Terminal
//    Services aware a private Windows directory, WINDOWS in the user's home
//    folder, which is the profile unless the account has a home folder of
//    its own (not reached: a share's drive belongs to one logon session).
// The profile folders are this account's (%USERPROFILE%), whoever
// confirmed the UAC prompt, then every one of the computer's profile list,
// each once: two keys may name one folder (a profile's and its .bak twin's,
// an 8.3 name), told apart by the folder's final path. A copy that does not
// exist is never made: it would start redirecting a program's reads. One
// that holds the value already is left as it is. Paths are walked in wide
// characters: a user's folder may be named outside the ANSI code page,
// which would make it another folder's name, or none.
//
// The dialog writes with an administrator's rights into folders each user
// owns, where the user could plant a junction, a symbolic link or a hard
// link to a file only administrators may write. So a copy is written only
// when its path leads to itself: the file is held open, then its final
// path (GetFinalPathNameByHandle, which resolves every link on the way)
// must be the profile folder's final path followed by the copy's place, and
// the file must have one name. Final paths are NT device paths, which a
// volume without a drive letter has too (a User Profile Disk, a profile
// container, whose profile folder is a link into it), compared ordinally:
// paths are names, not words. Held without FILE_SHARE_DELETE, the file
// cannot be renamed or replaced, and the folders that hold it cannot be
// renamed or become junctions, until the write is done; but a user allowed
// to make symbolic links can make the held file one (that needs only write
// attributes, which sharing does not govern). So the checked file is never
// opened again by name: the profile functions edit a scratch copy in this
// account's own temporary folder, whose bytes go back through the handle
// that was checked. Left open: what lies above the profile folder
// (C:\Users moved elsewhere by a link is allowed, and only administrators
// may change it), and Windows before Vista, which has neither
// GetFinalPathNameByHandle nor a virtual store: there no copy is written.
#include <windows.h>

#include "config.h"

// Not inlined: the functions that hold large buffers keep frames of their
// own, which inlined would add up past the stack's 4 KiB guard page (this
// build has no stack probes; Footprint.instructions checks each frame).
#define OWN_FRAME __attribute__((noinline))

// Functions of Vista and later, and wide ones Windows 95 has not, looked up
// when OK is pressed rather than imported, so that the applet still loads
// on every Windows; without all of them no copy is looked for.
typedef union tagWIDEAPI {
    struct {
        DWORD(WINAPI *pfnFinalPath)(HANDLE, LPWSTR, DWORD, DWORD);
        int(WINAPI *pfnCompareOrdinal)(LPCWSTR, int, LPCWSTR, int, BOOL);
        HANDLE(WINAPI *pfnCreateFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
        DWORD(WINAPI *pfnExpand)(LPCWSTR, LPWSTR, DWORD);
        UINT(WINAPI *pfnSystemWindowsDirectory)(LPWSTR, UINT);
        DWORD(WINAPI *pfnTempPath)(DWORD, LPWSTR);
        UINT(WINAPI *pfnTempFileName)(LPCWSTR, LPCWSTR, UINT, LPWSTR);
        BOOL(WINAPI *pfnDeleteFile)(LPCWSTR);
        UINT(WINAPI *pfnGetProfileInt)(LPCWSTR, LPCWSTR, INT, LPCWSTR);
        BOOL(WINAPI *pfnWriteProfileString)(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR);
        DWORD(WINAPI *pfnAttributes)(LPCWSTR);
        BOOL(WINAPI *pfnInformation)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
        LONG(WINAPI *pfnQueryValue)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    };
    FARPROC rgpfn[13];
} WIDEAPI;
static_assert(sizeof(WIDEAPI) == sizeof(FARPROC[13]), "one name below for each function");

// Their names, in that order, each ended by a NUL: kernel32's, an empty
// one, advapi32's.
static const char szWideApi[] = "GetFinalPathNameByHandleW\0CompareStringOrdinal\0CreateFileW\0"
                                "ExpandEnvironmentStringsW\0GetSystemWindowsDirectoryW\0GetTempPathW\0"
                                "GetTempFileNameW\0DeleteFileW\0GetPrivateProfileIntW\0"
                                "WritePrivateProfileStringW\0GetFileAttributesW\0GetFileInformationByHandleEx\0"
                                "\0RegQueryValueExW";

// Where a program's copy of N4.INI is, below a profile folder. With
// bWindowsBelow, the Windows directory below its drive root follows
// ("Windows" for "C:\Windows"). The settings scripts walk the same places.
typedef struct tagCOPYPLACE {
    LPCWSTR lpPlace;
    BOOL bWindowsBelow;
} COPYPLACE;
static const COPYPLACE rgCopyPlaces[] = {
    {L"AppData\\Local\\VirtualStore", TRUE},
    {L"WINDOWS", FALSE},
};

static const WCHAR szN4IniW[] = L"N4.INI";
static const WCHAR szSectionW[] = L"Lumasyn";
static const WCHAR szItemW[] = L"patch110";

// The profiles of the computer, each with its folder in ProfileImagePath.
// A key that 64-bit Windows shares between its 32-bit and 64-bit views
// ("Registry Keys Affected by WOW64"): this 32-bit applet reads the list
// every program does. Its subkeys are named by SIDs, in ASCII.
static const char szProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// Room for an NT device path ("\Device\HarddiskVolume3\Users\..."), which
// names the volume in more characters than a drive; a longer one is told
// as too long.
constexpr DWORD cchFinalPath = MAX_PATH + 40;

// Holds on the copies are waited out for this long in all, so that many
// copies held at once do not freeze the dialog.
constexpr DWORD dwCopiesWait = 1000;    // milliseconds

// Folders with copies are remembered by a hash of their final path, up
// to this many: a folder past them that two keys name is looked at twice,
// and finds its copies set already.
constexpr int cSeenFolders = 96;

// A link planted on the way may lead an open to a named pipe, whose
// server could then act with this process's rights: it may only learn
// who opened it.
constexpr DWORD dwOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// A folder is remembered by two 32-bit hashes of its final path.
typedef struct tagFOLDERHASH {
    DWORD dwFirst, dwSecond;
} FOLDERHASH;

// What setting the copies needs, and what it met.
typedef struct tagCOPYWALK {
    WIDEAPI api;
    int iValue;
    LPCWSTR lpBelow;            // the Windows directory below its drive root
    WCHAR szScratch[MAX_PATH];  // the scratch copy, "" until it is made
    DWORD dwWaitLeft;
    int cSeen;
    FOLDERHASH rghashSeen[cSeenFolders];
    int cFailed;
    WCHAR *szFailedPath;
    DWORD dwError;
} COPYWALK;

static BOOL LoadWideApi(WIDEAPI *pApi)
{
    HMODULE hmod = GetModuleHandleA("KERNEL32");
    LPCSTR lpName = szWideApi;
    for (FARPROC &pfn : pApi->rgpfn) {
        if (*lpName == '\0') {
            hmod = GetModuleHandleA("ADVAPI32");
            lpName++;
        }
        if ((pfn = GetProcAddress(hmod, lpName)) == nullptr)
            return FALSE;
        while (*lpName++ != '\0')
            ;
    }
    return TRUE;
}

OWN_FRAME static void Fail(COPYWALK *pWalk, LPCWSTR lpPath, DWORD dwError)
{
    if (pWalk->cFailed++ == 0) {
        JoinPath(pWalk->szFailedPath, MAX_PATH, L"", lpPath);
        pWalk->dwError = dwError;
    }
}

// ERROR_SUCCESS when the final path of hFile can be read into szPath.
static DWORD FinalPath(COPYWALK *pWalk, HANDLE hFile, WCHAR *szPath)
{
    DWORD cch = pWalk->api.pfnFinalPath(hFile, szPath, cchFinalPath, VOLUME_NAME_NT);
    return cch == 0 ? GetLastError() : cch >= cchFinalPath ? ERROR_FILENAME_EXCED_RANGE : ERROR_SUCCESS;
}

// Drops the profile functions' cache of the scratch copy (see profile.cpp)
// and reads patch110 from it, iDefault where nothing is stored.
static int ReadScratch(COPYWALK *pWalk, INT iDefault)
{
    pWalk->api.pfnWriteProfileString(nullptr, nullptr, nullptr, pWalk->szScratch);
    return static_cast<int>(pWalk->api.pfnGetProfileInt(szSectionW, szItemW, iDefault, pWalk->szScratch));
}

// Opens the scratch copy, a file of its own in this account's temporary
// folder, where only this account may write, made at the first use.
OWN_FRAME static HANDLE OpenScratch(COPYWALK *pWalk)
{
    WCHAR szTemp[MAX_PATH];
    if (pWalk->szScratch[0] == L'\0') {
        DWORD cch = pWalk->api.pfnTempPath(MAX_PATH, szTemp);
        if (cch == 0 || cch >= MAX_PATH || !pWalk->api.pfnTempFileName(szTemp, szN4IniW, 0, pWalk->szScratch)) {
            pWalk->szScratch[0] = L'\0';
            return INVALID_HANDLE_VALUE;
        }
    }
    return pWalk->api.pfnCreateFile(pWalk->szScratch, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
}

// Replaces the bytes of hTo with those of hFrom.
OWN_FRAME static DWORD CopyBytes(HANDLE hFrom, HANDLE hTo)
{
    BYTE rgb[1024];
    DWORD cbRead, cbWritten;
    SetFilePointer(hFrom, 0, nullptr, FILE_BEGIN);
    SetFilePointer(hTo, 0, nullptr, FILE_BEGIN);
    do
        if (!ReadFile(hFrom, rgb, sizeof rgb, &cbRead, nullptr) || !WriteFile(hTo, rgb, cbRead, &cbWritten, nullptr))
            return GetLastError();
    while (cbRead != 0);
    return SetEndOfFile(hTo) ? ERROR_SUCCESS : GetLastError();
}

// Moves the bytes of the held copy into the scratch copy or, with bBack,
// back into the copy.
static DWORD MoveBytes(COPYWALK *pWalk, HANDLE hCopy, BOOL bBack)
{
    HANDLE hScratch = OpenScratch(pWalk);
    if (hScratch == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD dwError = bBack ? CopyBytes(hScratch, hCopy) : CopyBytes(hCopy, hScratch);
    CloseHandle(hScratch);
    return dwError;
}

// Sets patch110 in the held, checked copy: the profile functions read and
// change its bytes in the scratch copy, which go back through hCopy; then
// they are read back from it, as a program reads them.
static DWORD SetHeldCopy(COPYWALK *pWalk, HANDLE hCopy, BOOL bWritable)
{
    const WCHAR szValue[] = {static_cast<WCHAR>(L'0' + pWalk->iValue), L'\0'};
    DWORD dwError = MoveBytes(pWalk, hCopy, FALSE);
    if (dwError != ERROR_SUCCESS || ReadScratch(pWalk, 1) == pWalk->iValue)
        return dwError;
    if (!bWritable)
        return ERROR_ACCESS_DENIED;
    if (!pWalk->api.pfnWriteProfileString(szSectionW, szItemW, szValue, pWalk->szScratch))
        return GetLastError();
    if ((dwError = MoveBytes(pWalk, hCopy, TRUE)) == ERROR_SUCCESS &&
        (dwError = MoveBytes(pWalk, hCopy, FALSE)) == ERROR_SUCCESS && ReadScratch(pWalk, iNotStored) != pWalk->iValue)
        dwError = dwErrorNotSaved;
    return dwError;
}

// ERROR_SUCCESS when the held copy hCopy is a profile file with one name,
// no link itself, whose final path is lpExpected.
OWN_FRAME static DWORD CheckCopy(COPYWALK *pWalk, HANDLE hCopy, LPCWSTR lpExpected)
{
    FILE_STANDARD_INFO standard;
    FILE_ATTRIBUTE_TAG_INFO tag;
    WCHAR szFinal[cchFinalPath];
    DWORD dwError = CheckProfileFile(hCopy);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    if (!pWalk->api.pfnInformation(hCopy, FileStandardInfo, &standard, sizeof standard) ||
        !pWalk->api.pfnInformation(hCopy, FileAttributeTagInfo, &tag, sizeof tag))
        return GetLastError();
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || standard.NumberOfLinks != 1)
        return dwErrorLinked;
    if ((dwError = FinalPath(pWalk, hCopy, szFinal)) == ERROR_SUCCESS &&
        pWalk->api.pfnCompareOrdinal(szFinal, -1, lpExpected, -1, TRUE) != CSTR_EQUAL)
        dwError = dwErrorLinked;
    return dwError;
}

// Sets the copy at lpPath, if it is still there, whose final path must be
// lpExpected.
static void SetCopy(COPYWALK *pWalk, LPCWSTR lpPath, LPCWSTR lpExpected)
{
    // Held to be written, sharing reading and writing but not deleting, as
    // soon as another program's brief hold allows. A copy that may only be
    // read is still checked: it may hold the value already.
    DWORD dwAccess = GENERIC_READ | GENERIC_WRITE, dwError;
    HANDLE hCopy;
    while ((hCopy = pWalk->api.pfnCreateFile(lpPath, dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, dwOpenFlags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)) ==
           INVALID_HANDLE_VALUE) {
        if (WaitWhileHeld(&pWalk->dwWaitLeft, &dwError))
            continue;
        if (NotThere(dwError))
            return;
        if (dwError != ERROR_ACCESS_DENIED || dwAccess == GENERIC_READ) {
            Fail(pWalk, lpPath, dwError);
            return;
        }
        dwAccess = GENERIC_READ;
    }
    dwError = CheckCopy(pWalk, hCopy, lpExpected);
    if (dwError == ERROR_SUCCESS)
        dwError = SetHeldCopy(pWalk, hCopy, dwAccess != GENERIC_READ);
    CloseHandle(hCopy);
    if (dwError != ERROR_SUCCESS)
        Fail(pWalk, lpPath, dwError);
}

// FNV-1a and a multiplicative hash, ignoring ASCII case.
static FOLDERHASH HashPath(LPCWSTR lpPath)
{
    FOLDERHASH hash = {2166136261u, 0};
    for (; *lpPath != L'\0'; lpPath++) {
        const DWORD dwChar = *lpPath >= L'a' && *lpPath <= L'z' ? *lpPath - 32u : *lpPath;
        hash.dwFirst = (hash.dwFirst ^ dwChar) * 16777619u;
        hash.dwSecond = hash.dwSecond * 31 + dwChar;
    }
    return hash;
}

// The final path of the profile folder lpFolder in szFinal; or why not.
OWN_FRAME static DWORD FolderPath(COPYWALK *pWalk, LPCWSTR lpFolder, WCHAR *szFinal)
{
    HANDLE hFolder = pWalk->api.pfnCreateFile(lpFolder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, dwOpenFlags | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD dwError = FinalPath(pWalk, hFolder, szFinal);
    CloseHandle(hFolder);
    return dwError;
}

// Sets the copies below the profile folder lpFolder, an absolute path (a
// drive and a backslash, or a UNC path), unless it was walked already.
// Most profiles have none: the folder's final path is read once one is
// there.
OWN_FRAME static void WalkProfile(COPYWALK *pWalk, LPCWSTR lpFolder)
{
    WCHAR szFinal[cchFinalPath], szPlace[MAX_PATH], szPath[MAX_PATH], szExpected[cchFinalPath];
    DWORD dwFolderError = ERROR_IO_PENDING;     // not yet read
    if (!((lpFolder[0] != L'\0' && lpFolder[1] == L':' && lpFolder[2] == L'\\') ||
          (lpFolder[0] == L'\\' && lpFolder[1] == L'\\')))
        return;
    for (const COPYPLACE &place : rgCopyPlaces) {
        if (!JoinPath(szPlace, MAX_PATH, place.lpPlace, place.bWindowsBelow ? pWalk->lpBelow : L"") ||
            !JoinPath(szPlace, MAX_PATH, szPlace, szN4IniW) || !JoinPath(szPath, MAX_PATH, lpFolder, szPlace))
            continue;
        if (pWalk->api.pfnAttributes(szPath) == INVALID_FILE_ATTRIBUTES && NotThere(GetLastError()))
            continue;
        if (dwFolderError == ERROR_IO_PENDING && (dwFolderError = FolderPath(pWalk, lpFolder, szFinal)) == ERROR_SUCCESS) {
            const FOLDERHASH hash = HashPath(szFinal);
            for (int i = 0; i < pWalk->cSeen; i++)
                if (pWalk->rghashSeen[i].dwFirst == hash.dwFirst && pWalk->rghashSeen[i].dwSecond == hash.dwSecond)
                    return;
            if (pWalk->cSeen < cSeenFolders)
                pWalk->rghashSeen[pWalk->cSeen++] = hash;
        }
        // A copy whose folder's final path is not known cannot be checked.
        // (A folder's path too long to be followed by the place's leads to
        // none, and is told as a link.)
        if (dwFolderError != ERROR_SUCCESS) {
            Fail(pWalk, szPath, dwFolderError);
        } else {
            JoinPath(szExpected, cchFinalPath, szFinal, szPlace);
            SetCopy(pWalk, szPath, szExpected);
        }
    }
}

// The profile folder lpFolder, environment variables expanded first
// with bExpand.
OWN_FRAME static void WalkFolder(COPYWALK *pWalk, LPCWSTR lpFolder, BOOL bExpand)
{
    WCHAR szFolder[MAX_PATH];
    DWORD cch = bExpand ? pWalk->api.pfnExpand(lpFolder, szFolder, MAX_PATH) : 1;
    if (cch > 0 && cch <= MAX_PATH)
        WalkProfile(pWalk, bExpand ? szFolder : lpFolder);
}

// The profile lpKey of the list hList. Only a REG_EXPAND_SZ folder is
// expanded: a REG_SZ one is a name, "%" and all.
OWN_FRAME static void WalkListedProfile(COPYWALK *pWalk, HKEY hList, LPCSTR lpKey)
{
    WCHAR szValue[MAX_PATH];
    DWORD dwType, cb = sizeof szValue - sizeof(WCHAR);
    HKEY hProfile;
    if (RegOpenKeyExA(hList, lpKey, 0, KEY_QUERY_VALUE, &hProfile) != ERROR_SUCCESS)
        return;
    // Not readable, or longer than any folder's path: not walked.
    LONG lResult = pWalk->api.pfnQueryValue(hProfile, L"ProfileImagePath", nullptr, &dwType,
                                            reinterpret_cast<BYTE *>(szValue), &cb);
    RegCloseKey(hProfile);
    szValue[cb / sizeof(WCHAR)] = L'\0';    // the value need not end with one
    if (lResult == ERROR_SUCCESS && (dwType == REG_SZ || dwType == REG_EXPAND_SZ))
        WalkFolder(pWalk, szValue, dwType == REG_EXPAND_SZ);
}

int SetPatch110Copies(int iValue, WCHAR *szFailedPath, DWORD *pdwError)
{
    COPYWALK walk;
    WCHAR szWindows[MAX_PATH];
    // The system's shared Windows directory, even where this process is
    // given a private one.
    UINT cch;
    if (!LoadWideApi(&walk.api) || (cch = walk.api.pfnSystemWindowsDirectory(szWindows, MAX_PATH)) < 4 ||
        cch >= MAX_PATH)
        return 0;
    walk.iValue = iValue;
    walk.lpBelow = szWindows + 3;
    walk.szScratch[0] = L'\0';
    walk.dwWaitLeft = dwCopiesWait;
    walk.cSeen = walk.cFailed = 0;
    walk.szFailedPath = szFailedPath;
    walk.dwError = ERROR_SUCCESS;

    WalkFolder(&walk, L"%USERPROFILE%", TRUE);
    HKEY hList;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, szProfileList, 0, KEY_READ, &hList) == ERROR_SUCCESS) {
        char szKey[MAX_PATH];
        // Any error ends the list: a key deleted meanwhile answers one at
        // every index.
        for (DWORD iKey = 0;; iKey++) {
            DWORD cchKey = MAX_PATH;
            if (RegEnumKeyExA(hList, iKey, szKey, &cchKey, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            WalkListedProfile(&walk, hList, szKey);
        }
        RegCloseKey(hList);
    }
    if (walk.szScratch[0] != L'\0') {     // nothing left behind
        walk.api.pfnWriteProfileString(nullptr, nullptr, nullptr, walk.szScratch);
        walk.api.pfnDeleteFile(walk.szScratch);
    }
    *pdwError = walk.dwError;
    return walk.cFailed;
}
