// A local standard user for the tests that need one, on Windows only.
#ifndef TESTS_USERS_H
#define TESTS_USERS_H

#include <windows.h>
#include <lm.h>

#include <string>

// A local standard user with a random password, for as long as it lives,
// and its profile, which its first logon makes and deleting the account
// leaves.
struct StandardUser {
    StandardUser();
    ~StandardUser();
    // Starts `line` as this user, with its profile loaded, in the Windows
    // directory, which every user may read.
    bool Start(std::string line, PROCESS_INFORMATION &pi) const;
    // Its profile folder, once its first logon has made it.
    std::string ProfileDir() const;
    // Has n4writer.exe, copied where every user may read it, write N4.INI
    // as this user, and prints what its token says of virtualisation.
    // Answers the virtual store copy Windows made, or "" with why not in
    // *why.
    std::string WriteN4Ini(std::string *why) const;

    wchar_t name[16] = L"VeldranoUser", password[32];
    NET_API_STATUS created;
    wchar_t *sidText = nullptr;
};

#endif
