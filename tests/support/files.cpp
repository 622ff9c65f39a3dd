#include "files.h"

#include <shlobj.h>

std::string ExeDir()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\'));
}

std::string WindowsDir()
{
    char path[MAX_PATH];
    UINT n = GetWindowsDirectoryA(path, MAX_PATH);
    return std::string(path, n);
}

std::string AppletPath() { return ExeDir() + "\\veldrano.cpl"; }
std::string LumasynPath() { return ExeDir() + "\\LMSN110.DLL"; }
std::string ProfilePath() { return WindowsDir() + "\\N4.INI"; }

std::string LumasynImage(size_t size, size_t offset, const std::string &text)
{
    std::string bytes(size, '\x5a');
    for (size_t i = 0; i < text.size() && offset + i < size; ++i)
        bytes[offset + i] = text[i];
    return bytes;
}

std::string MarkedLumasyn() { return LumasynImage(kMarkerOffset + 8, kMarkerOffset, "KORVELIN"); }

std::wstring Wide(const std::string &utf8)
{
    wchar_t wide[1024] = L"";
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, 1024);
    return wide;
}

std::string Utf8Of(const wchar_t *wide)
{
    char utf8[4096] = "";
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

bool WriteBytes(const std::string &path, const std::string &bytes)
{
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

bool ReadBytes(const std::string &path, std::string &bytes)
{
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bytes.clear();
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        bytes.append(buf, got);
    CloseHandle(h);
    return true;
}

void RemoveFile(const std::string &path)
{
    SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(Wide(path).c_str());
}

void RemoveTree(const std::string &path)
{
    const std::wstring from = Wide(path) + L'\0';    // a list, ended by an empty name
    SHFILEOPSTRUCTW op = {nullptr, FO_DELETE, from.c_str(), nullptr, FOF_NO_UI};
    SHFileOperationW(&op);
}

void FlushProfileCache()
{
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, "N4.INI");
}

void SetProfileText(const std::string &text)
{
    FlushProfileCache();
    WriteBytes(ProfilePath(), text);
    FlushProfileCache();
}

void RemoveProfile()
{
    FlushProfileCache();
    for (const std::string &path : {ProfilePath(), VirtualStoreCopyPath(), PrivateWindowsCopyPath()}) {
        RemoveFile(path);
        RemoveDirectoryW(Wide(path).c_str());   // a test's stand-in for a refused write
    }
    FlushProfileCache();
}

static std::string Expanded(const char *text)
{
    wchar_t path[MAX_PATH] = L"";
    ExpandEnvironmentStringsW(Wide(text).c_str(), path, MAX_PATH);
    return Utf8Of(path);
}

static std::string BelowRoot()
{
    char windows[MAX_PATH] = "";
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    return windows + 2;     // "\Windows", below "C:"
}

std::string VirtualStoreCopyPath() { return StoreCopyPath(Expanded("%USERPROFILE%")); }
std::string PrivateWindowsCopyPath() { return HomeCopyPath(Expanded("%USERPROFILE%")); }
std::string StoreCopyPath(const std::string &profile)
{
    return profile + "\\AppData\\Local\\VirtualStore" + BelowRoot() + "\\N4.INI";
}
std::string HomeCopyPath(const std::string &profile) { return profile + "\\WINDOWS\\N4.INI"; }

static const char kProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";

ListedProfile::ListedProfile(const std::string &key, const std::string &folder, DWORD type)
    : sid(kProfileList + key), dir(type == REG_EXPAND_SZ ? Expanded(folder.c_str()) : folder)
{
    HKEY hKey;
    const std::wstring value = Wide(folder);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, sid.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExW(hKey, L"ProfileImagePath", 0, type, reinterpret_cast<const BYTE *>(value.c_str()),
                       DWORD((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(hKey);
    }
}

ListedProfile::~ListedProfile()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, sid.c_str());
    if (!dir.empty())
        RemoveTree(dir);
}


void SetCopyText(const std::string &path, const std::string &text)
{
    SHCreateDirectoryExW(nullptr, Wide(path.substr(0, path.rfind('\\'))).c_str(), nullptr);
    WriteBytes(path, text);
    FlushProfileCache();
}

static std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string StoredValue(const std::string &section, const std::string &key, const std::string &path)
{
    FlushProfileCache();
    std::string text;
    if (!ReadBytes(path, text))
        return "<none>";
    bool inSection = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = Trim(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (!line.empty() && line[0] == '[')
            inSection = lstrcmpiA(line.c_str(), ("[" + section + "]").c_str()) == 0;
        else if (inSection) {
            size_t eq = line.find('=');
            if (eq != std::string::npos && lstrcmpiA(Trim(line.substr(0, eq)).c_str(), key.c_str()) == 0)
                return Trim(line.substr(eq + 1));
        }
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return "<none>";
}

bool NotHeldOpen(const std::string &path)
{
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

std::string RefuseUnlessThrowaway()
{
    char value[8] = "";
    GetEnvironmentVariableA("VELDRANO_THROWAWAY_WINDOWS", value, sizeof value);
    if (lstrcmpA(value, "1") == 0)
        return "";
    return "refusing to write N4.INI and LMSN110.DLL into " + WindowsDir() +
           " or to install packages: set VELDRANO_THROWAWAY_WINDOWS=1 on a Windows that may be thrown away";
}

std::string SystemText(DWORD error)
{
    char text[512] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && static_cast<unsigned char>(text[n - 1]) <= ' ')
        n--;
    return std::string(text, n);
}
