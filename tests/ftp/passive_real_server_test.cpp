#include "ftp_fixture.h"

#include "tests/support/real_ftp_servers.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace pelmora::testing {
namespace {

namespace fs = std::filesystem;

// Listing and upload over our own connections to the server's passive ports, as users
// behind a router run them.
class FtpRealServerPassive : public ::testing::TestWithParam<TRealServerKind>,
                             public TRecordingFtp {
protected:
    TTempTree temp;
};

TEST_P(FtpRealServerPassive, ListingAndUploads) {
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << server.Name() << " cannot run here: " << why;
    const std::string site = server.SiteOnDisk();
    std::ofstream(site + "/.htaccess") << "Deny from all\n";
    fs::create_directories(site + "/sub");
    for (const auto& entry : fs::recursive_directory_iterator(site))
        fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);

    settings.port = server.Port();
    settings.user = server.User();
    settings.password = server.Password();
    ftp.Options.initialDirectory = server.SiteDir();
    settings.dataMode = TDataMode::Passive;
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn", 10000)) << ::testing::PrintToString(events);

    ASSERT_TRUE(PerformClean([&] { ftp.GetListing(); })) << ::testing::PrintToString(errorTexts);
    EXPECT_TRUE(Has(ftp.Files(), ".htaccess"));
    EXPECT_TRUE(Has(ftp.Directories(), "sub"));
    EXPECT_EQ(DataModeText(ftp.Traits().dataModeInUse), "passive (EPSV)");

    for (const size_t size : {size_t{0}, size_t{4097}, size_t{1u << 20}}) {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>((i * 31 + i / 701) & 0xFF);
        const std::string name = "p-" + std::to_string(size) + ".bin";
        const std::string local = temp.File(name, content);
        ASSERT_TRUE(PerformClean([&] { ftp.Put(local, name, BinaryTransfer); }))
            << name << ::testing::PrintToString(errorTexts);
        EXPECT_EQ(ReadDisk(site + "/" + name), content) << name;
    }
    // The listing after the uploads sees them.
    ASSERT_TRUE(PerformClean([&] { ftp.GetListing(); }));
    EXPECT_TRUE(Has(ftp.Files(), "p-1048576.bin"));

    ftp.Quit();
    ASSERT_TRUE(WaitForEvent("available", 10000));
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServerPassive, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

} // namespace
} // namespace pelmora::testing
