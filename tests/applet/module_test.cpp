// The built file as the loader and the host see it: exports, description
// and every resource, field by field. (Imports: Footprint.imports.)
#include "../support/applet.h"
#include "../support/image.h"
#include "../support/texts.h"

#include <set>

namespace {

// Reads a classic dialog template's name-or-ordinal field.
std::string NameOrOrdinal(const WORD *&p)
{
    if (*p == 0xFFFF) {
        char buf[16];
        wsprintfA(buf, "#%u", p[1]);
        p += 2;
        switch (p[-1]) {
        case 0x80: return "Button";
        case 0x82: return "Static";
        default: return buf;
        }
    }
    std::string s;
    for (; *p; ++p)
        s += static_cast<char>(*p);
    ++p;
    return s;
}

struct Control {
    std::string cls;
    std::string text;
    WORD id;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;

    bool operator==(const Control &o) const
    {
        return lstrcmpiA(cls.c_str(), o.cls.c_str()) == 0 && text == o.text && id == o.id && style == o.style &&
               exStyle == o.exStyle && x == o.x && y == o.y && cx == o.cx && cy == o.cy;
    }
};

std::ostream &operator<<(std::ostream &os, const Control &c)
{
    return os << c.cls << " \"" << c.text << "\" id " << c.id << std::hex << " style 0x" << c.style << " ex 0x"
              << c.exStyle << std::dec << " at " << c.x << "," << c.y << " " << c.cx << "x" << c.cy;
}

BOOL CALLBACK CollectType(HMODULE, LPSTR type, LONG_PTR param)
{
    reinterpret_cast<std::set<ULONG_PTR> *>(param)->insert(reinterpret_cast<ULONG_PTR>(type));
    return TRUE;
}

}  // namespace

class ModuleTest : public AppletTest {};

TEST_F(ModuleTest, ExportsTwoEntriesByNameAndOrdinal)
{
    EXPECT_EQ(GetProcAddress(hmod, MAKEINTRESOURCEA(1)), GetProcAddress(hmod, "CPlApplet"));
    EXPECT_EQ(GetProcAddress(hmod, MAKEINTRESOURCEA(2)), GetProcAddress(hmod, "PatchProc"));
    EXPECT_NE(GetProcAddress(hmod, "PatchProc"), nullptr);
    EXPECT_EQ(GetProcAddress(hmod, MAKEINTRESOURCEA(3)), nullptr);

    auto *base = reinterpret_cast<const BYTE *>(hmod);
    const IMAGE_DATA_DIRECTORY &dir = NtHeaders(hmod)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto *exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
    EXPECT_STREQ(reinterpret_cast<const char *>(base + exp->Name), "VELDRANO.dll");
    EXPECT_EQ(exp->Base, 1u);
    EXPECT_EQ(exp->NumberOfFunctions, 2u);
    EXPECT_EQ(exp->NumberOfNames, 2u);
}

TEST_F(ModuleTest, CarriesItsDescriptionText)
{
    std::string bytes;
    ASSERT_TRUE(ReadBytes(AppletPath(), bytes));
    EXPECT_NE(bytes.find(std::string("Control Panel Applet - VELDRANO\0", 32)), std::string::npos);
}

TEST_F(ModuleTest, HasOnlyManifestIconStringAndDialogResources)
{
    std::set<ULONG_PTR> types;
    EnumResourceTypesA(hmod, CollectType, reinterpret_cast<LONG_PTR>(&types));
    const std::set<ULONG_PTR> expected = {ULONG_PTR(RT_MANIFEST), ULONG_PTR(RT_ICON), ULONG_PTR(RT_GROUP_ICON),
                                          ULONG_PTR(RT_STRING), ULONG_PTR(RT_DIALOG)};
    EXPECT_EQ(types, expected);   // no version resource
}

TEST_F(ModuleTest, StringsInUsEnglish)
{
    DWORD size = 0;
    EXPECT_NE(FindModuleResource(hmod, RT_STRING, MAKEINTRESOURCEA(40 / 16 + 1), &size), nullptr);
    const struct {
        UINT id;
        const wchar_t *text;
    } strings[] = {{40, kCaptionW}, {41, kDescriptionW}};
    for (const auto &s : strings) {
        wchar_t buf[128] = {};
        LoadStringW(hmod, s.id, buf, 128);
        EXPECT_STREQ(buf, s.text) << s.id;
    }
}

