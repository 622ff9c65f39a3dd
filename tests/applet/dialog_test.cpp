// The real configuration dialog, driven inside its modal loop, and the
// N4.INI entry behind it.
#include <memory>

#include "../support/applet.h"
#include "../support/platform.h"
#include "../support/texts.h"
#include "../support/users.h"

using Calls = std::vector<std::string>;

namespace {

const char kSection[] = "[Lumasyn]\r\n";

std::string Stored(const char *value)
{
    return std::string(kSection) + "patch110=" + value + "\r\n";
}

}  // namespace

class DialogTest : public AppletTest {
protected:
    void SetUp() override
    {
        AppletTest::SetUp();
        ASSERT_TRUE(WriteBytes(LumasynPath(), MarkedLumasyn()));
    }

    DialogSeen DoubleClick(const std::function<void(HWND)> &act)
    {
        rec::calls.clear();
        rec::messageBoxes.clear();
        rec::enumCalls = 0;
        return DriveDialog([&] { answer = Send(CPL_DBLCLK, 0, 0); }, act);
    }

    LONG answer = -1;
};

struct SaveCase {
    const char *name;
    const char *profile;    // whole N4.INI, or nullptr for none
    bool showsWindows;
    int click;              // radio button clicked before OK, or 0
    const char *written;
};

TEST_F(DialogTest, OkStoresTheCheckedChoice)
{
    const std::string s0 = Stored("0"), s1 = Stored("1"), s2 = Stored("2"), sNeg = Stored("-7"),
                      sText = Stored("abc"), sNum = Stored("3abc");
    const SaveCase cases[] = {
        {"no N4.INI", nullptr, true, 0, "1"},
        {"no key in the section", "[Lumasyn]\r\nother=0\r\n", true, 0, "1"},
        {"key in another section", "[Other]\r\npatch110=0\r\n", true, 0, "1"},
        {"stored 0", s0.c_str(), false, 0, "0"},
        {"stored 1", s1.c_str(), true, 0, "1"},
        {"stored 2 rewritten unchanged", s2.c_str(), true, 0, "1"},
        {"stored -7", sNeg.c_str(), true, 0, "1"},
        {"stored text", sText.c_str(), false, 0, "0"},
        {"stored 3abc", sNum.c_str(), true, 0, "1"},
        {"no N4.INI, DOS picked", nullptr, true, kDos, "0"},
        {"stored 1, DOS picked", s1.c_str(), true, kDos, "0"},
        {"stored 0, Windows picked", s0.c_str(), false, kWindows, "1"},
    };
    for (const SaveCase &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.profile)
            SetProfileText(c.profile);
        else
            RemoveProfile();

        DialogSeen seen = DoubleClick([&](HWND hDlg) {
            if (c.click)
                Click(hDlg, c.click);
            Click(hDlg, IDOK);
        });

        ASSERT_EQ(seen.timedOut, "");
        ASSERT_TRUE(seen.appeared);
        EXPECT_EQ(seen.windowsChecked, c.showsWindows);
        EXPECT_EQ(seen.dosChecked, !c.showsWindows);
        EXPECT_EQ(answer, 0);
        EXPECT_EQ(rec::lastDialogResult, 1);
        EXPECT_EQ(StoredValue("Lumasyn", "patch110"), c.written);
        const std::string w = c.written;
        EXPECT_EQ(rec::calls, (Calls{
                                  "OpenFile(LMSN110.DLL,0)", "_llseek(f,455,0)", "_lread(f,8)",
                                  "lstrcmpA(KORVELIN,KORVELIN)", "_lclose(f)",
                                  "DialogBoxParamA(hmod,100,host,PatchProc,0)",
                                  "GetPrivateProfileIntA(Lumasyn,patch110,1,N4.INI)",
                                  std::string("CheckRadioButton(dlg,1000,1001,") + (c.showsWindows ? "1000)" : "1001)"),
                                  "IsDlgButtonChecked(dlg,1000)",
                                  "wsprintfA(%d)=" + w,
                                  "WritePrivateProfileStringA(Lumasyn,patch110," + w + ",N4.INI)",
                                  "WritePrivateProfileStringA((null),(null),(null),N4.INI)",  // read back
                                  "GetPrivateProfileIntA(Lumasyn,patch110,2,N4.INI)",
                                  "EndDialog(dlg,1)",
                              }));
    }
}

namespace {

// Ends another program's hold of a file, from the timer queue's thread.
VOID CALLBACK EndHold(PVOID held, BOOLEAN)
{
    CloseHandle(*static_cast<HANDLE *>(held));
    *static_cast<HANDLE *>(held) = nullptr;
}

}  // namespace

