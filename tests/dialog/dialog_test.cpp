// ConfigDialog driven as a user would drive it, on an in-memory dialog window built from the
// driver's templates, with the settings file kept by the fake platform.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config_dialog.h"
#include "config/settings.h"
#include "core/device_table.h"
#include "fake_dialog.h"
#include "fake_platform.h"
#include "headless_surface.h"
#include "vexlor.h"

namespace dialogtest {
namespace {

namespace id = vexlor::dialog_id;
using vexlor::g_settings;
using vexlor::g_workingSettings;
using vexlor::RowEditId;

constexpr int kIp = 0, kPort = 1, kTiming = 2, kPassword = 3;

std::string Section(int slot) {
    return "DEV" + std::to_string(slot);
}

std::string Scrambled(const std::string& plain) {
    char buffer[vexlor::kPasswordFieldSize] = {};
    vexlor::CopyField(buffer, sizeof buffer, plain.c_str());
    vexlor::ScramblePassword(buffer);
    return buffer;
}

// "<base>, Version: 0.05  (Mmm dd yyyy)", the date in the compiler's __DATE__ form.
bool TitleMatches(const std::string& title, const std::string& base) {
    const std::string head = base + ", Version: 0.05  (";
    if (title.compare(0, head.size(), head) != 0) return false;
    const std::string date = title.substr(head.size());
    if (date.size() != 12 || date.back() != ')') return false;
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const size_t month = months.find(date.substr(0, 3));
    if (month == std::string::npos || month % 3 != 0 || date[3] != ' ' || date[6] != ' ') {
        return false;
    }
    for (int i : {5, 7, 8, 9, 10}) {
        if (date[i] < '0' || date[i] > '9') return false;
    }
    return date[4] == ' ' || (date[4] >= '0' && date[4] <= '3');
}

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        fake::StartModule();
        std::memset(&g_workingSettings, 0, sizeof g_workingSettings);
        vexlor::g_currentPage = 1;
    }
    void TearDown() override {
        fake::SetConfigDialogRunner(nullptr);
        fake::ClearConfigDialogRuns();
        fake::Reset();
    }

    std::unique_ptr<HeadlessSurface> Open(uint16_t language) {
        vexlor::g_module.uiLanguage.store(language);
        auto surface = std::make_unique<HeadlessSurface>(DriverTemplate(language == 0 ? 100 : 101));
        EXPECT_TRUE(surface->Open());
        return surface;
    }

    static void StoreSlot(int slot, const std::string& ip, const std::string& port,
                          const std::string& timing, const std::string& password) {
        fake::SetProfileString(Section(slot), "IP", ip);
        fake::SetProfileString(Section(slot), "Port", port);
        fake::SetProfileString(Section(slot), "Timing", timing);
        fake::SetProfileString(
            Section(slot), "Password",
            password == vexlor::kIoControllerMarker ? password : Scrambled(password));
    }
    static void StoreDevices(const std::string& count) {
        fake::SetProfileString("DEV", "Devices", count);
    }
    static std::string Stored(int slot, const char* key) {
        return fake::ProfileString(Section(slot), key);
    }

    // Rows below `editable` have IP, Timing and Password enabled, all others none of them;
    // the Port edits are never enabled.
    static void ExpectEditableRows(const HeadlessSurface& s, int editable) {
        for (int r = 0; r < vexlor::kDialogRows; ++r) {
            SCOPED_TRACE("row " + std::to_string(r));
            EXPECT_EQ(s.Enabled(RowEditId(r, kIp)), r < editable);
            EXPECT_FALSE(s.Enabled(RowEditId(r, kPort)));
            EXPECT_EQ(s.Enabled(RowEditId(r, kTiming)), r < editable);
            EXPECT_EQ(s.Enabled(RowEditId(r, kPassword)), r < editable);
        }
    }
    static void ExpectRowLabels(const HeadlessSurface& s, const std::string& prefix,
                                int firstSlot) {
        for (int r = 0; r < vexlor::kDialogRows; ++r) {
            EXPECT_EQ(s.Text(id::kFirstRowLabel + r), prefix + std::to_string(firstSlot + r));
        }
    }
};

// --- Helpers of the dialog ------------------------------------------------------------------

