#include "toolkit/date_time.h"
#include "toolkit/profile.h"
#include "toolkit/random.h"
#include "toolkit/text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelmora;
namespace fs = std::filesystem;

TEST(DateTime, CountsDaysFromTheEndOf1899) {
    struct Case {
        int y, m, d;
        double days;
    };
    for (const Case& c :
         {Case{1899, 12, 30, 0}, Case{1899, 12, 31, 1}, Case{1900, 1, 1, 2}, Case{1900, 3, 1, 61},
          Case{1999, 2, 1, 36192}, Case{2000, 1, 1, 36526}, Case{1, 1, 1, -693593}}) {
        const auto v = EncodeDate(c.y, c.m, c.d);
        ASSERT_TRUE(v.has_value()) << c.y << "-" << c.m << "-" << c.d;
        EXPECT_EQ(*v, c.days);
        const TDateParts back = DecodeDate(*v);
        EXPECT_EQ(back.Year, c.y);
        EXPECT_EQ(back.Month, c.m);
        EXPECT_EQ(back.Day, c.d);
    }
    EXPECT_EQ(DayOfWeek(*EncodeDate(1999, 2, 1)), 2) << "1 February 1999 was a Monday";
}

TEST(DateTime, RefusesImpossibleDatesAndTimes) {
    EXPECT_FALSE(EncodeDate(2023, 2, 29));
    EXPECT_TRUE(EncodeDate(2024, 2, 29));
    EXPECT_FALSE(EncodeDate(2024, 4, 31));
    EXPECT_FALSE(EncodeDate(2024, 13, 1));
    EXPECT_FALSE(EncodeDate(2024, 1, 36));
    EXPECT_FALSE(EncodeDate(0, 1, 1));
    EXPECT_FALSE(EncodeTime(30, 0, 0));
    EXPECT_FALSE(EncodeTime(12, 60, 0));
    const auto t = EncodeTime(22, 30, 15);
    ASSERT_TRUE(t);
    const TTimeParts parts = DecodeTime(*EncodeDate(1996, 7, 15) + *t);
    EXPECT_EQ(parts.Hour, 22);
    EXPECT_EQ(parts.Minute, 30);
    EXPECT_EQ(parts.Second, 15);
}

TEST(Random, FollowsTheFixedSequenceFromSeedZero) {
    SetRandomSeed(0);
    EXPECT_EQ(Random(15), 0u);
    EXPECT_EQ(Random(15), 0u);
    EXPECT_EQ(Random(15), 12u);
    SetRandomSeed(0);
}

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("pelmora-ini-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        path = (dir / "PELMORA.INI").string();
    }
    void TearDown() override { fs::remove_all(dir); }
    void Write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string Read() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir;
    std::string path;
};