// OK sets patch110 in N4.INI and in each per-user copy that exists, this
// account's and every listed profile's, each file once, keeping every
// other line, under the hourglass; it makes no copy, nor a gone profile's
// folder, and Cancel writes none. A profile folder may be on another
// volume, with no drive letter. Folders are names, whatever the code
// page (Łukasz is not Lukasz, Дмитрий not "???"), a REG_SZ folder is not
// expanded, and an empty or relative one, or a copy's path over MAX_PATH,
// is no copy and stops nothing; a profile list that answers an error at
// every index ends the walk. Another program's hold of 300 ms, at
// opening, at OK or just after OK's write, or its read sharing only
// reading, goes unnoticed.
TEST_F(DialogTest, OkSetsEveryProfilesCopiesAndWaitsOutABriefHold)
{
    SetEnvironmentVariableA("VELDRANO_NAME", "Decoy");
    const std::string root = ProfilePath().substr(0, 3), users = root + "Users\\";
    const ListedProfile other("S-1-5-21-0-0-0-4201", "%SystemDrive%\\Users\\Veldrano\xC5\x81ukasz"),
        twin("S-1-5-21-0-0-0-4201.bak", "%SystemDrive%\\Users\\.\\Veldrano\xC5\x81ukasz"),
        gone("S-1-5-21-0-0-0-4202", "%SystemDrive%\\Users\\Veldrano\xD0\x94\xD0\xBC\xD0\xB8\xD1\x82\xD1\x80\xD0\xB8\xD0\xB9"),
        named(("S-1-5-21-0-0-0-4203"), users + "Veldrano%VELDRANO_NAME%", REG_SZ),
        empty("S-1-5-21-0-0-0-4204", "", REG_SZ),
        container("S-1-5-21-0-0-0-4206", "%SystemDrive%\\Users\\VeldranoContainer");
    CreateDirectoryW(Wide(other.dir).c_str(), nullptr);
    // A profile folder on another volume, whose copies are its own: a
    // link to another drive under Wine, as a profile container's is; on
    // Windows a virtual disk mounted there with no drive letter, as a User
    // Profile Disk is.
    const std::string containerTarget = ExeDir() + "\\VeldranoContainer";
    CreateDirectoryW(Wide(containerTarget).c_str(), nullptr);
    std::unique_ptr<Link> containerLink(UnderWine() ? new Link(container.dir, containerTarget, true) : nullptr);
    std::unique_ptr<MountedVolume> disk(UnderWine() ? nullptr : new MountedVolume(container.dir));
    ASSERT_TRUE(containerLink ? containerLink->made : disk->error.empty())
        << "no other volume at " << container.dir << ": " << (disk ? disk->error : "");
    const std::string machine = ProfilePath(), store = VirtualStoreCopyPath(), home = PrivateWindowsCopyPath(),
                      otherStore = StoreCopyPath(other.dir), otherHome = HomeCopyPath(other.dir),
                      namedHome = HomeCopyPath(named.dir), containerHome = HomeCopyPath(container.dir),
                      below = WindowsDir().substr(2);
    const std::string *paths[] = {&machine, &store, &home, &otherStore, &otherHome, &namedHome, &containerHome};
    constexpr int kPaths = 7;
    // Where a walk through the ANSI code page, or one that expands a REG_SZ
    // folder, would lead: written by none.
    const std::string decoys[] = {HomeCopyPath(users + "VeldranoLukasz"), HomeCopyPath(users + "VeldranoDecoy")};
    const char kProfile[] = "[Other]\r\nkept=1\r\n[Lumasyn]\r\npatch110=1\r\nkeep=3\r\n";
    const std::string longFolder = root + std::string(240, 'v');
    enum When { kAtOpening, kAtOk, kReadAtOk, kAfterWrite };
    const struct Case {
        const char *name;
        int copies;                 // of paths[1..], a bit each
        const std::string *held;    // for 300 ms, or nullptr
        When when;                  // held with no sharing, or read sharing only reading
        const char *variable, *value;   // this process's environment, which the applet reads
        std::string planted;        // a file where that would lead, relative to the drive's root
        bool plantedIsCopy = false; // which is this account's copy after all
        LONG enumError = ERROR_SUCCESS;
    } cases[] = {
        {"no copies", 0, nullptr, kAtOk, nullptr, nullptr, ""},
        {"the virtual store's copy only", 1, nullptr, kAtOk, nullptr, nullptr, ""},
        {"the private Windows directory's copy only", 2, nullptr, kAtOk, nullptr, nullptr, ""},
        {"other profiles' copies", 60, nullptr, kAtOk, nullptr, nullptr, ""},
        {"every copy", 63, nullptr, kAtOk, nullptr, nullptr, ""},
        {"N4.INI held at opening", 63, &machine, kAtOpening, nullptr, nullptr, ""},
        {"N4.INI held at OK", 0, &machine, kAtOk, nullptr, nullptr, ""},
        {"N4.INI held just after OK's write", 0, &machine, kAfterWrite, nullptr, nullptr, ""},
        {"the virtual store's copy held at OK", 3, &store, kAtOk, nullptr, nullptr, ""},
        {"another profile's copy held at OK", 4, &otherStore, kAtOk, nullptr, nullptr, ""},
        {"another profile's copy read at OK", 4, &otherStore, kReadAtOk, nullptr, nullptr, ""},
        {"USERPROFILE empty", 4, nullptr, kAtOk, "USERPROFILE", "", "AppData\\Local\\VirtualStore" + below + "\\N4.INI"},
        {"USERPROFILE relative", 4, nullptr, kAtOk, "USERPROFILE", "Local",
         "Local\\AppData\\Local\\VirtualStore" + below + "\\N4.INI"},
        {"USERPROFILE not set", 4, nullptr, kAtOk, "USERPROFILE", nullptr, "%USERPROFILE%\\WINDOWS\\N4.INI"},
        {"USERPROFILE a folder with % in its name", 4, nullptr, kAtOk, "USERPROFILE",
         "\\Veldrano%VELDRANO_UNSET%", "Veldrano%VELDRANO_UNSET%\\WINDOWS\\N4.INI", true},
        {"a copy's path over MAX_PATH", 4, nullptr, kAtOk, "USERPROFILE", longFolder.c_str(), ""},
        {"the profile list answering an error at every index", 3, nullptr, kAtOk, nullptr, nullptr, "", false,
         ERROR_KEY_DELETED},
    };
    for (const std::string &decoy : decoys)
        SetCopyText(decoy, kProfile);
    for (const Case &c : cases) {
        for (bool ok : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (ok ? ", DOS and OK" : ", DOS and Cancel"));
            SetProfileText(kProfile);
            for (int i = 1; i < kPaths; i++)
                if (c.copies & (1 << (i - 1)))
                    SetCopyText(*paths[i], kProfile);
            char saved[MAX_PATH] = "";
            const bool wasSet = c.variable && GetEnvironmentVariableA(c.variable, saved, MAX_PATH) > 0;
            const std::string planted = c.planted.empty() ? "" : root + c.planted;
            if (c.variable)
                SetEnvironmentVariableA(c.variable, c.value && c.value[0] == '\\' ? (root + (c.value + 1)).c_str()
                                                                                 : c.value);
            SetCurrentDirectoryA(root.c_str());     // where a path that is not absolute leads
            if (!planted.empty())
                SetCopyText(planted, kProfile);
            HANDLE held = nullptr, timer = nullptr;
            auto hold = [&] {   // as another program would, for 300 ms
                held = CreateFileW(Wide(*c.held).c_str(), c.when == kReadAtOk ? GENERIC_READ : GENERIC_WRITE,
                                   c.when == kReadAtOk ? FILE_SHARE_READ : 0, nullptr, OPEN_EXISTING, 0, nullptr);
                EXPECT_NE(held, INVALID_HANDLE_VALUE) << "the test could not hold " << *c.held;
                CreateTimerQueueTimer(&timer, nullptr, EndHold, &held, 300, 0, WT_EXECUTEONLYONCE);
            };
            if (c.held && c.when == kAtOpening)
                hold();
            rec::standIn.enumError = c.enumError;
            DialogSeen seen = DoubleClick([&](HWND hDlg) {
                Click(hDlg, kDos);
                if (c.held && (c.when == kAtOk || c.when == kReadAtOk))
                    hold();
                if (c.held && c.when == kAfterWrite)
                    rec::standIn.afterProfileWrite = [&] {
                        rec::standIn.afterProfileWrite = nullptr;
                        hold();
                    };
                Click(hDlg, ok ? IDOK : IDCANCEL);
            });
            rec::standIn.afterProfileWrite = nullptr;
            if (c.variable)
                SetEnvironmentVariableA(c.variable, wasSet ? saved : nullptr);
            SetCurrentDirectoryA(ExeDir().c_str());
            ASSERT_EQ(seen.timedOut, "");
            EXPECT_TRUE(seen.appeared && seen.windowsChecked)
                << "expected the dialog with Windows checked; seen: appeared " << seen.appeared << ", Windows "
                << seen.windowsChecked;
            EXPECT_EQ(rec::messageBoxes.size(), 0u) << rec::messageBoxes[0].text;
            EXPECT_EQ(rec::lastDialogResult, ok ? 1 : 0);
            EXPECT_TRUE(rec::waitCursorAtWrite || !ok) << "no hourglass while OK saves";
            if (c.enumError && ok)
                EXPECT_EQ(rec::enumCalls, 1) << "the profile list was read on after an error";
            DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
            if (held)   // Cancel came before the 300 ms were up
                CloseHandle(held);
            for (int i = 0; i <= kPaths + 2; i++) {
                const std::string &path = i < kPaths ? *paths[i] : i == kPaths ? planted : decoys[i - kPaths - 1];
                const bool there =
                    i == 0 || (i < kPaths ? (c.copies >> (i - 1)) & 1 : i > kPaths || !planted.empty());
                const bool set = there && ok && (i < kPaths || (i == kPaths && c.plantedIsCopy));
                EXPECT_EQ(StoredValue("Lumasyn", "patch110", path), !there ? "<none>" : set ? "0" : "1") << path;
                if (there)      // the other lines stay
                    EXPECT_EQ(StoredValue("Other", "kept", path) + StoredValue("Lumasyn", "keep", path), "13") << path;
            }
            EXPECT_EQ(GetFileAttributesW(Wide(gone.dir).c_str()), INVALID_FILE_ATTRIBUTES)
                << "a gone profile's folder was made";
            RemoveProfile();
            for (int i = 3; i < kPaths; i++)
                RemoveFile(*paths[i]);
            if (!planted.empty())
                RemoveTree(root + c.planted.substr(0, c.planted.find('\\')));
        }
    }
    for (const std::string &decoy : decoys)
        RemoveTree(decoy.substr(0, decoy.size() - 15));     // its folder, less "\WINDOWS\N4.INI"
    RemoveTree(containerTarget);
}

