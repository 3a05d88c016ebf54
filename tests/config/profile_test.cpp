// The POSIX profile-file functions: reading with the private-profile rules, rewriting a file
// in place without disturbing other lines, and the crash-safe replacement of the file.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "fake_module.h"
#include "platform/platform.h"

namespace {

namespace platform = vexlor::platform;

class ProfileTest : public ::testing::Test {
  protected:
    std::string Get(const char* section, const char* key, const char* fallback = "DEFAULT",
                    uint32_t size = 256) {
        char buffer[4096];
        const uint32_t n =
            platform::ProfileGetString(section, key, fallback, buffer, size, path_.c_str());
        EXPECT_EQ(n, std::string(buffer).size());
        return buffer;
    }
    int GetInt(const char* section, const char* key, int fallback = -99) {
        return platform::ProfileGetInt(section, key, fallback, path_.c_str());
    }
    bool Write(const char* section, const char* key, const char* value) {
        return platform::ProfileWriteString(section, key, value, path_.c_str());
    }
    void SetFile(const std::string& content) { fake::WriteFile(path_, content); }
    std::string File() const { return fake::ReadFile(path_); }

    fake::TempDir dir_;
    std::string path_ = dir_.File("test.ini");
};

TEST_F(ProfileTest, ReadsWithPrivateProfileRules) {
    SetFile(
        "; leading comment\n"
        "Orphan=before any section\n"
        "[Alpha]\n"
        "  Name  =   spaced value   \n"
        "\tTabbed\t=\tx\t\n"
        "Double=\"quoted value \"\n"
        "Single=' single '\n"
        "Mismatch=\"left only\n"
        "Mixed=\"a'\n"
        "LoneQuote=\"\n"
        "Inner=a \"b\" c\n"
        "; Hidden=comment\n"
        "  ;Indented=comment too\n"
        "NoEquals\n"
        "Empty=\n"
        "Dup=first\n"
        "dup=second\n"
        "Eq=a=b\n"
        "[ Beta ]\n"
        "Hidden=visible\n"
        "[alpha]\n"
        "Later=in a second section of the same name\n");
    EXPECT_EQ(Get("alpha", "NAME"), "spaced value");
    EXPECT_EQ(Get("ALPHA", "tabbed"), "x");
    EXPECT_EQ(Get("Alpha", "Double"), "quoted value ");
    EXPECT_EQ(Get("Alpha", "Single"), " single ");
    EXPECT_EQ(Get("Alpha", "Mismatch"), "\"left only");
    EXPECT_EQ(Get("Alpha", "Mixed"), "\"a'");
    EXPECT_EQ(Get("Alpha", "LoneQuote"), "\"");
    EXPECT_EQ(Get("Alpha", "Inner"), "a \"b\" c");
    EXPECT_EQ(Get("Alpha", "Hidden"), "DEFAULT");
    EXPECT_EQ(Get("Alpha", ";Indented"), "DEFAULT");
    EXPECT_EQ(Get("Alpha", "NoEquals"), "DEFAULT");
    EXPECT_EQ(Get("Alpha", "Empty"), "");  // present but empty: not the default
    EXPECT_EQ(Get("Alpha", "Dup"), "first");
    EXPECT_EQ(Get("Alpha", "Eq"), "a=b");
    EXPECT_EQ(Get("Alpha", "Orphan"), "DEFAULT");
    EXPECT_EQ(Get("beta", "hidden"), "visible");
    EXPECT_EQ(Get("Alpha", "Later"), "DEFAULT");  // only the first [Alpha] counts
    EXPECT_EQ(Get("Gamma", "Name"), "DEFAULT");
    EXPECT_EQ(Get("Alpha", "Name", nullptr), "spaced value");
    EXPECT_EQ(Get("Gamma", "Name", nullptr), "");
}

TEST_F(ProfileTest, ReadsCrlfLfAndAByteOrderMark) {
    SetFile("\xEF\xBB\xBF[S]\r\nA=1\r\nB=two \r\n[T]\nC=3\nD=4");  // no line end at the end
    EXPECT_EQ(Get("S", "A"), "1");
    EXPECT_EQ(Get("S", "B"), "two");
    EXPECT_EQ(Get("T", "C"), "3");
    EXPECT_EQ(Get("T", "D"), "4");
}

TEST_F(ProfileTest, MissingFileOrSectionReadsAsMissingKey) {
    EXPECT_EQ(Get("S", "K", "fallback"), "fallback");
    EXPECT_EQ(GetInt("S", "K", 17), 17);
    SetFile("[Other]\nK=1\n");
    EXPECT_EQ(Get("S", "K", "fallback"), "fallback");
    EXPECT_EQ(GetInt("S", "K", 17), 17);
}

TEST_F(ProfileTest, CutsResultsToTheBuffer) {
    const std::string long80(80, 'v');
    const std::string long300 = std::string(150, 'a') + std::string(150, 'b');
    SetFile("[S]\nShort=abcdef\nLong80=" + long80 + "\nLong300=" + long300 + "\n");
    EXPECT_EQ(Get("S", "Short", "", 4), "abc");
    EXPECT_EQ(Get("S", "Short", "", 1), "");
    EXPECT_EQ(Get("S", "Long80", "", 256), long80);
    EXPECT_EQ(Get("S", "Long80", "", 50), long80.substr(0, 49));
    EXPECT_EQ(Get("S", "Long300", "", 1024), long300);
    EXPECT_EQ(Get("S", "Missing", "default text", 5), "defa");

    // Size 0 touches nothing.
    char buffer[4] = {'x', 'y', 'z', '\0'};
    EXPECT_EQ(platform::ProfileGetString("S", "Short", "", buffer, 0, path_.c_str()), 0u);
    EXPECT_STREQ(buffer, "xyz");
}

TEST_F(ProfileTest, ReadsLeadingDecimalNumbers) {
    SetFile(
        "[N]\nPlain=42\nNeg= -17 \nPlus=+8\nTrail=12abc\nWord=abc\nEmpty=\nQuoted=\"55\"\n"
        "Huge=99999999999999999999\nTiny=-99999999999999999999\nHex=0x10\n");
    EXPECT_EQ(GetInt("N", "plain"), 42);
    EXPECT_EQ(GetInt("N", "Neg"), -17);
    EXPECT_EQ(GetInt("N", "Plus"), 8);
    EXPECT_EQ(GetInt("N", "Trail"), 12);
    EXPECT_EQ(GetInt("N", "Word"), 0);
    EXPECT_EQ(GetInt("N", "Empty"), -99);
    EXPECT_EQ(GetInt("N", "Quoted"), 55);
    EXPECT_EQ(GetInt("N", "Huge"), INT_MAX);
    EXPECT_EQ(GetInt("N", "Tiny"), INT_MIN);
    EXPECT_EQ(GetInt("N", "Hex"), 0);
    EXPECT_EQ(GetInt("N", "Missing"), -99);
}

TEST_F(ProfileTest, WritesCreateFileSectionAndKey) {
    ASSERT_TRUE(Write("First", "Key", "value"));
    EXPECT_EQ(File(), "[First]\r\nKey=value\r\n");
    ASSERT_TRUE(Write("First", "Other", "2"));
    ASSERT_TRUE(Write("Second", "K", ""));
    EXPECT_EQ(File(), "[First]\r\nKey=value\r\nOther=2\r\n[Second]\r\nK=\r\n");
    EXPECT_EQ(Get("second", "k"), "");
}

TEST_F(ProfileTest, ReplacesInPlaceAndKeepsEveryOtherLine) {
    const std::string before =
        "; comment line\n"
        "[Dev]  \n"
        "   ip   =   1.2.3.4   \n"
        "Port=80\r\n"
        "PORT=81\n"
        "\n"
        "\t\n"
        "[Other]\r\n"
        "ip=9.9.9.9\n";
    SetFile(before);
    ASSERT_TRUE(Write("DEV", "IP", "5.6.7.8"));
    ASSERT_TRUE(Write("dev", "port", "8080"));  // the first of the duplicates
    EXPECT_EQ(File(),
              "; comment line\n"
              "[Dev]  \n"
              "   ip   =   5.6.7.8\n"
              "Port=8080\r\n"
              "PORT=81\n"
              "\n"
              "\t\n"
              "[Other]\r\n"
              "ip=9.9.9.9\n");
    // A new key goes after the section's last non-blank line.
    ASSERT_TRUE(Write("Dev", "Timing", "500"));
    EXPECT_EQ(File(),
              "; comment line\n"
              "[Dev]  \n"
              "   ip   =   5.6.7.8\n"
              "Port=8080\r\n"
              "PORT=81\n"
              "Timing=500\r\n"
              "\n"
              "\t\n"
              "[Other]\r\n"
              "ip=9.9.9.9\n");
    EXPECT_EQ(Get("Other", "ip"), "9.9.9.9");
}

TEST_F(ProfileTest, AppendsAfterAFinalLineWithoutLineEnd) {
    SetFile("[A]\nX=1");
    ASSERT_TRUE(Write("A", "Y", "2"));
    EXPECT_EQ(File(), "[A]\nX=1\r\nY=2\r\n");
    SetFile("[A]\nX=1");
    ASSERT_TRUE(Write("B", "Y", "2"));
    EXPECT_EQ(File(), "[A]\nX=1\r\n[B]\r\nY=2\r\n");
    SetFile("[A]\nX=1");
    ASSERT_TRUE(Write("A", "X", "3"));
    EXPECT_EQ(File(), "[A]\nX=3");
}

TEST_F(ProfileTest, RefusesWhatTheFormatCannotHold) {
    SetFile("[A]\nX=1\n");
    EXPECT_FALSE(Write("A", "K=1", "v"));
    EXPECT_FALSE(Write("A", "", "v"));
    EXPECT_FALSE(Write("A]", "K", "v"));
    EXPECT_FALSE(Write("A", "K", nullptr));
    EXPECT_EQ(File(), "[A]\nX=1\n");
    // A value cannot span lines: it ends at its first line break.
    ASSERT_TRUE(Write("A", "X", "one\r\n[Injected]\r\nY=2"));
    EXPECT_EQ(File(), "[A]\nX=one\n");
    EXPECT_EQ(Get("Injected", "Y"), "DEFAULT");
}

TEST_F(ProfileTest, WriteLeavesNoTemporaryFileAndKeepsPermissions) {
    SetFile("[A]\nX=1\n");
    ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(Write("A", "X", std::to_string(i).c_str()));
    EXPECT_EQ(fake::ListDir(dir_.path()), "test.ini");
    struct stat info;
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(GetInt("A", "X"), 19);

    // Writing the value that is already stored does not replace the file.
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    const ino_t inode = info.st_ino;
    ASSERT_TRUE(Write("a", "x", "19"));
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_ino, inode);
    ASSERT_TRUE(Write("A", "X", "20"));
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_NE(info.st_ino, inode);

