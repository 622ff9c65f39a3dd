// The dispatch's CPL_INIT / CPL_EXIT bookkeeping, linked against counting
// hooks, and the profile writer's number format.
#include <windows.h>
#include <cpl.h>

#include <gtest/gtest.h>

#include "../../src/config/config.h"
#include "../../src/shell/shell.h"
#include "hooks_double.h"

namespace {

HWND const kHost = reinterpret_cast<HWND>(0x1234);

struct Step {
    UINT msg;
    BOOL initResult;    // what the init hook answers, if it runs
    LONG answer;
};

struct CountCase {
    const char *name;
    std::vector<Step> steps;
    int initCalls;
    int termCalls;
    int count;
};

constexpr UINT I = CPL_INIT, X = CPL_EXIT;

}  // namespace

TEST(InitCount, RunsEachHookOnceAtTheEdges)
{
    const CountCase cases[] = {
        {"one pair", {{I, 1, 1}, {X, 1, 0}}, 1, 1, 0},
        {"nested pairs", {{I, 1, 1}, {I, 1, 1}, {X, 1, 0}}, 1, 0, 1},
        {"nested pairs closed", {{I, 1, 1}, {I, 1, 1}, {X, 1, 0}, {X, 1, 0}}, 1, 1, 0},
        {"init again after term", {{I, 1, 1}, {X, 1, 0}, {I, 1, 1}}, 2, 1, 1},
        {"exit first", {{X, 1, 0}}, 0, 0, -1},
        {"from -1, init only counts up", {{X, 1, 0}, {I, 1, 1}}, 0, 0, 0},
        {"from -1, second init runs the hook", {{X, 1, 0}, {I, 1, 1}, {I, 1, 1}}, 1, 0, 1},
        {"two exits below zero", {{X, 1, 0}, {X, 1, 0}, {I, 1, 1}}, 0, 0, -1},
        {"failed init is not counted", {{I, 0, 0}}, 1, 0, 0},
        {"failed init, then a good one", {{I, 0, 0}, {I, 1, 1}, {X, 1, 0}}, 2, 1, 0},
        {"later inits skip the hook", {{I, 1, 1}, {I, 0, 1}}, 1, 0, 2},
    };
    for (const CountCase &c : cases) {
        SCOPED_TRACE(c.name);
        hooks::Reset();
        iInitCount = 0;
        for (const Step &s : c.steps) {
            hooks::initResult = s.initResult;
            EXPECT_EQ(CPlApplet(kHost, s.msg, 0, 0), s.answer);
        }
        EXPECT_EQ(hooks::initCalls, c.initCalls);
        EXPECT_EQ(hooks::termCalls, c.termCalls);
        EXPECT_EQ(iInitCount, c.count);
    }
}

TEST(InitCount, InitHookGetsTheHostWindow)
{
    hooks::Reset();
    iInitCount = 0;
    CPlApplet(kHost, CPL_INIT, 0, 0);
    EXPECT_EQ(hooks::initParent, kHost);
}

TEST(InitCount, OtherMessagesLeaveTheCountAlone)
{
    hooks::Reset();
    iInitCount = 3;
    NEWCPLINFOA info = {};
    for (UINT msg : {0u, UINT(CPL_GETCOUNT), UINT(CPL_INQUIRE), UINT(CPL_SELECT), UINT(CPL_STOP), 9u, 0x7FFFFFFFu})
        CPlApplet(kHost, msg, 0, 0);
    CPlApplet(kHost, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(iInitCount, 3);
    EXPECT_EQ(hooks::initCalls + hooks::termCalls, 0);
}

TEST(DllEntry, KeepsTheInstanceOnlyAtProcessAttach)
{
    HINSTANCE const mod = reinterpret_cast<HINSTANCE>(0x10000000);
    const struct {
        DWORD reason;
        HMODULE after;
    } steps[] = {
        {DLL_PROCESS_ATTACH, mod},
        {DLL_THREAD_ATTACH, mod},
        {DLL_THREAD_DETACH, mod},
        {DLL_PROCESS_DETACH, mod},
        {77, mod},
    };
    hModule = nullptr;
    for (const auto &s : steps) {
        EXPECT_EQ(DllMain(s.reason == DLL_PROCESS_ATTACH ? mod : nullptr, s.reason, nullptr), TRUE);
        EXPECT_EQ(hModule, s.after) << s.reason;
    }
}

// The whole range of int fits the writer's buffer and reads back as written.
TEST(ProfileWriter, WritesSignedDecimalText)
{
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string ini = std::string(dir) + "veldrano-unit.ini";
    const struct {
        int value;
        const char *text;
    } cases[] = {{0, "0"}, {1, "1"}, {-1, "-1"}, {2147483647, "2147483647"}, {INT_MIN, "-2147483648"}};
    for (const auto &c : cases) {
        EXPECT_TRUE(WritePrivateProfileInt("Lumasyn", "patch110", c.value, ini.c_str()));
        char got[32] = "";
        GetPrivateProfileStringA("Lumasyn", "patch110", "", got, sizeof got, ini.c_str());
        EXPECT_STREQ(got, c.text);
    }
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, ini.c_str());
    DeleteFileA(ini.c_str());
}

TEST(ProfileWriter, ReportsAFailedWrite)
{
    // A directory that does not exist cannot hold the file.
    EXPECT_FALSE(WritePrivateProfileInt("Lumasyn", "patch110", 1, "C:\\no-such-dir-veldrano\\N4.INI"));
}