TEST(ClampIntTest, LimitsHighFirstThenLow) {
    int32_t v = 250;
    vexlor::ClampInt(&v, 1, 100);
    EXPECT_EQ(v, 100);
    v = -3;
    vexlor::ClampInt(&v, 1, 100);
    EXPECT_EQ(v, 1);
    v = 0;
    vexlor::ClampInt(&v, 1, 100);
    EXPECT_EQ(v, 1);
    v = 55;
    vexlor::ClampInt(&v, 1, 100);
    EXPECT_EQ(v, 55);
    v = INT32_MIN;
    vexlor::ClampInt(&v, 1, 100);
    EXPECT_EQ(v, 1);
    v = 7;  // an empty range ends at low: high is applied first
    vexlor::ClampInt(&v, 10, 5);
    EXPECT_EQ(v, 10);
}

TEST(RowEditListTest, IpTimingPasswordOfTenRowsZeroTerminated) {
    std::vector<int> ids;
    for (const int* p = vexlor::kRowEditList; *p != 0; ++p) ids.push_back(*p);
    ASSERT_EQ(ids.size(), 30u);
    for (int r = 0; r < 10; ++r) {
        EXPECT_EQ(ids[3 * r], 1000 + 4 * r);
        EXPECT_EQ(ids[3 * r + 1], 1002 + 4 * r);
        EXPECT_EQ(ids[3 * r + 2], 1003 + 4 * r);
    }
}

// --- Opening --------------------------------------------------------------------------------

TEST_F(DialogTest, OpeningSetsTitleRecordsWindowFillsCountListAndFocusesOk) {
    for (uint16_t language : {0, 2}) {
        auto s = Open(language);
        const std::string base = language == 0 ? "Hardware-Einstellungen" : "Hardware Setup";
        EXPECT_TRUE(TitleMatches(s->Title(), base)) << s->Title();
        ASSERT_FALSE(s->Log().empty());
        EXPECT_EQ(s->Log().front(), "RecordHookTarget");
        ASSERT_EQ(s->ComboItems().size(), 100u);
        EXPECT_EQ(s->ComboItems().front(), "1");
        EXPECT_EQ(s->ComboItems()[41], "42");
        EXPECT_EQ(s->ComboItems().back(), "100");
        // The dialog gives the focus to OK; answering true then lets the platform put it on
        // the first tab stop: the count box in German, the first IP edit in English.
        EXPECT_EQ(s->Log().back(), "SetFocus 1");
        EXPECT_EQ(s->Focused(), language == 0 ? id::kCountBox : RowEditId(0, kIp));
        EXPECT_TRUE(s->UnknownIds().empty());
    }
}

TEST_F(DialogTest, EmptyFileShowsOneDeviceWithDefaults) {
    auto s = Open(1);
    EXPECT_EQ(s->Text(id::kCountBox), "1");
    ASSERT_EQ(s->Tabs().size(), 1u);
    EXPECT_EQ(s->Tabs()[0], "Device 0...9");
    ExpectRowLabels(*s, "Device ", 0);
    ExpectEditableRows(*s, 1);
    for (int r = 0; r < 10; ++r) {
        EXPECT_EQ(s->Text(RowEditId(r, kIp)), "0.0.0.0");
        EXPECT_EQ(s->Text(RowEditId(r, kPort)), "80");
        EXPECT_EQ(s->Text(RowEditId(r, kTiming)), "500");
        EXPECT_EQ(s->Text(RowEditId(r, kPassword)), "");
    }
    EXPECT_EQ(s->MoveCalls(), 0) << "no saved position: the template's position applies";
}

TEST_F(DialogTest, TenDevicesOnePageAllRowsEditable) {
    StoreDevices("10");
    auto s = Open(1);
    ASSERT_EQ(s->Tabs().size(), 1u);
    ExpectEditableRows(*s, 10);
}

TEST_F(DialogTest, ElevenDevicesSecondPageHasOneEditableRow) {
    StoreDevices("11");
    StoreSlot(10, "10.0.0.10", "8080", "250", "pw10");
    auto s = Open(1);
    ASSERT_EQ(s->Tabs().size(), 2u);
    EXPECT_EQ(s->Tabs()[1], "Device 10...19");
    ExpectEditableRows(*s, 10);
    s->ClickTab(1);
    EXPECT_EQ(vexlor::g_currentPage, 2);
    ExpectRowLabels(*s, "Device ", 10);
    ExpectEditableRows(*s, 1);
    EXPECT_EQ(s->Text(RowEditId(0, kIp)), "10.0.0.10");
    EXPECT_EQ(s->Text(RowEditId(0, kPort)), "8080");
    EXPECT_EQ(s->Text(RowEditId(0, kTiming)), "250");
    EXPECT_EQ(s->Text(RowEditId(0, kPassword)), "pw10");
    s->ClickTab(0);
    ExpectEditableRows(*s, 10);
    ExpectRowLabels(*s, "Device ", 0);
}

