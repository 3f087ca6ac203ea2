#include "ftp_fixture.h"

#include "tests/support/real_ftp_servers.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pelmora::testing {
namespace {

namespace fs = std::filesystem;
using TStrings = std::vector<std::string>;

std::string Bytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 13 + seed + i / 509) & 0xFF);
    return bytes;
}

TStrings Lines(TStringList& list) {
    TStrings lines;
    for (int i = 0; i < list.Count(); ++i)
        lines.push_back(list.Strings(i));
    return lines;
}

// One whole session against a real server: everything the program asks of one.
class FtpRealServer : public ::testing::TestWithParam<TRealServerKind>, public TRecordingFtp {
protected:
    TTempTree temp;
};

TEST_P(FtpRealServer, WholeSession) {
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << server.Name() << " cannot run here: " << why;
    const std::string site = server.SiteOnDisk();
    // Known content, a dot-file among it, put there behind the server's back.
    fs::create_directories(site + "/known");
    std::ofstream(site + "/known/.htaccess") << "Deny from all\n";
    std::ofstream(site + "/known/page.html") << "<p>hello</p>\n";
    fs::create_directories(site + "/known/sub");
    std::ofstream(site + "/doomed.txt") << "bye";
    fs::create_directories(site + "/empty-dir");
    for (const auto& entry : fs::recursive_directory_iterator(site))
        fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);

    settings.port = server.Port();
    settings.user = server.User();
    settings.password = server.Password();
    ftp.Options.initialDirectory = server.SiteDir();
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn", 10000)) << ::testing::PrintToString(events);
    EXPECT_EQ(Count("error OperationFailed"), 0) << "initial CWD";
    EXPECT_EQ(ftp.Traits().serverType, ftpstUNIX) << ftp.Traits().systemType;
    EXPECT_NE(ftp.Traits().systemType.find("UNIX"), std::string::npos);

    ASSERT_TRUE(PerformClean([&] { ftp.ChangeDir("known"); }));
    ASSERT_TRUE(PerformClean([&] { ftp.GetListing(); })) << [&] {
        std::string all;
        for (const auto& info : infos)
            all += std::string(FtpInfoName(info.code)) + " " + info.text + "\n";
        return all;
    }();
    EXPECT_TRUE(Has(ftp.Files(), ".htaccess")) << "dot-files must be listed";
    EXPECT_TRUE(Has(ftp.Files(), "page.html"));
    EXPECT_TRUE(Has(ftp.Directories(), "sub"));
    EXPECT_NE(ftp.CurrentDirectory().find("known"), std::string::npos) << ftp.CurrentDirectory();
    EXPECT_EQ(ftp.Options.initialDirectory, server.SiteDir());
    ASSERT_TRUE(PerformClean([&] { ftp.ChangeDir(".."); }));

    ASSERT_TRUE(PerformClean([&] { ftp.MakeDir("made"); }));
    EXPECT_TRUE(fs::is_directory(site + "/made"));
    ASSERT_TRUE(PerformClean([&] { ftp.RemoveDir("empty-dir"); }));
    EXPECT_FALSE(fs::exists(site + "/empty-dir"));
    ASSERT_TRUE(PerformClean([&] { ftp.DeleteFile("doomed.txt"); }));
    EXPECT_FALSE(fs::exists(site + "/doomed.txt"));
    EXPECT_FALSE(PerformClean([&] { ftp.RemoveDir("no-such-dir"); }));
    EXPECT_TRUE(ftp.Connected());

    // Uploads of the sizes around a block, and big ones of many blocks.
    for (const size_t size : {size_t{0}, size_t{4097}, size_t{256u << 10}, size_t{(256u << 10) + 1},
                              size_t{3u << 20}, size_t{64u << 20}}) {
        const std::string name = "up-" + std::to_string(size) + ".bin";
        const std::string content = Bytes(size, static_cast<unsigned>(size));
        const std::string local = temp.File(name, content);
        ASSERT_TRUE(PerformClean([&] { ftp.Put(local, "made/" + name, BinaryTransfer); }))
            << name << ::testing::PrintToString(events);
        // Compared whole but not printed: a failure would print the file.
        EXPECT_TRUE(ReadDisk(site + "/made/" + name) == content) << name;
    }
    const std::string htaccess = temp.File("x.htaccess", "RewriteEngine on\n");
    ASSERT_TRUE(PerformClean([&] { ftp.Put(htaccess, ".htaccess", BinaryTransfer); }));
    EXPECT_EQ(ReadDisk(site + "/.htaccess"), "RewriteEngine on\n");

    ftp.Quit();
    ASSERT_TRUE(WaitForEvent("available", 10000));
    EXPECT_EQ(server.Port(), ftp.FtpPort);
    EXPECT_FALSE(ftp.Connected());
}

