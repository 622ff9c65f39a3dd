// What the Control Panel host sees of CPlApplet: answers, the inquiry
// record, and the platform calls behind them.
#include "../support/applet.h"
#include "../support/texts.h"

#include <string.h>

using Calls = std::vector<std::string>;

struct Answer {
    UINT msg;
    LONG expected;
};

class DispatchTest : public AppletTest {};

TEST_F(DispatchTest, AnswersEveryMessageWithoutTouchingThePlatform)
{
    const Answer table[] = {
        {CPL_GETCOUNT, 1},      // before CPL_INIT too
        {CPL_INIT, 1},
        {CPL_GETCOUNT, 1},
        {CPL_SELECT, 0},
        {CPL_STOP, 0},
        {0, 0},
        {CPL_STARTWPARMSA, 0},
        {CPL_STARTWPARMSW, 0},
        {CPL_SETUP, 0},
        {0xFFFFFFFFu, 0},
        {CPL_EXIT, 0},
    };
    for (const Answer &a : table)
        EXPECT_EQ(Send(a.msg, 0, 0), a.expected) << "message " << a.msg;
    EXPECT_EQ(rec::calls, Calls{});
}

TEST_F(DispatchTest, OldStyleInquiryLeavesTheRecordAlone)
{
    CPLINFO info;
    memset(&info, 0xCC, sizeof info);
    EXPECT_EQ(Send(CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&info);
    for (size_t i = 0; i < sizeof info; ++i)
        ASSERT_EQ(bytes[i], 0xCC) << "byte " << i;
    EXPECT_EQ(rec::calls, Calls{});
}

TEST_F(DispatchTest, NewInquiryFillsTheRecordInOrder)
{
    NEWCPLINFOA info;
    memset(&info, 0xCC, sizeof info);
    EXPECT_EQ(Send(CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);

    EXPECT_EQ(info.dwSize, 244u);
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(info.dwHelpContext, 0u);
    EXPECT_EQ(info.lData, 0);
    EXPECT_NE(info.hIcon, nullptr);
    EXPECT_STREQ(info.szName, kCaption);
    EXPECT_STREQ(info.szInfo, kDescription);
    EXPECT_EQ(info.szHelpFile[0], '\0');
    EXPECT_EQ(rec::calls, (Calls{"LoadIconA(hmod,1)", "LoadStringA(hmod,40,32)", "LoadStringA(hmod,41,64)"}));

    // Asked again, the icon is loaded again.
    rec::calls.clear();
    Send(CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(rec::Matching("LoadIconA"), Calls{"LoadIconA(hmod,1)"});
}

TEST_F(DispatchTest, NewInquiryIconIsTheAppletIcon)
{
    NEWCPLINFOA info = {};
    Send(CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info));
    ICONINFO ii = {};
    ASSERT_TRUE(GetIconInfo(info.hIcon, &ii));
    BITMAP bm = {};
    GetObjectA(ii.hbmMask, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 32);
    DeleteObject(ii.hbmColor);
    DeleteObject(ii.hbmMask);
}

// The host never sends these, but a stray one must not read past the
// applet table or write through a null record.
TEST_F(DispatchTest, NewInquiryWithABadIndexOrNoRecordWritesNothing)
{
    struct Case {
        LPARAM index;
        bool record;
    } const cases[] = {{1, true}, {-1, true}, {0x7FFFFFFF, true}, {LPARAM(0x80000000), true}, {0, false}};
    for (const Case &c : cases) {
        NEWCPLINFOA info;
        memset(&info, 0xCC, sizeof info);
        rec::calls.clear();
        EXPECT_EQ(Send(CPL_NEWINQUIRE, c.index, c.record ? reinterpret_cast<LPARAM>(&info) : 0), 0);
        EXPECT_EQ(info.dwSize, 0xCCCCCCCCu) << "index " << c.index;
        EXPECT_EQ(rec::calls, Calls{}) << "index " << c.index;
    }
}

// Wine's control.exe drives the same sequence; here every answer is checked.
TEST_F(DispatchTest, HostSessionWithoutTheMarker)
{
    NEWCPLINFOA info = {};
    EXPECT_EQ(Send(CPL_INIT), 1);
    EXPECT_EQ(Send(CPL_GETCOUNT), 1);
    EXPECT_EQ(Send(CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(Send(CPL_DBLCLK, 0, info.lData), 0);
    EXPECT_EQ(Send(CPL_STOP, 0, info.lData), 0);
    EXPECT_EQ(Send(CPL_EXIT), 0);
    EXPECT_EQ(rec::Matching("MessageBeep"), Calls{"MessageBeep(0x30)"});
    EXPECT_EQ(rec::Matching("DialogBoxParamA"), Calls{});
}