TEST_F(DialogTest, TwentyFiveDevicesGermanThirdPage) {
    StoreDevices("25");
    for (int slot = 20; slot < 30; ++slot) {
        StoreSlot(slot, "192.168.0." + std::to_string(slot), "80", "1000",
                  "k" + std::to_string(slot));
    }
    auto s = Open(0);
    ASSERT_EQ(s->Tabs().size(), 3u);
    EXPECT_EQ(s->Tabs()[0], "Ger\xE4t 0...9");
    EXPECT_EQ(s->Tabs()[2], "Ger\xE4t 20...29");
    ExpectRowLabels(*s, "Ger\xE4t ", 0);
    s->ClickTab(2);
    ExpectRowLabels(*s, "Ger\xE4t ", 20);
    ExpectEditableRows(*s, 5);
    // Rows beyond the count are disabled but show their slots' values.
    for (int r = 5; r < 10; ++r) {
        EXPECT_EQ(s->Text(RowEditId(r, kIp)), "192.168.0." + std::to_string(20 + r));
        EXPECT_EQ(s->Text(RowEditId(r, kPassword)), "k" + std::to_string(20 + r));
    }
}

TEST_F(DialogTest, HundredDevicesTenPagesAllEditable) {
    StoreDevices("100");
    auto s = Open(1);
    ASSERT_EQ(s->Tabs().size(), 10u);
    EXPECT_EQ(s->Tabs()[9], "Device 90...99");
    for (int page = 0; page < 10; ++page) {
        s->ClickTab(page);
        SCOPED_TRACE("page " + std::to_string(page));
        ExpectEditableRows(*s, 10);
        ExpectRowLabels(*s, "Device ", page * 10);
    }
    EXPECT_TRUE(s->UnknownIds().empty());
}

TEST_F(DialogTest, StoredCountOutOfRangeNeverAddressesSlotsBeyond99) {
    for (const char* stored : {"250", "-5", "2147483647"}) {
        SCOPED_TRACE(stored);
        StoreDevices(stored);
        auto s = Open(1);
        const bool high = std::string(stored) != "-5";
        EXPECT_EQ(s->Text(id::kCountBox), high ? "100" : "1");
        EXPECT_EQ(s->Tabs().size(), high ? 10u : 1u);
        for (int page = 0; page < static_cast<int>(s->Tabs().size()); ++page) s->ClickTab(page);
        EXPECT_LE(vexlor::g_currentPage, 10);
        EXPECT_EQ(s->Text(id::kFirstRowLabel + 9), high ? "Device 99" : "Device 9");
        EXPECT_TRUE(s->UnknownIds().empty());
        s->PressEscape();
    }
}

TEST_F(DialogTest, WorkingCountOutOfRangeIsLimitedWhenPagesAreBuilt) {
    auto s = Open(1);
    // Whatever the working copy holds, the pages stay within the 100 slots.
    g_workingSettings.deviceCount = 250;
    s->TabDeleteAll();
    vexlor::ConfigDialog(*s).BuildDevicePages();
    EXPECT_EQ(g_workingSettings.deviceCount, 100);
    EXPECT_EQ(s->Tabs().size(), 10u);
    g_workingSettings.deviceCount = -5;
    s->TabDeleteAll();
    vexlor::ConfigDialog(*s).BuildDevicePages();
    EXPECT_EQ(g_workingSettings.deviceCount, 1);
    EXPECT_EQ(s->Tabs().size(), 1u);
    // A selection change without a valid tab changes nothing.
    s->TabDeleteAll();
    EXPECT_TRUE(s->Notify(id::kTabControl, vexlor::kNotifyTabSelChange));
    EXPECT_EQ(vexlor::g_currentPage, 1);
    EXPECT_TRUE(s->UnknownIds().empty());
}

