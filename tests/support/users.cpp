#define _CRT_RAND_S
#include "users.h"

#include <lm.h>
#include <sddl.h>
#include <userenv.h>
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "files.h"
#include "platform.h"

StandardUser::StandardUser()
{
    unsigned int r = 0;
    rand_s(&r);
    swprintf(password, 32, L"Vl-%08x-%u-a1!", r, GetTickCount());
    USER_INFO_1 info = {name, password, 0, USER_PRIV_USER, nullptr, nullptr, UF_SCRIPT | UF_DONT_EXPIRE_PASSWD};
    NetUserDel(nullptr, name);      // left by a run that did not end
    created = NetUserAdd(nullptr, 1, reinterpret_cast<BYTE *>(&info), nullptr);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    wchar_t domain[64];
    DWORD cbSid = sizeof sid, cchDomain = 64;
    SID_NAME_USE use;
    if (LookupAccountNameW(nullptr, name, sid, &cbSid, domain, &cchDomain, &use))
        ConvertSidToStringSidW(sid, &sidText);
}

StandardUser::~StandardUser()
{
    // The profile stays loaded for a moment after the user's last process
    // ends.
    DWORD error = ERROR_SUCCESS;
    const DWORD start = GetTickCount();
    for (; sidText; Sleep(500)) {
        error = DeleteProfileW(sidText, nullptr, nullptr) ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || GetTickCount() - start > 30000)
            break;
    }
    printf("the standard user's profile deleted in %lu ms\n", GetTickCount() - start);
    EXPECT_TRUE(error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) << "DeleteProfile: error " << error;
    LocalFree(sidText);
    NetUserDel(nullptr, name);
}

bool StandardUser::Start(std::string line, PROCESS_INFORMATION &pi) const
{
    const std::string windows = WindowsDir();
    std::wstring wide(line.begin(), line.end()), dir(windows.begin(), windows.end());
    STARTUPINFOW si = {sizeof si};
    return CreateProcessWithLogonW(name, L".", password, LOGON_WITH_PROFILE, nullptr, &wide[0], 0, nullptr,
                                   dir.c_str(), &si, &pi);
}

std::string StandardUser::ProfileDir() const
{
    wchar_t dir[MAX_PATH] = L"";
    DWORD size = sizeof dir;
    const std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\") +
                             (sidText ? sidText : L"");
    RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ProfileImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr,
                 dir, &size);
    char path[MAX_PATH] = "";
    ExpandEnvironmentStringsA(std::string(dir, dir + wcslen(dir)).c_str(), path, MAX_PATH);
    return path;
}

std::string StandardUser::WriteN4Ini(std::string *why) const
{
    const std::string writer = std::string(getenv("PUBLIC")) + "\\veldrano-n4writer.exe";
    PROCESS_INFORMATION pi;
    const DWORD start = GetTickCount();
    // The first logon makes the profile from the Default one.
    if (!CopyFileA((ExeDir() + "\\n4writer.exe").c_str(), writer.c_str(), FALSE) ||
        !Start("\"" + writer + "\"", pi)) {
        *why = "the writer could not be started as the standard user: error " + std::to_string(GetLastError());
        return "";
    }
    const DWORD logon = GetTickCount() - start;
    const DWORD code = ExitCode(pi, 60000, "the standard user's writer");
    DeleteFileA(writer.c_str());
    printf("the standard user's writer: logon and profile %lu ms, ran %lu ms; exit code 0x%lx", logon,
           GetTickCount() - start - logon, code);
    // Its own codes are a written bit and two token flags; any other is a
    // writer that did not end normally (a failed start, a time-out).
    if ((code & ~0x31UL) != 0) {
        printf(": it did not end normally\n");
        *why = "the standard user's writer did not end normally (exit code " + std::to_string(code) + ")";
        return "";
    }
    printf(" (written %d, virtualisation allowed %d, enabled %d)\n", !(code & 1), (code & 0x10) != 0,
           (code & 0x20) != 0);
    const std::string copy = StoreCopyPath(ProfileDir());
    std::string text;
    if (!ReadBytes(copy, text))
        *why = "Windows made no virtual store copy for a 32-bit program with no manifest run as a standard user "
               "(is UAC on? see the writer's line above): " + copy;
    return text.empty() ? "" : copy;
}
