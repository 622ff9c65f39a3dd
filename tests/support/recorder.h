// Watches the applet's platform calls: every KERNEL32/USER32 function the
// loaded veldrano.cpl imports is routed through a hook that logs the call
// as one line of text and then forwards it, unless a test has asked for a
// stand-in.
#ifndef TESTS_RECORDER_H
#define TESTS_RECORDER_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace rec {

// Log lines such as "OpenFile(LMSN110.DLL,0)" or "LoadStringA(hmod,40,32)".
// Handles are named: "hmod" (the applet), "host" (the test's host window),
// "dlg" (the applet's dialog), "f" (the Lumasyn file handle).
extern std::vector<std::string> calls;

// Lumasyn file handles opened and not yet closed.
extern std::vector<HFILE> openFiles;

// What the last real or stood-in DialogBoxParamA returned.
extern INT_PTR lastDialogResult;

// The window the applet last asked SetForegroundWindow for. Whether the
// system grants the request depends on who has the foreground (Windows
// lets a background process only flash the taskbar button), so the tests
// look at the request.
extern HWND foregroundAsked;

struct StandIns {
    bool dialog = false;            // DialogBoxParamA returns dialogResult, shows nothing
    INT_PTR dialogResult = 1;
    bool failProfileWrite = false;  // WritePrivateProfileStringA fails with profileError, writes nothing
    DWORD profileError = ERROR_ACCESS_DENIED;
    bool dropProfileWrite = false;  // WritePrivateProfileStringA answers TRUE and writes nothing, as a full disk may
    std::function<void()> afterProfileWrite;    // runs after each write of a line
    LONG enumError = ERROR_SUCCESS; // RegEnumKeyExA answers it at every index, as for a key deleted meanwhile
    std::function<void()> beforeDialog;     // runs once, just before the next real dialog is made
};
extern StandIns standIn;

// The message boxes the applet asked for (each shown for real).
struct MessageBoxSeen {
    std::string owner;              // named as in the log
    std::string text;               // UTF-8, as the caption
    std::string caption;
    UINT type = 0;
};
extern std::vector<MessageBoxSeen> messageBoxes;

// Whether the cursor was the hourglass at the last write of a line, and
// how often RegEnumKeyExA was called.
extern bool waitCursorAtWrite;
extern int enumCalls;

// Routes hmod's imports through the hooks, clears the log and the stand-ins.
// Fails the current test when an expected import is missing.
void Install(HMODULE hmod, HWND hwndHost);

// Calls whose line starts with `prefix`.
std::vector<std::string> Matching(const std::string &prefix);

}  // namespace rec

#endif