// As the administrator who answers a standard user's UAC prompt: Windows
// made that user's virtual store copy for a program with no manifest, and
// DOS and OK set it.
TEST_F(DialogTest, OkSetsAStandardUsersOwnCopy)
{
    SKIP_UNDER_WINE("UAC file virtualisation");
    const StandardUser user;
    ASSERT_EQ(user.created, DWORD(NERR_Success)) << "NetUserAdd";
    SetProfileText(Stored("1"));
    std::string why;
    const std::string copy = user.WriteN4Ini(&why);
    ASSERT_NE(copy, "") << why;
    DialogSeen seen = DoubleClick([](HWND hDlg) {
        Click(hDlg, kDos);
        Click(hDlg, IDOK);
    });
    ASSERT_EQ(seen.timedOut, "");
    EXPECT_EQ(rec::messageBoxes.size(), 0u) << rec::messageBoxes[0].text;
    EXPECT_EQ(StoredValue("Lumasyn", "patch110") + StoredValue("Lumasyn", "patch110", copy), "00") << copy;
}

struct CloseCase {
    const char *name;
    std::function<void(HWND)> close;
};

TEST_F(DialogTest, ClosingWithoutOkWritesNothing)
{
    const CloseCase closes[] = {
        {"Cancel", [](HWND hDlg) { Click(hDlg, IDCANCEL); }},
        {"DOS then Cancel", [](HWND hDlg) { Click(hDlg, kDos); Click(hDlg, IDCANCEL); }},
        {"Windows then Cancel", [](HWND hDlg) { Click(hDlg, kWindows); Click(hDlg, IDCANCEL); }},
        {"close box", [](HWND hDlg) { PostMessageA(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"Escape", [](HWND hDlg) { PostMessageA(hDlg, WM_KEYDOWN, VK_ESCAPE, 0); }},
        {"DOS, then Windows closes the program", [](HWND hDlg) {     // as the Restart Manager does
             Click(hDlg, kDos);
             EXPECT_NE(SendMessageA(hDlg, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP), 0);
             SendMessageA(hDlg, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
         }},
    };
    const char *profiles[] = {nullptr, "[Lumasyn]\r\npatch110=2\r\n", "; kept\r\n[Lumasyn]\r\npatch110 = 0\r\n"};
    for (const CloseCase &c : closes) {
        for (const char *profile : profiles) {
            SCOPED_TRACE(std::string(c.name) + " / " + (profile ? profile : "no N4.INI"));
            if (profile)
                SetProfileText(profile);
            else
                RemoveProfile();

            DialogSeen seen = DoubleClick(c.close);

            ASSERT_EQ(seen.timedOut, "");
            ASSERT_TRUE(seen.appeared);
            EXPECT_EQ(rec::lastDialogResult, 0);
            EXPECT_EQ(answer, 0);
            EXPECT_EQ(rec::Matching("WritePrivateProfileStringA"), Calls{});
            EXPECT_EQ(rec::Matching("EndDialog"), Calls{"EndDialog(dlg,0)"});
            FlushProfileCache();
            std::string after;
            if (profile) {
                ASSERT_TRUE(ReadBytes(ProfilePath(), after));
                EXPECT_EQ(after, profile);
            } else {
                EXPECT_FALSE(ReadBytes(ProfilePath(), after)) << "N4.INI was created";
            }
        }
    }
}

// A second opening brings the open dialog to the front, restored if
// minimised; once closed, the item opens again. Another program's window
// with the caption and controls 1000 and 1001, shown or hidden, neither
// keeps it from opening nor is brought forward.
TEST_F(DialogTest, SecondOpeningBringsTheOpenDialogForward)
{
    HWND other = CreateWindowExA(0, WC_DIALOG, kCaption, WS_POPUP, 0, 0, 60, 40,
                                 nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    for (int id : {kWindows, kDos})
        CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE, 0, 0, 20, 10, other, HMENU(INT_PTR(id)), nullptr, nullptr);
    for (bool minimised : {false, true}) {
        ShowWindow(other, minimised ? SW_HIDE : SW_SHOW);
        LONG second = -1;
        bool inFront = false, restored = false;
        DialogSeen seen = DoubleClick([&](HWND hDlg) {
            SetForegroundWindow(other);
            if (minimised)
                ShowWindow(hDlg, SW_MINIMIZE);
            second = Send(CPL_DBLCLK, 0, 0);
            inFront = rec::foregroundAsked == hDlg;
            restored = !IsIconic(hDlg);
            Click(hDlg, IDCANCEL);
        });
        ASSERT_EQ(seen.timedOut, "");
        EXPECT_TRUE(seen.appeared && second == 0 && inFront && restored)
            << "minimised " << minimised << ": expected the dialog, the second opening's answer 0, the dialog asked "
            << "to the front and not minimised; seen: appeared " << seen.appeared << ", answer " << second
            << ", asked to the front " << inFront << ", restored " << restored;
        EXPECT_EQ(rec::Matching("OpenFile").size(), 2u);    // the marker is checked first, both times
        EXPECT_EQ(rec::Matching("DialogBoxParamA").size(), 1u);
    }
    DestroyWindow(other);
}

namespace {

struct Opening {
    APPLET_PROC cpl;
    HWND host;
    LONG answer;
};

DWORD WINAPI OpenFromAnotherThread(LPVOID param)
{
    auto *o = static_cast<Opening *>(param);
    o->answer = o->cpl(o->host, CPL_DBLCLK, 0, 0);
    return 0;
}

// Whether `thread` ends within `ms`, handling this thread's messages
// meanwhile: a dialog of the other thread's, owned by the host window,
// sends it messages as it comes and goes.
bool WaitPumping(HANDLE thread, DWORD ms)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms;) {
        if (MsgWaitForMultipleObjects(1, &thread, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0)
            return true;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

}  // namespace

// Two openings at once, as from two processes: the second comes while the
// first is about to make its dialog. It waits for that dialog and brings
// it forward instead of opening a second one.
TEST_F(DialogTest, TwoOpeningsAtOnceGiveOneDialog)
{
    ASSERT_EQ(NoInteractiveDesktop(), "");     // the cause, before any wait for a dialog
    Opening second{cpl, host, -1};
    HANDLE thread = nullptr;
    rec::standIn.beforeDialog = [&] {
        thread = CreateThread(nullptr, 0, OpenFromAnotherThread, &second, 0, nullptr);
        WaitForSingleObject(thread, 1000);      // time enough to open a dialog of its own
    };
    DialogSeen seen = DoubleClick([&](HWND hDlg) {
        WaitPumping(thread, 5000);  // it finds this dialog within a step of its wait
        Click(hDlg, IDCANCEL);
    });
    // A second dialog, if one opened, is cancelled so that its thread ends.
    for (DWORD start = GetTickCount(); !WaitPumping(thread, 100) && GetTickCount() - start < 15000;)
        if (HWND left = FindWindowA("#32770", kCaption))
            PostMessageA(left, WM_COMMAND, IDCANCEL, 0);
    ASSERT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "the second opening did not end within 15 s";
    CloseHandle(thread);
    EXPECT_EQ(seen.timedOut, "");
    EXPECT_TRUE(seen.appeared);
    EXPECT_EQ(second.answer, 0);
    EXPECT_EQ(rec::Matching("DialogBoxParamA").size(), 1u);
}

namespace {

const char kLock[] = "Local\\Veldrano.Configure";

// Another holder of the lock, which shows no dialog: it holds the lock
// until `release` is set or, without it, ends owning it (abandoned) after
// `ms`.
struct Hold {
    HANDLE ready, release, mutex;
    DWORD ms;
};

DWORD WINAPI HoldLock(LPVOID param)
{
    auto *hold = static_cast<Hold *>(param);
    hold->mutex = CreateMutexA(nullptr, TRUE, kLock);
    SetEvent(hold->ready);
    if (hold->release) {
        WaitForSingleObject(hold->release, 30000);
        ReleaseMutex(hold->mutex);
    }
    Sleep(hold->ms);
    return 0;
}

// Whether another thread can take the lock now, as a second opening would.
DWORD WINAPI TakeLock(LPVOID mutex)
{
    DWORD taken = WaitForSingleObject(mutex, 0);
    ReleaseMutex(mutex);
    return taken;
}

}  // namespace

// Nothing keeps the item from opening for long. An opening that waits for
// the lock goes on as soon as the holder's dialog ends, which releases it;
// a holder that shows no dialog delays it by the wait's limit, ten
// seconds; an abandoned lock, or another kind of object under its name,
// lets it open at once. Dialogs are stood in.
TEST_F(DialogTest, OpeningGoesOnWithoutTheLock)
{
    enum Kind { kHolderDialogEnds, kHolderShowsNone, kAbandoned, kAbandonedWhileWaiting, kOtherKind };
    const struct Case {
        const char *name;
        Kind kind;
        DWORD minMs, maxMs;     // how long the opening takes (after the holder, the first row)
        size_t dialogs;
    } cases[] = {
        {"waiting while the holder's dialog is made, goes on when it ends", kHolderDialogEnds, 0, 5000, 2},
        {"held by a program that shows no dialog: waits ten seconds, then opens", kHolderShowsNone, 8000, 20000, 1},
        {"an abandoned lock: opens at once", kAbandoned, 0, 5000, 1},
        {"abandoned while the opening waits: opens then", kAbandonedWhileWaiting, 0, 5000, 1},
        {"an event with the lock's name: opens at once", kOtherKind, 0, 5000, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rec::calls.clear();
        rec::standIn.dialog = true;
        Opening second{cpl, host, -1};
        Hold hold = {CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr, nullptr,
                     c.kind == kAbandonedWhileWaiting ? 500u : 0u};
        HANDLE thread = nullptr, event = nullptr;
        if (c.kind == kHolderShowsNone || c.kind == kAbandoned || c.kind == kAbandonedWhileWaiting) {
            if (c.kind == kHolderShowsNone)
                hold.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            thread = CreateThread(nullptr, 0, HoldLock, &hold, 0, nullptr);
            WaitForSingleObject(c.kind == kAbandoned ? thread : hold.ready, 5000);
        } else if (c.kind == kOtherKind) {
            event = CreateEventA(nullptr, FALSE, FALSE, kLock);
        } else {
            rec::standIn.beforeDialog = [&] {
                thread = CreateThread(nullptr, 0, OpenFromAnotherThread, &second, 0, nullptr);
                Sleep(500);     // it finds no dialog and waits for the lock
            };
        }
        DWORD start = GetTickCount();
        EXPECT_EQ(Send(CPL_DBLCLK, 0, 0), 0);
        if (c.kind == kHolderDialogEnds) {
            start = GetTickCount();
            EXPECT_EQ(WaitForSingleObject(thread, 15000), WAIT_OBJECT_0);
            EXPECT_EQ(second.answer, 0);
        }
        const DWORD took = GetTickCount() - start;
        EXPECT_TRUE(took >= c.minMs && took <= c.maxMs) << "the opening took " << took << " ms";
        EXPECT_EQ(rec::Matching("DialogBoxParamA").size(), c.dialogs);
        if (hold.release)
            SetEvent(hold.release);
        WaitForSingleObject(thread, 15000);
        // Once the opening is over, the lock is free: an opening that took
        // it, also from a host that died, owns it once and releases it.
        if (hold.mutex) {
            HANDLE taker = CreateThread(nullptr, 0, TakeLock, hold.mutex, 0, nullptr);
            DWORD taken = WAIT_FAILED;
            WaitForSingleObject(taker, 5000);
            GetExitCodeThread(taker, &taken);
            CloseHandle(taker);
            EXPECT_EQ(taken, WAIT_OBJECT_0) << "another thread's wait for the lock (258: still owned)";
        }
        for (HANDLE h : {thread, event, hold.ready, hold.release, hold.mutex})
            if (h)
                CloseHandle(h);
    }
}

namespace {

// The applet's message box, seen from a timer inside its modal loop: its
// text as shown, then closed with its OK button.
struct BoxSeen {
    HWND dlg;
    bool shown;
    std::string text;
    std::function<void()> reopen;   // a second opening while the box is up,
    bool reopenedToBox;             // which brings the box forward
    bool endSession;                // Windows closes the program instead of OK
    std::string controls;           // the box's, when it lacks the text or OK
} box;

BOOL CALLBACK FindBox(HWND hwnd, LPARAM found)
{
    char cls[16] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") == 0 && (!box.dlg || GetWindow(hwnd, GW_OWNER) == box.dlg) && IsWindowVisible(hwnd) &&
        !GetDlgItem(hwnd, kDos)) {
        *reinterpret_cast<HWND *>(found) = hwnd;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK CloseBox(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&found));
    if (found == nullptr)
        return;
    KillTimer(nullptr, timer);
    box.reopen();
    box.reopenedToBox = rec::foregroundAsked == found;
    wchar_t text[1100] = L"";
    GetDlgItemTextW(found, 0xFFFF, text, 1100);     // the message's static control
    if (!GetDlgItem(found, 0xFFFF) || !GetDlgItem(found, IDOK))
        box.controls = Controls(found);
    box.shown = true;
    box.text = Utf8Of(text);
    if (box.endSession)
        SendMessageA(box.dlg, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    else
        SendMessageA(GetDlgItem(found, IDOK), BM_CLICK, 0, 0);
}

// Presses OK on the dialog, and OK on the message box that follows.
void PressOkThroughTheBox(HWND hDlg, const std::function<void()> &reopen, bool endSession)
{
    box = BoxSeen{hDlg, false, "", reopen, false, endSession, ""};
    UINT_PTR timer = SetTimer(nullptr, 0, 20, CloseBox);
    Click(hDlg, IDOK);
    KillTimer(nullptr, timer);
}

const char kAdmin[] = "\n\nChanging this setting needs administrator rights, and N4.INI must not be read-only.";

}  // namespace

// A refused save is explained in a message box owned by the dialog, with
// where the file is and the reason. The dialog stays open with the choice
// still checked: Cancel gives up, and once the cause is gone, OK saves.
// The file stays readable, as the Windows directory is to a standard user:
// another program holds it for writing and shares only reading. A copy
// refused after N4.INI was saved, or reached through a link (whose target
// is left as it was), is told with what was saved, which Cancel keeps. An
// N4.INI that cannot be read at all, or is too large, is told when the
// item opens, and no dialog shows a value it does not know.
TEST_F(DialogTest, RefusedSaveIsExplainedAndTheDialogStaysOpen)
{
    enum Cause { kHeldByWriter, kStandIn, kNotLanding, kUnreadable, kDirectory, kTooLarge, kDevice,
                 kCopyHeldByWriter, kCopyFolder,    // copies from here
                 kLinkedFolder, kLinkedLookalike, kLinkedLocal, kLinkedFile, kHardLink };    // links from here
    const char *kLinked = "It is a link, or a folder on its way is one (a junction, a symbolic link, or a second "
                          "name of a file), and links are not followed.";
    struct Case {
        const char *name;
        Cause cause;
        DWORD error;            // the one the write or the read meets, real or stood in
        const char *reason;     // the applet's own words, or nullptr for the system's
        bool admin;             // the administrator sentence follows
        bool thenCancel;        // else the cause is removed and OK pressed again
        bool endSession;        // Windows closes the program while the box is up
        bool named = false;     // the copy is Дмитрий's, named outside the ANSI code page
    } const cases[] = {
        {"N4.INI held by a writer (sharing violation)", kHeldByWriter, ERROR_SHARING_VIOLATION, nullptr, false, false,
         false},
        {"held by a writer, then Cancel", kHeldByWriter, ERROR_SHARING_VIOLATION, nullptr, false, true, false},
        {"the virtual store's copy held by a writer", kCopyHeldByWriter, ERROR_SHARING_VIOLATION, nullptr, false,
         false, false},
        {"a folder in a copy's place, then Cancel", kCopyFolder, ERROR_ACCESS_DENIED, nullptr, false, true, false,
         true},
        {"a copy in a linked folder", kLinkedFolder, 0, kLinked, false, true, false},
        {"a copy in a linked folder whose name is its own but for a soft hyphen", kLinkedLookalike, 0, kLinked, false,
         true, false},
        {"this account's AppData\\Local a link", kLinkedLocal, 0, kLinked, false, true, false},
        {"a copy that is a link to another file", kLinkedFile, 0, kLinked, false, true, false},
        {"a copy with a second name", kHardLink, 0, kLinked, false, true, false},
        {"access denied, then Cancel", kStandIn, ERROR_ACCESS_DENIED, nullptr, true, true, false},
        {"disk full", kStandIn, ERROR_DISK_FULL, nullptr, false, false, false},
        {"written, but not there when read back", kNotLanding, 0,
         "Windows reported the change as written, but the file does not hold it.", false, false, false},
        {"a code the system has no text for", kStandIn, 0x2000ABCD, "Error 536914893.", false, false, false},
        {"no code at all", kStandIn, 0, "Error 0.", false, true, false},
        {"Windows closes the program", kHeldByWriter, ERROR_SHARING_VIOLATION, nullptr, false, true, true},
        {"held with no sharing, stored 0: told at opening", kUnreadable, ERROR_SHARING_VIOLATION, nullptr, false, true,
         false},
        {"a directory in its place: told at opening", kDirectory, ERROR_ACCESS_DENIED, nullptr, false, true, false},
        {"300 MB: told at opening", kTooLarge, 0, "It is larger than 1 MB, which no N4.INI is, so it is left as it is.",
         false, true, false},
        {"a device in its place: told at opening", kDevice, 0, "It is a device, not a file, so it is left as it is.",
         false, true, false},
    };
    // A copy in Дмитрий's profile; this account's profile listed once more
    // (a .bak twin), which must not tell its copy twice; a profile of this
    // account's environment alone, whose AppData\Local a link leads away.
    const ListedProfile named("S-1-5-21-0-0-0-4205",
                              "%SystemDrive%\\Users\\Veldrano\xD0\x94\xD0\xBC\xD0\xB8\xD1\x82\xD1\x80\xD0\xB8\xD0\xB9"),
        twin("S-1-5-21-0-0-0-4209.bak", "%USERPROFILE%\\.");
    CreateDirectoryW(Wide(named.dir).c_str(), nullptr);
    const std::string home = PrivateWindowsCopyPath(), profile = home.substr(0, home.size() - 15),
                      fake = profile + "\\VeldranoFakeProfile", below = WindowsDir().substr(2);

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bool atOpening = c.cause >= kUnreadable && c.cause <= kDevice;
        const bool held = c.cause == kHeldByWriter || c.cause == kCopyHeldByWriter || c.cause == kUnreadable;
        const bool copy = c.cause >= kCopyHeldByWriter, linked = c.cause >= kLinkedFolder;
        const bool linkedFolder = linked && c.cause <= kLinkedLocal;
        const std::string file = !copy ? ProfilePath() : StoreCopyPath(c.cause == kLinkedLocal ? fake : c.named ? named.dir : profile);
        // The link, and what it leads to: on the copy's volume, where a
        // hard link can be.
        std::string link = linkedFolder ? file.substr(0, file.rfind('\\')) : file;
        std::string folder = profile + "\\VeldranoLinkTarget", target = folder + "\\N4.INI";
        if (c.cause == kLinkedLookalike)
            folder = link.substr(0, link.size() - 4) + "\xC2\xAD" + link.substr(link.size() - 4), target = folder + "\\N4.INI";
        if (c.cause == kLinkedLocal)
            link = fake + "\\AppData\\Local", target = folder + "\\VirtualStore" + below + "\\N4.INI";
        const std::string before = Stored(c.cause == kUnreadable ? "0" : "1");
        RemoveProfile();
        std::unique_ptr<Link> planted;     // removed however the row ends
        if (c.cause == kDirectory)
            ASSERT_TRUE(CreateDirectoryA(ProfilePath().c_str(), nullptr));
        else if (c.cause == kDevice)
            planted.reset(new Link(ProfilePath(), UnderWine() ? "/dev/null" : "\\\\.\\NUL", false));
        else
            SetProfileText(before);
        ASSERT_TRUE(c.cause != kDevice || planted->made) << "no link to a device at " << ProfilePath();
        LARGE_INTEGER size = {{300 << 20, 0}};
        if (c.cause == kTooLarge) {     // sparse, where the file system allows
            HANDLE f = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_TRUE(SetFilePointerEx(f, size, nullptr, FILE_BEGIN) && SetEndOfFile(f));
            CloseHandle(f);
        }
        if (copy)
            SetCopyText(file, before);      // and its folders
        if (linked)
            SetCopyText(target, before);
        if (c.cause == kCopyFolder)
            RemoveFile(file), CreateDirectoryW(Wide(file).c_str(), nullptr);
        if (linked) {
            RemoveTree(link);
            if (c.cause != kHardLink)
                planted.reset(new Link(link, linkedFolder ? folder : target, linkedFolder));
            ASSERT_TRUE(planted ? planted->made : CreateHardLinkW(Wide(file).c_str(), Wide(target).c_str(), nullptr) != FALSE)
                << "no link at " << link << ": error " << GetLastError();
        }
        // This account's profile as its environment names it, which the
        // applet reads.
        char savedProfile[MAX_PATH] = "", savedLocal[MAX_PATH] = "";
        GetEnvironmentVariableA("USERPROFILE", savedProfile, MAX_PATH);
        GetEnvironmentVariableA("LOCALAPPDATA", savedLocal, MAX_PATH);
        if (c.cause == kLinkedLocal) {
            SetEnvironmentVariableW(L"USERPROFILE", Wide(fake).c_str());
            SetEnvironmentVariableW(L"LOCALAPPDATA", Wide(link).c_str());
        }
        HANDLE hold = INVALID_HANDLE_VALUE;
        if (held) {
            hold = CreateFileA(file.c_str(), GENERIC_WRITE, c.cause == kUnreadable ? 0 : FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(hold, INVALID_HANDLE_VALUE);
        }
        auto removeCause = [&] {
            if (c.cause == kDirectory)
                RemoveDirectoryA(ProfilePath().c_str());
            if (hold != INVALID_HANDLE_VALUE)
                CloseHandle(hold);
            hold = INVALID_HANDLE_VALUE;
            rec::standIn.failProfileWrite = rec::standIn.dropProfileWrite = false;
        };

        bool stayedOpen = false, dosStillChecked = false, endedEarly = true;
        size_t tries = 0;       // writes before the box
        DWORD toldAfter = 0;
        box = BoxSeen{nullptr, false, "", [&] { Send(CPL_DBLCLK, 0, 0); }, false, false, ""};
        UINT_PTR atOpeningTimer = atOpening ? SetTimer(nullptr, 0, 20, CloseBox) : 0;
        DialogSeen seen = DoubleClick([&](HWND hDlg) {
            rec::standIn.failProfileWrite = c.cause == kStandIn;
            rec::standIn.dropProfileWrite = c.cause == kNotLanding;
            rec::standIn.profileError = c.error;
            Click(hDlg, kDos);
            const DWORD clicked = GetTickCount();
            PressOkThroughTheBox(hDlg, [&] {
                toldAfter = GetTickCount() - clicked;
                tries = rec::Matching("WritePrivateProfileStringA(Lumasyn").size();
                Send(CPL_DBLCLK, 0, 0);
            }, c.endSession);
            if (c.endSession)
                return;     // ended, with the box: nothing more to press
            stayedOpen = IsWindow(hDlg) && IsWindowEnabled(hDlg);
            dosStillChecked = IsDlgButtonChecked(hDlg, kDos) == BST_CHECKED;
            endedEarly = !rec::Matching("EndDialog").empty();
            if (c.thenCancel) {
                Click(hDlg, IDCANCEL);
            } else {
                removeCause();
                Click(hDlg, IDOK);
            }
        });
        KillTimer(nullptr, atOpeningTimer);
        removeCause();
        SetEnvironmentVariableA("USERPROFILE", savedProfile);
        SetEnvironmentVariableA("LOCALAPPDATA", savedLocal);

        EXPECT_EQ(box.controls, "") << kBoxAssumption;
        ASSERT_EQ(seen.timedOut, "");
        ASSERT_EQ(seen.appeared, !atOpening);
        EXPECT_TRUE(box.shown);
        EXPECT_TRUE(box.reopenedToBox);
        EXPECT_EQ(rec::Matching("DialogBoxParamA").size(), 1u);
        EXPECT_EQ(stayedOpen && dosStillChecked && !endedEarly, !c.endSession && !atOpening)
            << "expected the dialog " << (!c.endSession && !atOpening ? "still open with DOS checked" : "ended")
            << " after the box; seen: open and enabled " << stayedOpen << ", DOS checked " << dosStillChecked
            << ", EndDialog called " << endedEarly;
        const std::string text = "The Files setting could not be " +
                                 std::string(atOpening ? "read from " : "saved in ") + file +
                                 (atOpening ? ", so it cannot be shown or changed" : "") + ".\n\n" +
                                 (c.reason ? c.reason : SystemText(c.error)) + (c.admin ? kAdmin : "") +
                                 (copy ? "\n\nIt was saved in " + ProfilePath() +
                                             " and in the other copies of N4.INI. OK tries again; Cancel keeps what "
                                             "was saved."
                                       : "");
        ASSERT_EQ(rec::messageBoxes.size(), 1u);
        EXPECT_EQ(rec::messageBoxes[0].owner, "dlg");
        EXPECT_EQ(rec::messageBoxes[0].caption, kCaption);
        EXPECT_EQ(rec::messageBoxes[0].type, UINT(MB_OK | MB_ICONERROR));
        const char *assumed = held && !atOpening && !copy ? kSharingAssumption : "";
        EXPECT_EQ(rec::messageBoxes[0].text, text) << assumed;
        EXPECT_EQ(box.text, text) << assumed;
        EXPECT_EQ(rec::Matching("MessageBeep"), Calls{});     // the box sounds the error itself
        // A hold is waited out for about half a second (a second for all
        // the copies), then told; any other error is told at once. Every
        // write of N4.INI is the same line.
        const Calls writes = rec::Matching("WritePrivateProfileStringA(Lumasyn");
        if (!atOpening) {
            EXPECT_TRUE((held && !copy ? tries > 2 : tries == 1) && toldAfter < 3000)
                << tries << " writes, told after " << toldAfter << " ms";
            EXPECT_EQ(writes.size(), tries + (c.thenCancel ? 0 : 1));
        }
        for (const std::string &w : writes)
            EXPECT_EQ(w.substr(0, 46), "WritePrivateProfileStringA(Lumasyn,patch110,0,");
        EXPECT_EQ(rec::lastDialogResult, c.thenCancel ? 0 : 1);
        EXPECT_EQ(answer, 0);

        FlushProfileCache();
        std::string after;
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!c.thenCancel) {
            EXPECT_EQ(StoredValue("Lumasyn", "patch110") + StoredValue("Lumasyn", "patch110", file), "00");
        } else if (c.cause == kDirectory) {
            EXPECT_FALSE(ReadBytes(ProfilePath(), after)) << "N4.INI was created";
        } else if (c.cause == kDevice) {
            // nothing was read from it, nor written
        } else if (c.cause == kTooLarge) {
            EXPECT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data) &&
                        data.nFileSizeLow == size.LowPart && data.nFileSizeHigh == 0)
                << "N4.INI is no longer 300 MB";
        } else {    // N4.INI as it was, or saved; a copy, or a link's target, as it was
            EXPECT_EQ(ReadBytes(linked ? target : file, after) ? after : "<a folder>",
                      c.cause == kCopyFolder ? "<a folder>" : before);
            if (copy)
                EXPECT_EQ(StoredValue("Lumasyn", "patch110"), "0");
        }
        planted.reset();
        RemoveTree(folder);
        RemoveTree(fake);
        if (c.named)
            RemoveTree(file);
    }
}

// PatchProc answers FALSE to everything; only OK and Cancel end the dialog,
// whatever the notification code in the high word.
TEST_F(DialogTest, DialogProcedureAnswers)
{
    auto proc = reinterpret_cast<DLGPROC>(GetProcAddress(hmod, "PatchProc"));
    ASSERT_NE(proc, nullptr);
    SetProfileText(Stored("0"));
    struct Case {
        UINT msg;
        WPARAM wParam;
        Calls expected;
    } const cases[] = {
        {WM_PAINT, 0, {}},
        {WM_CLOSE, 0, {}},
        {WM_TIMER, 1, {}},
        {WM_COMMAND, MAKEWPARAM(kWindows, BN_CLICKED), {}},
        {WM_COMMAND, MAKEWPARAM(kDos, BN_CLICKED), {}},
        {WM_COMMAND, MAKEWPARAM(3, 0), {}},
        {WM_COMMAND, MAKEWPARAM(IDCANCEL, 0x1234), {"EndDialog(host,0)"}},
        {WM_QUERYENDSESSION, 0, {}},
        {WM_ENDSESSION, FALSE, {}},     // the session goes on
        {WM_COMMAND, MAKEWPARAM(IDOK, 0x1234), {"IsDlgButtonChecked(host,1000)", "wsprintfA(%d)=0",
                                                "WritePrivateProfileStringA(Lumasyn,patch110,0,N4.INI)",
                                                "WritePrivateProfileStringA((null),(null),(null),N4.INI)",
                                                "GetPrivateProfileIntA(Lumasyn,patch110,2,N4.INI)", "EndDialog(host,1)"}},
        {WM_INITDIALOG, 0, {"GetPrivateProfileIntA(Lumasyn,patch110,1,N4.INI)",
                            "CheckRadioButton(host,1000,1001,1001)"}},
    };
    for (const Case &c : cases) {
        rec::calls.clear();
        EXPECT_EQ(proc(host, c.msg, c.wParam, 0x5555), FALSE) << c.msg;
        EXPECT_EQ(rec::calls, c.expected) << c.msg;
    }
}
