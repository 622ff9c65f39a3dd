// Where Wine's answer differs from Windows' documented one, a test requires
// Windows' answer on Windows and takes Wine's only under Wine, printed as a
// known deviation, as Wine's own tests do with broken() and todo_wine.
#ifndef TESTS_PLATFORM_H
#define TESTS_PLATFORM_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

bool UnderWine();   // ntdll exports wine_get_version
// True, printed by name, only under Wine and only when `happened`.
bool WineDeviation(bool happened, const char *what);
// Skips the test, visibly, where Wine lacks what it needs.
#define SKIP_UNDER_WINE(lacking) \
    if (UnderWine()) GTEST_SKIP() << "Wine has no " lacking

// The exit code of a process started as `what`, waited for at most `ms`;
// past that it is ended with ERROR_TIMEOUT and the test fails. Closes its
// handles.
DWORD ExitCode(PROCESS_INFORMATION &pi, DWORD ms, const std::string &what);

// "" where this program's window station is the interactive one and its
// input desktop can be opened, as the tests that show and click windows
// need; else why not.
std::string NoInteractiveDesktop();

// What the tests assume where Microsoft documents nothing, for their
// failures to name.
extern const char kBoxAssumption[];         // a message box's text and button
extern const char kSharingAssumption[];     // a held N4.INI's write error

// A link at `link` to `target`, a folder or a file, while it lives: a
// junction or a symbolic link on Windows, a Unix symbolic link under Wine,
// which makes neither. `made` says whether it was made; the link is
// removed at the end, not what it leads to.
struct Link {
    Link(const std::string &link, const std::string &target, bool folder);
    ~Link();
    std::string link;
    bool made;
};

// A volume without a drive letter, as a User Profile Disk or a profile
// container gives a profile: a virtual disk, made and attached with
// diskpart, formatted NTFS and mounted at a folder. Windows only.
struct MountedVolume {
    // Mounts a new virtual disk at `folder` (made, and left empty).
    explicit MountedVolume(const std::string &folder);
    // Detaches and deletes the disk; the folder is left as it was.
    ~MountedVolume();
    std::string folder, disk;
    std::string error;      // "" once mounted; else what went wrong
};

// A window's child controls, as "id class \"text\"; " each: what a test
// saw where it relied on controls Microsoft does not document.
std::string Controls(HWND window);

#endif
