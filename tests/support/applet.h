// Loads the built veldrano.cpl afresh for each test, as a Control Panel host
// would, with its platform calls routed through the recorder.
#ifndef TESTS_APPLET_H
#define TESTS_APPLET_H

#include <windows.h>
#include <cpl.h>

#include <gtest/gtest.h>

#include <functional>

#include "files.h"
#include "recorder.h"

class AppletTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    LONG Send(UINT msg, LPARAM lParam1 = 0, LPARAM lParam2 = 0) { return cpl(host, msg, lParam1, lParam2); }

    HMODULE hmod = nullptr;
    HWND host = nullptr;            // stands for the Control Panel window
    APPLET_PROC cpl = nullptr;
};

// What a test saw of the real dialog.
struct DialogSeen {
    bool appeared = false;
    bool windowsChecked = false;    // radio states when the dialog came up
    bool dosChecked = false;
    std::string timedOut;           // what the watchdog had to end, or ""
};

// Runs `open`, which should show the applet's dialog modally. Once the
// dialog is up (found from a timer inside any modal loop of this thread),
// records its radio states and calls `act`, which must close it. After
// 15 s a watchdog ends every window with the applet's caption that this
// thread still shows (the dialog, a second one, a message box) and says
// which in `timedOut`; without an interactive desktop it shows nothing
// and says so there.
DialogSeen DriveDialog(const std::function<void()> &open, const std::function<void(HWND)> &act);

void Click(HWND hDlg, int id);      // BM_CLICK on a dialog control

#endif