// What each server can do about times, and that an uploaded file ends up with the time we
// set, to the second, as the disk, MDTM and (where offered) MLSD tell it.
TEST_P(FtpRealServer, SetsAndListsExactTimes) {
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << server.Name() << " cannot run here: " << why;
    settings.port = server.Port();
    settings.user = server.User();
    settings.password = server.Password();
    ftp.Options.initialDirectory = server.SiteDir();
    ftp.Options.useMlsd = true;
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn", 10000)) << ::testing::PrintToString(events);

    const TServerFeatures& features = ftp.Traits().features;
    const bool vsftpd = GetParam() == TRealServerKind::Vsftpd;
    EXPECT_TRUE(features.listed);
    EXPECT_TRUE(features.mdtm);
    EXPECT_EQ(features.mlsd, !vsftpd);
    EXPECT_EQ(features.mfmt, !vsftpd);

    const std::string content = "<p>stamped</p>\n";
    const std::string local = temp.File("stamped.html", content);
    ASSERT_TRUE(PerformClean([&] { ftp.Put(local, "stamped.html", BinaryTransfer); }));
    const int64_t when = 1577934245; // 2020-01-02 03:04:05 UTC
    const size_t sentBefore = InfoTexts(ftpCommandSent).size();
    ASSERT_TRUE(PerformClean([&] { ftp.SetFileTime("stamped.html", when); }))
        << ::testing::PrintToString(errorTexts);
    EXPECT_TRUE(ftp.Traits().FileTimeSettable());
    // The one command that set it: MFMT where offered, vsftpd's MDTM with a time.
    const TStrings sent = InfoTexts(ftpCommandSent);
    EXPECT_EQ(TStrings(sent.begin() + static_cast<long>(sentBefore), sent.end()),
              TStrings{(vsftpd ? "MDTM " : "MFMT ") + std::string("20200102030405 stamped.html")});
    EXPECT_EQ(fs::last_write_time(server.SiteOnDisk() + "/stamped.html"),
              fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(when)));

    ASSERT_TRUE(PerformClean([&] { ftp.GetFileTime("stamped.html"); }));
    EXPECT_EQ(ftp.LastFileTime(), when);

    // Why MLSD is the caller's choice: one server's MLSD follows a link and reports what
    // it points to, so the link cannot be told from a file there.
    fs::create_symlink("stamped.html", server.SiteOnDisk() + "/alias.html");
    ASSERT_TRUE(PerformClean([&] { ftp.GetListing(); }));
    EXPECT_EQ(ftp.ListingByMlsd(), !vsftpd);
    const TListedKind aliasKind =
        GetParam() == TRealServerKind::Pyftpdlib ? TListedKind::File : TListedKind::Link;
    int aliases = 0;
    for (const TListedEntry& entry : ftp.Entries()) {
        if (entry.name == "alias.html") {
            ++aliases;
            EXPECT_EQ(entry.kind, aliasKind);
        }
    }
    EXPECT_EQ(aliases, 1);
    const TListedEntry* stamped = nullptr;
    for (const TListedEntry& entry : ftp.Entries())
        if (entry.name == "stamped.html")
            stamped = &entry;
    ASSERT_NE(stamped, nullptr) << ::testing::PrintToString(Lines(ftp.Listing()));
    EXPECT_EQ(stamped->size, static_cast<long long>(content.size()));
    EXPECT_EQ((std::vector<int>{stamped->year, stamped->month, stamped->day}),
              (std::vector<int>{2020, 1, 2}));
    if (vsftpd)
        EXPECT_FALSE(stamped->utcSeconds.has_value());
    else
        EXPECT_EQ(stamped->utcSeconds, when);

    ftp.Quit();
    ASSERT_TRUE(WaitForEvent("available", 10000));
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServer, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

} // namespace
} // namespace pelmora::testing
