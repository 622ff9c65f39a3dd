// The double-click's look into LMSN110.DLL for the 8-byte marker at 455.
#include "../support/applet.h"

using Calls = std::vector<std::string>;

namespace {

const Calls kDialog = {"DialogBoxParamA(hmod,100,host,PatchProc,0)"};
const Calls kBeep = {"MessageBeep(0x30)"};

struct MarkerCase {
    const char *name;
    bool present;           // is there a file at all
    std::string image;
    bool accepted;
};

std::string WithByte(std::string s, size_t at, char c)
{
    s[at] = c;
    return s;
}

std::vector<MarkerCase> MarkerCases()
{
    const std::string exact = MarkedLumasyn();
    std::vector<MarkerCase> cases = {
        {"no file", false, "", false},
        {"exactly 463 bytes", true, exact, true},
        {"marker inside a larger file", true, LumasynImage(65536, kMarkerOffset, "KORVELIN"), true},
        {"marker followed by more text", true, LumasynImage(600, kMarkerOffset, "KORVELINKORVELIN"), true},
        {"lower case", true, LumasynImage(463, kMarkerOffset, "korvelin"), false},
        {"one letter in lower case", true, LumasynImage(463, kMarkerOffset, "KORVELIn"), false},
        {"one byte early", true, LumasynImage(600, kMarkerOffset - 1, "KORVELIN"), false},
        {"one byte late", true, LumasynImage(600, kMarkerOffset + 1, "KORVELIN"), false},
        {"at offset 0", true, LumasynImage(600, 0, "KORVELIN"), false},
        {"462 bytes: marker cut", true, LumasynImage(462, kMarkerOffset, "KORVELIN"), false},
        {"455 bytes: nothing to read", true, LumasynImage(455, 0, ""), false},
        {"empty file", true, "", false},
        {"other text", true, LumasynImage(463, kMarkerOffset, "KORVELAN"), false},
    };
    for (size_t i = 0; i < 8; ++i) {
        static char names[8][24];
        wsprintfA(names[i], "NUL at marker byte %u", unsigned(i));
        cases.push_back({names[i], true, WithByte(exact, kMarkerOffset + i, '\0'), false});
    }
    return cases;
}

}  // namespace

class MarkerTest : public AppletTest {};

TEST_F(MarkerTest, OpensTheDialogOnlyForTheMarker)
{
    for (const MarkerCase &c : MarkerCases()) {
        SCOPED_TRACE(c.name);
        RemoveFile(LumasynPath());
        if (c.present)
            ASSERT_TRUE(WriteBytes(LumasynPath(), c.image));
        rec::calls.clear();
        rec::standIn.dialog = true;

        EXPECT_EQ(Send(CPL_DBLCLK, 0, 0), 0);

        EXPECT_EQ(rec::Matching("DialogBoxParamA"), c.accepted ? kDialog : Calls{});
        EXPECT_EQ(rec::Matching("MessageBeep"), c.accepted ? Calls{} : kBeep);
        EXPECT_EQ(rec::openFiles.size(), 0u) << "LMSN110.DLL left open";
        if (c.present)
            EXPECT_TRUE(NotHeldOpen(LumasynPath()));
    }
}

TEST_F(MarkerTest, ReadsOnlyTheMarkerBytesAndClosesTheFile)
{
    ASSERT_TRUE(WriteBytes(LumasynPath(), MarkedLumasyn()));
    rec::standIn.dialog = true;
    Send(CPL_DBLCLK, 0, 0);
    EXPECT_EQ(rec::calls, (Calls{"OpenFile(LMSN110.DLL,0)", "_llseek(f,455,0)", "_lread(f,8)",
                                 "lstrcmpA(KORVELIN,KORVELIN)", "_lclose(f)",
                                 "DialogBoxParamA(hmod,100,host,PatchProc,0)"}));
}

TEST_F(MarkerTest, MissingFileBeepsWithoutReading)
{
    Send(CPL_DBLCLK, 0, 0);
    EXPECT_EQ(rec::calls, (Calls{"OpenFile(LMSN110.DLL,0)", "MessageBeep(0x30)"}));
}

TEST_F(MarkerTest, ChecksAgainOnEveryDoubleClick)
{
    rec::standIn.dialog = true;
    const struct {
        const char *text;
        bool accepted;
    } steps[] = {
        {"", false},            // unpatched driver
        {"KORVELIN", true},     // patched while the host stays open
        {"", false},            // and back
    };
    for (const auto &step : steps) {
        ASSERT_TRUE(WriteBytes(LumasynPath(), LumasynImage(1024, kMarkerOffset, step.text)));
        rec::calls.clear();
        Send(CPL_DBLCLK, 0, 0);
        EXPECT_EQ(rec::Matching("OpenFile").size(), 1u);
        EXPECT_EQ(rec::Matching("DialogBoxParamA"), step.accepted ? kDialog : Calls{}) << step.text;
        EXPECT_EQ(rec::Matching("MessageBeep"), step.accepted ? Calls{} : kBeep) << step.text;
    }
}

TEST_F(MarkerTest, FindsTheLibraryInTheWindowsDirectory)
{
    const std::string path = WindowsDir() + "\\LMSN110.DLL";
    ASSERT_TRUE(WriteBytes(path, MarkedLumasyn()));
    rec::standIn.dialog = true;
    Send(CPL_DBLCLK, 0, 0);
    RemoveFile(path);
    EXPECT_EQ(rec::Matching("DialogBoxParamA"), kDialog);
}

// A stray index still gets the marker check first; it never opens a
// dialog from outside the applet table.
TEST_F(MarkerTest, BadAppletIndexOpensNoDialog)
{
    ASSERT_TRUE(WriteBytes(LumasynPath(), MarkedLumasyn()));
    rec::standIn.dialog = true;
    for (LPARAM index : {LPARAM(1), LPARAM(-1), LPARAM(1000000)}) {
        rec::calls.clear();
        EXPECT_EQ(Send(CPL_DBLCLK, index, 0), 0);
        EXPECT_EQ(rec::Matching("OpenFile").size(), 1u) << index;
        EXPECT_EQ(rec::Matching("DialogBoxParamA"), Calls{}) << index;
        EXPECT_EQ(rec::openFiles.size(), 0u);
    }
}