TEST_F(DialogTest, DefaultsRuleReachesLiveSettingsEvenWhenCancelled) {
    StoreSlot(3, "0", "", "0", "");
    fake::SetProfileString(Section(3), "Password", "0");
    fake::SetProfileString(Section(4), "Timing", "00");
    auto s = Open(1);
    s->PressEscape();
    EXPECT_EQ(s->Result(), 0);
    EXPECT_STREQ(g_settings.ip[3], "0.0.0.0");
    EXPECT_STREQ(g_settings.port[3], "80");
    EXPECT_STREQ(g_settings.timing[3], "500");
    EXPECT_STREQ(g_settings.password[3], "");
    EXPECT_STREQ(g_settings.timing[4], "00");
}

// --- The count box --------------------------------------------------------------------------

TEST_F(DialogTest, CountEntriesAreBroughtIntoRangeWhenTheBoxLosesFocus) {
    StoreDevices("30");
    struct Case {
        const char* typed;
        int count;
    };
    for (const Case& c :
         {Case{"0", 1}, Case{"-3", 1}, Case{"abc", 1}, Case{"", 1}, Case{"250", 100},
          Case{" 42xyz", 42}, Case{"99999999999999", 100}, Case{"20", 20}}) {
        SCOPED_TRACE(c.typed);
        auto s = Open(1);
        ASSERT_TRUE(s->Type(id::kCountBox, c.typed));
        EXPECT_EQ(s->Tabs().size(), 3u) << "typing alone changes nothing";
        s->Focus(RowEditId(0, kIp));
        EXPECT_EQ(g_workingSettings.deviceCount, c.count);
        EXPECT_EQ(s->Text(id::kCountBox), std::to_string(c.count));
        EXPECT_EQ(s->Tabs().size(), static_cast<size_t>((c.count + 9) / 10));
        s->PressEscape();
    }
}

TEST_F(DialogTest, CountChangeOnThirdPageReturnsToPageOne) {
    StoreDevices("30");
    auto s = Open(0);
    s->ClickTab(2);
    ExpectRowLabels(*s, "Ger\xE4t ", 20);
    s->Type(id::kCountBox, "15");
    s->Focus(id::kCancel);
    EXPECT_EQ(vexlor::g_currentPage, 1);
    EXPECT_EQ(s->Selection(), 0);
    ASSERT_EQ(s->Tabs().size(), 2u);
    ExpectRowLabels(*s, "Ger\xE4t ", 0);
    ExpectEditableRows(*s, 10);
    s->ClickTab(1);
    ExpectEditableRows(*s, 5);
}

TEST_F(DialogTest, LoweringAndRaisingTheCountKeepsValues) {
    StoreDevices("30");
    auto s = Open(1);
    s->ClickTab(2);
    s->Type(RowEditId(5, kIp), "10.1.2.25");
    s->Type(id::kCountBox, "5");
    s->Focus(id::kOk);  // count applied: one page
    ASSERT_EQ(s->Tabs().size(), 1u);
    ExpectEditableRows(*s, 5);
    s->Type(id::kCountBox, "30");
    s->Focus(RowEditId(0, kIp));
    ASSERT_EQ(s->Tabs().size(), 3u);
    s->ClickTab(2);
    EXPECT_EQ(s->Text(RowEditId(5, kIp)), "10.1.2.25");
    // OK saves every slot whatever the count.
    s->Type(id::kCountBox, "2");
    s->ClickButton(id::kOk);
    EXPECT_EQ(s->Result(), 1);
    EXPECT_EQ(fake::ProfileString("DEV", "Devices"), "2");
    EXPECT_EQ(Stored(25, "IP"), "10.1.2.25");
}

// --- Editing --------------------------------------------------------------------------------

TEST_F(DialogTest, LeavingAnEditStoresItsWholeColumn) {
    StoreDevices("10");
    auto s = Open(1);
    // Texts changed without focus events in rows 1..9 ...
    for (int r = 1; r < 10; ++r) {
        s->SetText(RowEditId(r, kIp), "10.0.0." + std::to_string(r));
        s->SetText(RowEditId(r, kTiming), "7" + std::to_string(r));
    }
    // ... are stored with the column of the edit that loses the focus.
    s->Type(RowEditId(0, kIp), "10.0.0.0");
    EXPECT_STREQ(g_workingSettings.ip[0], "0.0.0.0") << "not before the focus leaves";
    s->Focus(RowEditId(0, kTiming));
    for (int r = 0; r < 10; ++r) {
        EXPECT_EQ(g_workingSettings.ip[r], "10.0.0." + std::to_string(r));
        EXPECT_STREQ(g_workingSettings.timing[r], "500") << "other columns wait";
    }
    s->Focus(RowEditId(0, kPassword));
    EXPECT_EQ(std::string(g_workingSettings.timing[9]), "79");
    EXPECT_STREQ(g_settings.ip[1], "0.0.0.0") << "the live settings wait for OK";
}

