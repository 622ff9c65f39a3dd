// The applet's manifest as a Control Panel host uses it: the host creates
// an activation context from resource 123 of the file and activates it
// around everything it does with the applet. (Its XML: Footprint.manifest.)
// Wine's own control.exe and rundll32 run with Common Controls 6 active
// anyway, so this host is the test's own.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "../support/files.h"
#include "../support/image.h"

namespace {

INT_PTR CALLBACK NoDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

}  // namespace

TEST(Manifest, AsksTheHostForAdministratorRights)
{
    HANDLE hCtx = CreateAppletContext(AppletPath());
    ASSERT_NE(hCtx, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION info = {};
    SIZE_T got = 0;
    ASSERT_TRUE(QueryActCtxW(0, hCtx, nullptr, RunlevelInformationInActivationContext, &info, sizeof info, &got));
    EXPECT_EQ(info.RunLevel, ACTCTX_RUN_LEVEL_REQUIRE_ADMIN);
    EXPECT_EQ(info.UiAccess, 0u);
    ReleaseActCtx(hCtx);
}

// Inside the applet's context its dialog gets Common Controls 6 buttons,
// which answer BCM_GETIDEALSIZE; outside it, user32's, which do not.
TEST(Manifest, DialogHasVersion6ControlsOnlyInsideTheContext)
{
    const struct {
        const char *name;
        bool inside;
    } hosts[] = {{"no context", false}, {"the applet's context", true}, {"no context again", false}};
    for (const auto &h : hosts) {
        SCOPED_TRACE(h.name);
        HANDLE hCtx = CreateAppletContext(AppletPath());
        ASSERT_NE(hCtx, INVALID_HANDLE_VALUE);
        ULONG_PTR cookie = 0;
        if (h.inside)
            ASSERT_TRUE(ActivateActCtx(hCtx, &cookie));

        HMODULE hmod = LoadLibraryA(AppletPath().c_str());
        ASSERT_NE(hmod, nullptr);
        HWND hDlg = CreateDialogParamA(hmod, MAKEINTRESOURCEA(100), nullptr, NoDialogProc, 0);
        ASSERT_NE(hDlg, nullptr);
        SIZE ideal = {};
        LRESULT answered = SendDlgItemMessageA(hDlg, IDOK, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal));
        EXPECT_EQ(answered != 0, h.inside);
        DestroyWindow(hDlg);
        FreeLibrary(hmod);

        if (h.inside)
            DeactivateActCtx(0, cookie);
        ReleaseActCtx(hCtx);
    }
}
