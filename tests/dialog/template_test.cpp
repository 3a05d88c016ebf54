// The dialog templates 100 and 101 and the bitmap 3100 as the resource script states them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "resource_script.h"

namespace dialogtest {
namespace {

struct Expected {
    int id;
    std::string className;
    int x, y, width, height;
    std::string text;
};

// The controls of a template in template order, with the texts of that template.
std::vector<Expected> ExpectedControls(int number) {
    const bool german = number == 100;
    const std::string device = german ? "Ger\xE4t " : "Device ";
    const Expected countBox{1100, "ComboBox", 40, 18, 50, 182, ""};
    std::vector<Expected> list = {
        {2111, "Button", 5, 5, 360, 35, german ? " Ger\xE4teanzahl " : " Number of Devices "},
        {2112, "Static", 10, 20, german ? 24 : 28, 8, german ? "Anzahl:" : "Number:"},
    };
    if (german) list.push_back(countBox);
    for (int r = 0; r < 10; ++r) {
        const int ty = 78 + 16 * r, ey = 76 + 16 * r;
        const int ipCaption = r == 1 ? 2007 : 2001 + 5 * r;
        const int portCaption = r == 1 ? 2006 : 2002 + 5 * r;
        list.push_back({2100 + r, "Static", 15, ty, 35, 8, device + std::to_string(r)});
        list.push_back({ipCaption, "Static", 50, ty, 8, 8, "IP"});
        list.push_back({1000 + 4 * r, "Edit", 60, ey, 60, 12, ""});
        list.push_back({portCaption, "Static", 125, ty, 14, 8, "Port"});
        list.push_back({1001 + 4 * r, "Edit", 145, ey, 20, 12, ""});
        list.push_back({2003 + 5 * r, "Static", 170, ty, 22, 8, "Timing"});
        list.push_back({1002 + 4 * r, "Edit", 195, ey, 40, 12, ""});
        list.push_back({2004 + 5 * r, "Static", 240, ty, 18, 8, "msec"});
        list.push_back({2005 + 5 * r, "Static", 265, ty, german ? 30 : 32, 8,
                        german ? "Passwort" : "Password"});
        list.push_back({1003 + 4 * r, "Edit", 300, ey, 50, 12, ""});
    }
    list.push_back({1101, "SysTabControl32", 10, 58, 350, 182, "Tab1"});
    list.push_back({2113, "Button", 5, 45, 360, 200,
                    german ? " Ger\xE4tekonfiguration " : " Device Configuration "});
    list.push_back({1, "Button", 375, 10, 50, 14, "Ok"});
    list.push_back({2, "Button", 375, 30, 50, 14, german ? "Abbrechen" : "Cancel"});
    if (!german) list.push_back(countBox);
    list.push_back({3100, "Static", 374, 215, 51, 29, "#3100"});
    return list;
}

class TemplateTest : public ::testing::TestWithParam<int> {};

TEST_P(TemplateTest, DialogFrame) {
    const DialogTemplate& t = DriverTemplate(GetParam());
    EXPECT_EQ(t.x, 27);
    EXPECT_EQ(t.y, 36);
    EXPECT_EQ(t.width, 430);
    EXPECT_EQ(t.height, 250);
    for (const char* style : {"WS_POPUP", "WS_CAPTION", "WS_SYSMENU", "DS_MODALFRAME"}) {
        EXPECT_TRUE(t.HasStyle(style)) << style;
    }
    EXPECT_EQ(t.font, "8, \"MS Sans Serif\"");
    EXPECT_EQ(t.caption, GetParam() == 100 ? "Hardware-Einstellungen" : "Hardware Setup");
}

TEST_P(TemplateTest, ControlsIdentifiersPositionsTextsAndOrder) {
    const DialogTemplate& t = DriverTemplate(GetParam());
    const std::vector<Expected> expected = ExpectedControls(GetParam());
    ASSERT_EQ(t.controls.size(), 108u);
    ASSERT_EQ(expected.size(), 108u);
    std::set<int> ids;
    for (size_t i = 0; i < expected.size(); ++i) {
        const TemplateControl& c = t.controls[i];
        const Expected& e = expected[i];
        SCOPED_TRACE("control #" + std::to_string(i) + " id " + std::to_string(e.id));
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(c.className, e.className);
        EXPECT_EQ(c.x, e.x);
        EXPECT_EQ(c.y, e.y);
        EXPECT_EQ(c.width, e.width);
        EXPECT_EQ(c.height, e.height);
        EXPECT_EQ(c.text, e.text);
        ids.insert(c.id);
    }
    EXPECT_EQ(ids.size(), 108u) << "identifiers are unique";
}

TEST_P(TemplateTest, StylesAndTabStops) {
    const DialogTemplate& t = DriverTemplate(GetParam());
    const bool german = GetParam() == 100;
    std::set<int> tabStops;
    for (const TemplateControl& c : t.controls) {
        SCOPED_TRACE("id " + std::to_string(c.id));
        EXPECT_TRUE(c.HasStyle("WS_CHILD"));
        EXPECT_TRUE(c.HasStyle("WS_VISIBLE"));
        if (c.HasStyle("WS_TABSTOP")) tabStops.insert(c.id);
        if (c.className == "Edit") {
            const int column = (c.id - 1000) % 4;
            EXPECT_TRUE(c.HasStyle("WS_BORDER"));
            EXPECT_TRUE(c.HasStyle("ES_AUTOHSCROLL"));
            EXPECT_EQ(c.HasStyle("WS_DISABLED"), column == 1) << "only the Port edits";
            EXPECT_EQ(c.HasStyle("ES_PASSWORD"), column == 3) << "only the Password edits";
        } else {
            EXPECT_FALSE(c.HasStyle("WS_DISABLED"));
        }
    }
    const TemplateControl* count = t.Find(1100);
    ASSERT_NE(count, nullptr);
    EXPECT_TRUE(count->HasStyle("CBS_DROPDOWN"));
    EXPECT_TRUE(count->HasStyle("WS_VSCROLL"));
    EXPECT_EQ(count->HasStyle("WS_TABSTOP"), german);
    EXPECT_EQ(count->HasStyle("WS_GROUP"), !german);
    EXPECT_TRUE(t.Find(1101)->HasStyle("TCS_HOTTRACK"));
    EXPECT_TRUE(t.Find(1)->HasStyle("BS_DEFPUSHBUTTON"));
    EXPECT_TRUE(t.Find(2)->HasStyle("BS_PUSHBUTTON"));
    EXPECT_TRUE(t.Find(2111)->HasStyle("BS_GROUPBOX"));
    EXPECT_TRUE(t.Find(2113)->HasStyle("BS_GROUPBOX"));
    EXPECT_TRUE(t.Find(3100)->HasStyle("SS_BITMAP"));

    // Tab stops: every edit (the disabled Port edits too), the tab control, both buttons, and
    // the count box in the German template only.
    std::set<int> expected = {1101, 1, 2};
    for (int id = 1000; id < 1040; ++id) expected.insert(id);
    if (german) expected.insert(1100);
    EXPECT_EQ(tabStops, expected);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, TemplateTest, ::testing::Values(100, 101));

TEST(ResourceScript, WrittenInWindows1252AndNamesTheBitmap) {
    const std::string script = ReadScript(ResourcePath("config_dialog.rc"));
    ASSERT_FALSE(script.empty());
    EXPECT_NE(script.find("#pragma code_page(1252)"), std::string::npos);
    EXPECT_NE(script.find("Ger\xE4t"), std::string::npos);
    EXPECT_EQ(script.find("\xC3\xA4"), std::string::npos) << "no UTF-8 umlauts";
    EXPECT_NE(script.find("3100 BITMAP \"device.bmp\""), std::string::npos);
    const std::string main = ReadScript(ResourcePath("vexlor.rc"));
    EXPECT_NE(main.find("#include \"config_dialog.rc\""), std::string::npos);
}

TEST(ResourceScript, BitmapIs76By47With16Colours) {
    const std::string bmp = ReadScript(ResourcePath("device.bmp"));
    ASSERT_GE(bmp.size(), 54u + 64u);
    auto u16 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bmp[at])) |
               static_cast<uint32_t>(static_cast<uint8_t>(bmp[at + 1])) << 8;
    };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(u32(2), bmp.size());
    EXPECT_EQ(u32(14), 40u);       // BITMAPINFOHEADER
    EXPECT_EQ(u32(18), 76u);       // width
    EXPECT_EQ(u32(22), 47u);       // height, bottom-up
    EXPECT_EQ(u16(26), 1u);        // planes
    EXPECT_EQ(u16(28), 4u);        // 4 bits per pixel
    EXPECT_EQ(u32(30), 0u);        // uncompressed
    EXPECT_EQ(u32(46), 16u);       // colours in the palette
    const uint32_t rowBytes = 40;  // 76 pixels of 4 bits, padded to 4 bytes
    EXPECT_EQ(u32(10), 14u + 40u + 16u * 4u);
    EXPECT_EQ(bmp.size(), u32(10) + rowBytes * 47u);
}

}  // namespace
}  // namespace dialogtest