TEST_F(DialogTest, OtherEditNotificationsAreIgnored) {
    auto s = Open(1);
    s->SetText(RowEditId(0, kIp), "1.2.3.4");
    EXPECT_FALSE(s->Command(RowEditId(0, kIp), 0x300));  // EN_CHANGE
    EXPECT_FALSE(s->Command(RowEditId(0, kIp), 0x100));  // EN_SETFOCUS
    EXPECT_STREQ(g_workingSettings.ip[0], "0.0.0.0");
    EXPECT_FALSE(s->Command(id::kCountBox, 1));  // CBN_SELCHANGE
    EXPECT_FALSE(s->Command(id::kTabControl, 0));
    EXPECT_FALSE(s->Command(2112, 0));
    EXPECT_TRUE(s->Notify(id::kTabControl, -552));  // TCN_SELCHANGING: answered, not acted on
    EXPECT_TRUE(s->Notify(1100, vexlor::kNotifyTabSelChange));
    EXPECT_EQ(vexlor::g_currentPage, 1);
    EXPECT_FALSE(s->Ended());
}

TEST_F(DialogTest, LongTextsAreCutWhenStored) {
    auto s = Open(1);
    const std::string longIp(30, '1');
    const std::string longPassword(60, 'p');
    s->Type(RowEditId(0, kIp), longIp);
    s->Type(RowEditId(0, kTiming), "123456789012345678901234");
    s->Type(RowEditId(0, kPassword), longPassword);
    s->Focus(id::kCancel);
    EXPECT_EQ(std::string(g_workingSettings.ip[0]), longIp.substr(0, 19));
    EXPECT_EQ(std::string(g_workingSettings.timing[0]), "1234567890123456789");
    EXPECT_EQ(std::string(g_workingSettings.password[0]), longPassword.substr(0, 49));
}

TEST_F(DialogTest, PageChangeStoresThePageShown) {
    StoreDevices("20");
    StoreSlot(12, "10.0.0.12", "81", "600", "twelve");
    auto s = Open(1);
    // A selection change to the page already shown stores nothing and shows the page anew.
    s->SetText(RowEditId(3, kIp), "10.3.3.3");
    s->Notify(id::kTabControl, vexlor::kNotifyTabSelChange);
    EXPECT_STREQ(g_workingSettings.ip[3], "0.0.0.0");
    EXPECT_EQ(s->Text(RowEditId(3, kIp)), "0.0.0.0");
    for (int r = 0; r < 10; ++r) {
        s->SetText(RowEditId(r, kIp), "172.16.0." + std::to_string(r));
        s->SetText(RowEditId(r, kPort), "9" + std::to_string(r));
        s->SetText(RowEditId(r, kTiming), "10" + std::to_string(r));
        s->SetText(RowEditId(r, kPassword), "pw" + std::to_string(r));
    }
    s->ClickTab(1);
    for (int r = 0; r < 10; ++r) {
        EXPECT_EQ(std::string(g_workingSettings.ip[r]), "172.16.0." + std::to_string(r));
        EXPECT_EQ(std::string(g_workingSettings.port[r]), "9" + std::to_string(r));
        EXPECT_EQ(std::string(g_workingSettings.timing[r]), "10" + std::to_string(r));
        EXPECT_EQ(std::string(g_workingSettings.password[r]), "pw" + std::to_string(r));
    }
    EXPECT_EQ(vexlor::g_currentPage, 2);
    EXPECT_EQ(s->Text(RowEditId(2, kIp)), "10.0.0.12");
    EXPECT_EQ(s->Text(RowEditId(2, kPassword)), "twelve");
    s->ClickTab(0);
    EXPECT_EQ(s->Text(RowEditId(7, kTiming)), "107");
}

// --- OK and Cancel --------------------------------------------------------------------------