TEST_F(IniFileTest, ReadsValuesWithoutRegardToCaseAndFallsBackToDefaults) {
    Write("junk line\n[ftp]\r\nSERVER = example \r\nport=0x15\n[Options]\ntimeout=12abc\n"
          "exit=2\nbig=99999999999\nneg=-4\n[Other]\nx=1\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("FTP", "server", "d"), "example");
    EXPECT_EQ(ini.ReadString("FTP", "missing", "d"), "d");
    EXPECT_EQ(ini.ReadString("Nope", "server", ""), "");
    EXPECT_EQ(ini.ReadInteger("FTP", "port", 21), 21);
    EXPECT_EQ(ini.ReadInteger("Options", "timeout", 30), 30);
    EXPECT_EQ(ini.ReadInteger("Options", "big", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Options", "neg", 7), -4);
    EXPECT_TRUE(ini.ReadBool("Options", "exit", false));
    EXPECT_FALSE(ini.ReadBool("Options", "timeout", false)) << "garbage gives the default";
    EXPECT_TRUE(ini.ReadBool("Options", "timeout", true));
}

TEST_F(IniFileTest, CutsLongValuesTo1023Characters) {
    Write("[A]\nk=" + std::string(1 << 20, 'x') + "\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("A", "k", "").size(), 1023u);
}

TEST_F(IniFileTest, WritesKeepOtherLinesAndReplaceTheFileWithOwnerOnlyMode) {
    Write("; note\n[FTP]\nserver=old\n\n[Keep]\nthis=that\nno equals sign\n");
    TIniFile ini(path);
    ini.WriteString("ftp", "SERVER", "new");
    ini.WriteInteger("FTP", "port", 2121);
    ini.WriteBool("Options", "exit", true);
    ini.UpdateFile();
    EXPECT_EQ(Read(), "; note\n[FTP]\nserver=new\nport=2121\n\n[Keep]\nthis=that\n"
                      "no equals sign\n\n[Options]\nexit=1\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(path + ".new"));
    TIniFile again(path);
    EXPECT_EQ(again.ReadInteger("FTP", "port", 0), 2121);
}

TEST_F(IniFileTest, RefusesWhatItCannotStore) {
    TIniFile ini(path);
    EXPECT_THROW(ini.WriteString("A", "k", "two\nlines"), EProfileError);
    TIniFile nowhere((dir / "missing-dir" / "PELMORA.INI").string());
    nowhere.WriteString("A", "k", "v");
    try {
        nowhere.UpdateFile();
        FAIL() << "writing into a missing directory succeeded";
    } catch (const EProfileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + nowhere.FileName());
    }
}

TEST_F(IniFileTest, ALinkPlantedWhereTheNewCopyOnceWentLeadsNowhere) {
    // Another local user who can write to the folder plants a link at the name the new
    // copy used to get, pointing at a file of ours.
    const std::string victim = (dir / "victim.txt").string();
    std::ofstream(victim, std::ios::binary) << "precious";
    ASSERT_EQ(::symlink(victim.c_str(), (path + ".new").c_str()), 0);
    Write("[FTP]\nserver=old\n");
    TIniFile ini(path);
    ini.WriteString("FTP", "server", "new");
    ini.UpdateFile();
    std::ifstream in(victim, std::ios::binary);
    std::stringstream victimText;
    victimText << in.rdbuf();
    EXPECT_EQ(victimText.str(), "precious");
    EXPECT_EQ(Read(), "[FTP]\nserver=new\n");
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(IniFileTest, AFailedReplaceLeavesNoCopyBehind) {
    // A directory where the file should be: the copy is written, the rename fails.
    fs::create_directories(path);
    TIniFile ini(path);
    ini.WriteString("A", "k", "v");
    EXPECT_THROW(ini.UpdateFile(), EProfileError);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"PELMORA.INI"});
}

TEST(EscapeControls, PrintsControlsAndBrokenUtf8AsHexAndKeepsTheRest) {
    struct Case {
        std::string in, out;
    };
    using namespace std::string_literals;
    for (const Case& c : {
             Case{"plain /index.html", "plain /index.html"},
             Case{"a\x1b[2Jb", "a\\x1b[2Jb"},
             Case{"line\rRemote Site Update Complete\n",
                  "line\\x0dRemote Site Update Complete\\x0a"},
             Case{"\0\x01\x1f \x7f"s, "\\x00\\x01\\x1f \\x7f"},
             Case{"back\\slash", "back\\\\slash"},
             Case{"\\x41", "\\\\x41"}, // an escape in the name cannot pass for one of ours
             Case{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82",
                  "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82"},
             Case{"\xc2\xa0nbsp \xc2\x9b"
                  "2J \xc2\x80",
                  "\xc2\xa0nbsp \\xc2\\x9b2J \\xc2\\x80"},
             Case{"\xff\xfe", "\\xff\\xfe"},
             Case{"\xc3", "\\xc3"},                                       // cut short at the end
             Case{"\xc3(", "\\xc3("},                                     // cut short by ASCII
             Case{"\xc0\xaf \xe0\x80\xaf", "\\xc0\\xaf \\xe0\\x80\\xaf"}, // overlong
             Case{"\xed\xa0\x80", "\\xed\\xa0\\x80"},                     // a surrogate
             Case{"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},            // past U+10FFFF
             Case{"\xef\xbf\xbf \xf4\x8f\xbf\xbf",
                  "\xef\xbf\xbf \xf4\x8f\xbf\xbf"}, // the last ones
             Case{"", ""},
         }) {
        EXPECT_EQ(EscapeControls(c.in), c.out) << c.out;
    }
}
