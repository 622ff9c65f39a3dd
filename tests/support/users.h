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

    wchar_t name[16] = L"VeldranoUser", password[32];
    NET_API_STATUS created;
    wchar_t *sidText = nullptr;
};

#endif