TEST_F(DialogTest, OkWritesEverySlotTheWindowAndTheCount) {
    StoreDevices("3");
    StoreSlot(0, "10.0.0.1", "80", "500", "Secret!42");
    const std::string path = fake::SettingsFilePath();
    auto s = Open(1);
    s->Type(RowEditId(1, kIp), "10.0.0.2");
    s->Type(RowEditId(1, kPassword), "I/O Controller");
    s->Type(RowEditId(2, kTiming), "250");
    s->ClickButton(id::kOk);
    EXPECT_TRUE(s->Ended());
    EXPECT_EQ(s->Result(), 1);

    const vexlor::WindowRect r = s->Rect();
    EXPECT_EQ(fake::ProfileString("WINDOW", "Window Left"), std::to_string(r.left));
    EXPECT_EQ(fake::ProfileString("WINDOW", "Window Top"), std::to_string(r.top));
    EXPECT_EQ(fake::ProfileString("WINDOW", "Window Right"), std::to_string(r.right));
    EXPECT_EQ(fake::ProfileString("WINDOW", "Window Bottom"), std::to_string(r.bottom));
    EXPECT_EQ(fake::ProfileString("DEV", "Devices"), "3");
    EXPECT_EQ(Stored(0, "Password"), Scrambled("Secret!42"));
    EXPECT_NE(Stored(0, "Password"), "Secret!42");
    EXPECT_EQ(Stored(1, "IP"), "10.0.0.2");
    EXPECT_EQ(Stored(1, "Port"), "23") << "an I/O Controller is saved with port 23";
    EXPECT_EQ(Stored(1, "Password"), "I/O Controller");
    EXPECT_EQ(Stored(2, "Timing"), "250");
    EXPECT_EQ(Stored(99, "IP"), "0.0.0.0");
    EXPECT_EQ(Stored(99, "Port"), "80");

    const std::vector<std::string> sections = fake::ProfileSections(path);
    ASSERT_EQ(sections.size(), 102u);
    EXPECT_EQ(sections[0], "DEV");  // written first by the test itself
    EXPECT_EQ(sections[1], "DEV0");
    EXPECT_EQ(sections[2], "WINDOW");
    for (int slot = 0; slot < 100; ++slot) {
        EXPECT_EQ(fake::ProfileKeys(path, Section(slot)).size(), 4u) << slot;
    }
    // The live settings are the working copy, with the plain password.
    EXPECT_STREQ(g_settings.password[0], "Secret!42");
    EXPECT_STREQ(g_settings.password[1], "I/O Controller");
    EXPECT_EQ(std::memcmp(&g_settings, &g_workingSettings, sizeof g_settings), 0);
}

TEST_F(DialogTest, EnterKeyStoresTheFocusedEditBeforeSaving) {
    auto s = Open(1);
    s->Type(RowEditId(0, kTiming), "125");
    s->PressEnter();  // the default button's command, the focus still in the edit
    EXPECT_EQ(s->Result(), 1);
    EXPECT_EQ(Stored(0, "Timing"), "125");
}

TEST_F(DialogTest, OkAppliesACountStillBeingTyped) {
    StoreDevices("30");
    auto s = Open(0);
    ASSERT_EQ(s->Focused(), id::kCountBox);
    s->Type(id::kCountBox, "7");
    s->PressEnter();
    EXPECT_EQ(fake::ProfileString("DEV", "Devices"), "7");
}

TEST_F(DialogTest, CancelLeavesTheFileUntouched) {
    StoreDevices("12");
    StoreSlot(5, "10.9.9.9", "80", "300", "pw");
    const int writesBefore = fake::ProfileWriteCalls();
    auto s = Open(1);
    s->Type(RowEditId(5, kIp), "1.1.1.1");
    s->Type(id::kCountBox, "50");
    s->ClickTab(0);
    s->ClickButton(id::kCancel);
    EXPECT_TRUE(s->Ended());
    EXPECT_EQ(s->Result(), 0);
    EXPECT_EQ(fake::ProfileWriteCalls(), writesBefore);
    EXPECT_EQ(Stored(5, "IP"), "10.9.9.9");
    EXPECT_STREQ(g_settings.ip[5], "10.9.9.9");
    // Taking the ended dialog down moves the focus once more; that changes nothing either.
    EXPECT_TRUE(s->Destroyed());
    EXPECT_EQ(s->Tabs().size(), 5u);
}