TEST_F(ModuleTest, IconIs32By32In16ColoursWithAMask)
{
    DWORD size = 0;
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colours, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
    struct Group {
        WORD reserved, type, count;
        GroupEntry entry[1];
    };
#pragma pack(pop)
    auto *group = static_cast<const Group *>(FindModuleResource(hmod, RT_GROUP_ICON, MAKEINTRESOURCEA(1), &size));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->type, 1);
    ASSERT_EQ(group->count, 1);
    const GroupEntry &e = group->entry[0];
    EXPECT_EQ(e.width, 32);
    EXPECT_EQ(e.height, 32);
    EXPECT_EQ(e.colours, 16);
    EXPECT_EQ(e.bitCount, 4);

    auto *bih = static_cast<const BITMAPINFOHEADER *>(FindModuleResource(hmod, RT_ICON, MAKEINTRESOURCEA(e.id), &size));
    ASSERT_NE(bih, nullptr);
    EXPECT_EQ(bih->biWidth, 32);
    EXPECT_EQ(bih->biHeight, 64);           // colour bits and mask
    EXPECT_EQ(bih->biBitCount, 4);
    ASSERT_EQ(size, 40u + 16 * 4 + 32 * 32 / 2 + 32 * 4);
    const BYTE *mask = reinterpret_cast<const BYTE *>(bih) + 40 + 64 + 512;
    int transparent = 0;
    for (int i = 0; i < 128; ++i)
        for (int b = 0; b < 8; ++b)
            transparent += (mask[i] >> b) & 1;
    EXPECT_GT(transparent, 0);
    EXPECT_LT(transparent, 32 * 32);
}

TEST_F(ModuleTest, DialogTemplateIsExactlyAsDesigned)
{
    DWORD size = 0;
    auto *t = static_cast<const DLGTEMPLATE *>(FindModuleResource(hmod, RT_DIALOG, MAKEINTRESOURCEA(100), &size));
    ASSERT_NE(t, nullptr);
    ASSERT_NE(reinterpret_cast<const DWORD *>(t)[0], 0xFFFF0001u) << "extended template";
    EXPECT_EQ(t->style, 0x90C800C0u);
    EXPECT_EQ(t->dwExtendedStyle, 0u);
    EXPECT_EQ(t->x, 132);
    EXPECT_EQ(t->y, 70);
    EXPECT_EQ(t->cx, 175);
    EXPECT_EQ(t->cy, 72);
    ASSERT_EQ(t->cdit, 6);

    const WORD *p = reinterpret_cast<const WORD *>(t + 1);
    EXPECT_EQ(NameOrOrdinal(p), "");                        // no menu
    EXPECT_EQ(NameOrOrdinal(p), "");                        // default class
    EXPECT_EQ(NameOrOrdinal(p), kCaption);
    EXPECT_EQ(*p++, 8);                                     // points
    EXPECT_EQ(NameOrOrdinal(p), "System");

    const Control expected[] = {
        {"Static", "#1", 101, 0x50000003, 0, 142, 46, 18, 20},   // text: icon ordinal 1
        {"Button", "OK", 1, 0x50010000, 0, 133, 7, 39, 14},
        {"Button", "Cancel", 2, 0x50010000, 0, 133, 25, 39, 14},
        {"Button", "Windows", 1000, 0x50000009, 0, 23, 24, 49, 10},
        {"Button", "Files:", 0xFFFF, 0x50000007, 0, 9, 12, 90, 41},
        {"Button", "DOS", 1001, 0x50000009, 0, 23, 37, 35, 10},
    };
    for (const Control &want : expected) {
        p = reinterpret_cast<const WORD *>((reinterpret_cast<ULONG_PTR>(p) + 3) & ~ULONG_PTR(3));
        auto *item = reinterpret_cast<const DLGITEMTEMPLATE *>(p);
        p = reinterpret_cast<const WORD *>(item + 1);
        Control got;
        got.style = item->style;
        got.exStyle = item->dwExtendedStyle;
        got.x = item->x;
        got.y = item->y;
        got.cx = item->cx;
        got.cy = item->cy;
        got.id = item->id;
        got.cls = NameOrOrdinal(p);
        got.text = NameOrOrdinal(p);
        p += 1 + (*p + 1) / 2;                              // creation data
        EXPECT_EQ(got, want);
    }
}