    // A file in a directory that does not exist cannot be written, and nothing is left over.
    EXPECT_FALSE(platform::ProfileWriteString("A", "X", "1", dir_.File("missing/x.ini").c_str()));
    EXPECT_EQ(fake::ListDir(dir_.path()), "test.ini");

    // Through a chain of symbolic links (relative, then absolute) the file they lead to is
    // written, and the links stay.
    ASSERT_EQ(symlink("test.ini", dir_.File("middle.ini").c_str()), 0);
    ASSERT_EQ(symlink(dir_.File("middle.ini").c_str(), dir_.File("link.ini").c_str()), 0);
    ASSERT_TRUE(platform::ProfileWriteString("A", "X", "21", dir_.File("link.ini").c_str()));
    EXPECT_EQ(GetInt("A", "X"), 21);
    ASSERT_EQ(lstat(dir_.File("link.ini").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(fake::ListDir(dir_.path()), "link.ini middle.ini test.ini");
}

TEST_F(ProfileTest, LongLinesAreCopiedThroughAndNeverSplit) {
    // A comment whose tail, were the line read in pieces of some buffer size, would look like a
    // line of its own. For many lengths around common buffer sizes the tail stays part of the
    // comment.
    for (size_t pad : {1000u, 1020u, 1021u, 1022u, 1023u, 1024u, 2046u, 4094u, 4095u, 4096u}) {
        const std::string trap = ";" + std::string(pad, 'x') + "Key=bad\n";
        const std::string trapSection = ";" + std::string(pad, 'y') + "[Sec]\n";
        SetFile("[Other]\n" + trapSection + "Key=wrong section\n[Sec]\n" + trap + "Key=good\n" +
                trap);
        EXPECT_EQ(Get("Sec", "Key"), "good") << pad;
        ASSERT_TRUE(Write("Sec", "Key", "new"));
        EXPECT_EQ(File(), "[Other]\n" + trapSection + "Key=wrong section\n[Sec]\n" + trap +
                              "Key=new\n" + trap)
            << pad;
    }

    // A key line longer than the line buffer is replaced as a whole.
    const std::string huge(5000, 'h');
    SetFile("[S]\nBig=" + huge + "\r\nAfter=1\n");
    // Its value is returned as far as the parsed head of the line reaches.
    const std::string got = Get("S", "Big", "", 2000);
    EXPECT_GE(got.size(), 1000u);
    EXPECT_EQ(got, huge.substr(0, got.size()));
    EXPECT_EQ(Get("S", "Big", "", 10), "hhhhhhhhh");
    ASSERT_TRUE(Write("S", "Big", "small"));
    EXPECT_EQ(File(), "[S]\nBig=small\r\nAfter=1\n");
}

}  // namespace