TEST_F(DialogTest, EscapeWithAnEditFocusedDoesNotStoreAfterTheEnd) {
    auto s = Open(1);
    s->Type(RowEditId(0, kIp), "9.9.9.9");
    s->PressEscape();
    EXPECT_EQ(s->Result(), 0);
    EXPECT_TRUE(s->Destroyed());
    EXPECT_STREQ(g_workingSettings.ip[0], "0.0.0.0");
    EXPECT_EQ(fake::ProfileWriteCalls(), 0);
}

TEST_F(DialogTest, SavedPositionIsRestoredSizeKept) {
    auto first = Open(1);
    first->SetRect({300, 200, 950, 610});
    first->ClickButton(id::kOk);
    EXPECT_EQ(fake::ProfileString("WINDOW", "Window Left"), "300");

    auto second = std::make_unique<HeadlessSurface>(DriverTemplate(101));
    second->SetRect({10, 20, 660, 430});
    second->Open();
    EXPECT_EQ(second->MoveCalls(), 1);
    const vexlor::WindowRect r = second->Rect();
    EXPECT_EQ(r.left, 300);
    EXPECT_EQ(r.top, 200);
    EXPECT_EQ(r.right - r.left, 650);
    EXPECT_EQ(r.bottom - r.top, 410);
}

TEST_F(DialogTest, AnyNonzeroSavedEdgeMovesTheWindow) {
    fake::SetProfileString("WINDOW", "Window Bottom", "5");
    auto s = std::make_unique<HeadlessSurface>(DriverTemplate(101));
    s->SetRect({10, 20, 660, 430});
    s->Open();
    EXPECT_EQ(s->MoveCalls(), 1);
    EXPECT_EQ(s->Rect().left, 0);
    EXPECT_EQ(s->Rect().top, 0);
    EXPECT_EQ(s->Rect().right, 650);
}

TEST_F(DialogTest, ReopenedDialogStartsOnPageOne) {
    StoreDevices("30");
    auto first = Open(1);
    first->ClickTab(2);
    first->ClickButton(id::kCancel);
    auto second = Open(1);
    EXPECT_EQ(vexlor::g_currentPage, 1);
    ExpectRowLabels(*second, "Device ", 0);
    second->Type(RowEditId(3, kIp), "10.3.3.3");
    second->ClickButton(id::kOk);
    EXPECT_EQ(Stored(3, "IP"), "10.3.3.3");
    EXPECT_EQ(Stored(23, "IP"), "0.0.0.0");
}

// --- The exported function ------------------------------------------------------------------

TEST_F(DialogTest, ExportStoresLanguageChoosesTemplateAndReturnsZero) {
    using vexlor::platform::ConfigDialogTemplate;
    std::vector<std::string> firstLabels;
    fake::SetConfigDialogRunner([&](ConfigDialogTemplate which) {
        HeadlessSurface s(DriverTemplate(which == ConfigDialogTemplate::kGerman ? 100 : 101));
        s.Open();
        firstLabels.push_back(s.Text(id::kFirstRowLabel));
        s.Type(RowEditId(0, kIp), "10.20.30.40");
        s.ClickButton(id::kOk);
        return s.Result();
    });
    EXPECT_EQ(VexlorDlgWeb_IO_ConfigHardware(2), 0);
    EXPECT_EQ(vexlor::g_module.uiLanguage.load(), 2);
    EXPECT_EQ(VexlorDlgWeb_IO_ConfigHardware(0), 0);
    EXPECT_EQ(vexlor::g_module.uiLanguage.load(), 0);
    const auto runs = fake::ConfigDialogRuns();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], ConfigDialogTemplate::kEnglish);
    EXPECT_EQ(runs[1], ConfigDialogTemplate::kGerman);
    ASSERT_EQ(firstLabels.size(), 2u);
    EXPECT_EQ(firstLabels[0], "Device 0");
    EXPECT_EQ(firstLabels[1], "Ger\xE4t 0");
    EXPECT_EQ(Stored(0, "IP"), "10.20.30.40");
}

TEST_F(DialogTest, ExportReturnsZeroWhenTheDialogCannotBeShown) {
    fake::SetConfigDialogRunner(nullptr);  // no window system: the dialog is not created
    EXPECT_EQ(VexlorDlgWeb_IO_ConfigHardware(1), 0);
    EXPECT_EQ(vexlor::g_module.uiLanguage.load(), 1);
    EXPECT_EQ(fake::ProfileWriteCalls(), 0);
}

}  // namespace
}  // namespace dialogtest
