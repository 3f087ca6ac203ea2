#include "ftp_fixture.h"

#include "net/library_registry.h"
#include "net/socket_library.h"
#include "tests/support/ftp_script_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelmora::testing {
namespace {

using TStrings = std::vector<std::string>;

class FtpControl : public ::testing::Test, public TRecordingFtp {
protected:
    void SetUp() override {
        settings.port = server.Port();
        settings.user = "web";
        settings.password = "secret";
        ftp.Options.account = "acct";
    }

    void LogIn() {
        ftp.Connect(settings);
        ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
        ASSERT_EQ(ftp.Status(), ftpCommandReady);
        events.clear();
        infos.clear();
    }

    // Runs one simple operation to its ready.
    void Run(const std::function<void()>& operation) {
        const int before = Count("ready");
        operation();
        ASSERT_TRUE(WaitFor([&] { return Count("ready") > before; }))
            << ::testing::PrintToString(events);
        Settle();
    }

    TFtpScriptServer server;
};

TEST_F(FtpControl, MultiLineGreetingDrippedByteByByteLogsIn) {
    server.On("")
        .Lines({"220-Welcome", "230 not the end", "220-still greeting", "220 Ready"})
        .Drip();
    server.On("SYST").Drip();
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn"));
    Settle();
    EXPECT_EQ(server.Commands(), (TStrings{"USER web", "PASS secret", "SYST", "FEAT"}));
    EXPECT_EQ(events, (TStrings{"ready", "LoggedIn"}));
    // Every line is reported, the ones inside the reply too; it is acted on once.
    const TStrings lines = InfoTexts(ftpReplyLine);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(TStrings(lines.begin(), lines.begin() + 4),
              (TStrings{"220-Welcome", "230 not the end", "220-still greeting", "220 Ready"}));
    EXPECT_EQ(InfoTexts(ftpLoggedIn), TStrings{"Logged in"});
    EXPECT_EQ(InfoTexts(ftpCommandSent), (TStrings{"USER web", "PASS secret", "SYST", "FEAT"}));
    EXPECT_TRUE(ftp.Success());
    EXPECT_TRUE(ftp.Connected());
}

// The trace names every change of status and of reply state, in order.
TEST_F(FtpControl, TraceReadsTheLoginAndACommandByName) {
    LogIn();
    EXPECT_EQ(trace, (TStrings{"Reply Idle -> Greeting", "Status Available -> Busy",
                               "Reply Greeting -> User", "Reply User -> Pass", "Reply Pass -> Syst",
                               "Reply Syst -> Feat", "Reply Feat -> Idle",
                               "Status Busy -> CommandReady"}));
    trace.clear();
    server.On("MKD").Uses(1).Reply("550 Exists");
    Run([&] { ftp.MakeDir("x"); });
    EXPECT_EQ(trace, (TStrings{"Status CommandReady -> Busy", "Reply Idle -> Simple",
                               "Reply Simple -> Idle", "Status Busy -> CommandReady"}));
    EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "DirectoryCreated"}));
    EXPECT_EQ(ftp.Operation(), TFtpOperation::None);
}

TEST_F(FtpControl, UserAcceptedAtOnceSkipsPassword) {
    server.On("USER").Reply("230 Welcome");
    LogIn();
    EXPECT_EQ(server.Commands(), (TStrings{"USER web", "SYST", "FEAT"}));
}

TEST_F(FtpControl, AccountIsSentWhenPasswordAsksForIt) {
    server.On("PASS").Reply("332 Need account");
    LogIn();
    EXPECT_EQ(server.Commands(),
              (TStrings{"USER web", "PASS secret", "ACCT acct", "SYST", "FEAT"}));
}

TEST_F(FtpControl, MissingValuesAreAskedFor) {
    settings.user.clear();
    settings.password.clear();
    ftp.OnFtpNeedInfo = [](TObject*, TFtpInfoNeeded need, std::string& value) {
        value = need == ftpniUserName ? "asked" : "given";
    };
    LogIn();
    EXPECT_EQ(server.Commands(), (TStrings{"USER asked", "PASS given", "SYST", "FEAT"}));
}

struct TRefusal {
    std::string verb;
    std::string reply;
    TStrings commands;
};

class FtpLoginRefused : public FtpControl, public ::testing::WithParamInterface<TRefusal> {};

TEST_P(FtpLoginRefused, ReportsAccessDeniedAndQuits) {
    const TRefusal& refusal = GetParam();
    if (refusal.verb == "ACCT")
        server.On("PASS").Reply("332 Need account");
    server.On(refusal.verb).Reply(refusal.reply);
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(server.Commands(), refusal.commands);
    EXPECT_EQ(events, (TStrings{"error AccessDenied", "ready", "available"}));
    EXPECT_FALSE(ftp.Success());
    EXPECT_EQ(ftp.LastError(), ftpAccessDenied);
    EXPECT_EQ(ftp.Status(), ftpAvailable);
    EXPECT_FALSE(ftp.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FtpLoginRefused,
    ::testing::Values(TRefusal{"USER", "530 Not you", {"USER web", "QUIT"}},
                      TRefusal{"PASS", "530 Wrong", {"USER web", "PASS secret", "QUIT"}},
                      TRefusal{"ACCT", "532 No", {"USER web", "PASS secret", "ACCT acct", "QUIT"}},
                      // A preliminary reply where a final one is due is no acceptance.
                      TRefusal{"USER", "120 Wait a while", {"USER web", "QUIT"}},
                      TRefusal{
                          "ACCT", "332 More", {"USER web", "PASS secret", "ACCT acct", "QUIT"}}));

TEST_F(FtpControl, GreetingRefusedFailsTheSession) {
    server.On("").Reply("421 Too many users");
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(events, (TStrings{"error GreetingError", "ready", "available"}));
    EXPECT_TRUE(server.Commands().empty());
    EXPECT_FALSE(ftp.Connected());
}

struct TSystCase {
    std::string reply;
    TFTPServerType type;
    std::string systemType;
};

class FtpSyst : public FtpControl, public ::testing::WithParamInterface<TSystCase> {};

TEST_P(FtpSyst, DetectsTheServerType) {
    server.On("SYST").Reply(GetParam().reply);
    LogIn();
    EXPECT_EQ(ftp.Traits().serverType, GetParam().type);
    EXPECT_EQ(ftp.Traits().systemType, GetParam().systemType);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpSyst,
    ::testing::Values(TSystCase{"215 UNIX Type: L8", ftpstUNIX, "UNIX TYPE: L8"},
                      TSystCase{"215 VMS MultiNet V5.4", ftpstVmsMultinet, "VMS MULTINET V5.4"},
                      TSystCase{"215 VMS", ftpstVmsUcx, "VMS"},
                      TSystCase{"215 VM/VPS", ftpstVMVPS, "VM/VPS"},
                      TSystCase{"215 VM is the operating system", ftpstVM,
                                "VM IS THE OPERATING SYSTEM"},
                      TSystCase{"215 Windows_NT", ftpstDefault, "WINDOWS_NT"},
                      TSystCase{"215 UNIX emulated by NCSA", ftpstNCSA, "UNIX EMULATED BY NCSA"},
                      TSystCase{"502 Not implemented", ftpstDefault, ""}));

TEST_F(FtpControl, FailedInitialDirectoryStillLogsIn) {
    ftp.Options.initialDirectory = "/missing";
    server.On("CWD").Reply("550 No such directory");
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn"));
    Settle();
    EXPECT_EQ(server.Commands(),
              (TStrings{"USER web", "PASS secret", "SYST", "CWD /missing", "FEAT"}));
    EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "LoggedIn"}));
    EXPECT_EQ(InfoTexts(ftpLoggedIn), TStrings{"Logged in"});
    EXPECT_TRUE(ftp.Connected());
}

struct TSimpleCase {
    std::function<void(TFtp&)> start;
    std::string command;
    std::string event;
};

class FtpSimpleCommand : public FtpControl, public ::testing::WithParamInterface<TSimpleCase> {};

TEST_P(FtpSimpleCommand, SucceedsOnTwoAndFailsOtherwise) {
    const TSimpleCase& c = GetParam();
    LogIn();
    Run([&] { c.start(ftp); });
    EXPECT_EQ(server.Commands().back(), c.command);
    EXPECT_EQ(events, (TStrings{"ready", c.event}));
    EXPECT_TRUE(ftp.Success());
    EXPECT_EQ(ftp.Status(), ftpCommandReady);

    // Refused, and a preliminary reply counts as a refusal too; the session stays.
    for (const std::string reply : {"550 Refused", "150 Not a final answer"}) {
        server.On(c.command.substr(0, c.command.find(' '))).Uses(1).Reply(reply);
        events.clear();
        Run([&] { c.start(ftp); });
        EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", c.event})) << reply;
        // The server's own words reach the caller.
        EXPECT_EQ(errorTexts.back(), reply);
        EXPECT_EQ(ftp.LastReplyText(), reply);
        EXPECT_FALSE(ftp.Success());
        EXPECT_EQ(ftp.LastError(), ftpOperationFailed);
        EXPECT_TRUE(ftp.Connected());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, FtpSimpleCommand,
    ::testing::Values(
        TSimpleCase{[](TFtp& f) { f.ChangeDir("docs"); }, "CWD docs", "DirectoryChanged"},
        TSimpleCase{[](TFtp& f) { f.MakeDir("new dir"); }, "MKD new dir", "DirectoryCreated"},
        TSimpleCase{[](TFtp& f) { f.RemoveDir("old"); }, "RMD old", "DirectoryDeleted"},
        TSimpleCase{[](TFtp& f) { f.DeleteFile("a.txt"); }, "DELE a.txt", "FileDeleted"}));

// The caller's login directory stays what it set: a second login goes there again,
// whatever the first session did. Where the server says we are comes from PWD.
TEST_F(FtpControl, InitialDirectoryIsTheLoginDirectoryOnly) {
    ftp.Options.initialDirectory = "/www";
    LogIn();
    Run([&] { ftp.ChangeDir(".."); });
    server.On("PWD").Reply("257 \"/\" is the current directory");
    Run([&] { ftp.GetListing(); });
    EXPECT_EQ(ftp.Options.initialDirectory, "/www");
    EXPECT_EQ(ftp.CurrentDirectory(), "/");
    ftp.Quit();
    ASSERT_TRUE(WaitForEvent("available"));
    LogIn();
    const TStrings commands = server.Commands();
    EXPECT_EQ(commands.at(commands.size() - 2), "CWD /www");
}

TEST(FtpPwdReply, NamesTheDirectory) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"257 \"/a b\" is current", "/a b"},
        {"257 \"/\"", "/"},
        {"257 /www is the current directory", "/www"},
        {"257 /www", "/www"},
        {"257 \"/a\"\"b\"", "/a\"b"},
        {"257 \"\"\"q\"\"\" is quoted", "\"q\""},
        {"257 Current directory is \"/x y\"", "/x y"},
        {"257 \"/no closing quote", "/no closing quote"},
        {"257 \"\" is empty", ""},
        {"257", ""},
        {"257 ", ""},
    };
    for (const auto& [reply, directory] : cases)
        EXPECT_EQ(DirectoryOfPwdReply(reply), directory) << reply;
}

TEST_F(FtpControl, LastReplyTextIsTheReplyThatEndedTheLastOperation) {
    LogIn();
    EXPECT_EQ(ftp.LastReplyText(), "215 UNIX Type: L8");
    server.On("MKD").Uses(1).Delay(200).Reply("550 Permission denied");
    ftp.MakeDir("x");
    EXPECT_EQ(ftp.LastReplyText(), "");
    ASSERT_TRUE(WaitForEvent("ready"));
    Settle();
    EXPECT_EQ(ftp.LastReplyText(), "550 Permission denied");
    EXPECT_EQ(errorTexts, TStrings{"550 Permission denied"});
    // A refused call starts nothing and keeps the text.
    ftp.Connect(settings);
    Settle();
    EXPECT_EQ(ftp.LastReplyText(), "550 Permission denied");
}

// Stopped in the middle of a command or of the login, by Abort or by Quit: the next
// Connect works at its first call, and nothing of the old session reaches the new one.
TEST_F(FtpControl, StoppedMidwayTheNextConnectWorksAtOnce) {
    struct TCase {
        const char* name;
        bool duringLogin;
        bool abort;
    };
    const std::vector<TCase> cases = {
        {"abort during a command", false, true},
        {"quit during a command", false, false},
        {"abort during the login", true, true},
        {"quit during the login", true, false},
    };
    for (const auto& c : cases) {
        if (c.duringLogin) {
            server.On("PASS").Uses(1).Delay(300);
            ftp.Connect(settings);
            ASSERT_TRUE(WaitFor([&] {
                const TStrings commands = server.Commands();
                return !commands.empty() && commands.back() == "PASS secret";
            })) << c.name;
        } else {
            LogIn();
            server.On("MKD").Uses(1).Delay(300);
            ftp.MakeDir("slow");
        }
        if (c.abort)
            ftp.Abort();
        else
            ftp.Quit();
        EXPECT_FALSE(ftp.Connected()) << c.name;
        EXPECT_EQ(ftp.Status(), ftpAvailable) << c.name;
        events.clear();
        ftp.Connect(settings);
        ASSERT_TRUE(WaitForEvent("LoggedIn")) << c.name << ::testing::PrintToString(events);
        Settle();
        EXPECT_EQ(events, (TStrings{"ready", "LoggedIn"})) << c.name;
        EXPECT_EQ(ftp.Status(), ftpCommandReady) << c.name;
        ftp.Quit();
        ASSERT_TRUE(WaitForEvent("available")) << c.name;
        events.clear();
    }
}

TEST_F(FtpControl, OperationWhileBusyIsRefusedAndTakesOverTheCompletionEvent) {
    LogIn();
    server.On("MKD").Delay(200);
    ftp.MakeDir("slow");
    ftp.ChangeDir("other");
    ASSERT_TRUE(WaitForEvent("ready"));
    Settle();
    EXPECT_EQ(events, (TStrings{"error TransactionBusy", "ready", "DirectoryChanged"}));
    EXPECT_EQ(server.Commands().back(), "MKD slow");
    EXPECT_EQ(ftp.Options.initialDirectory, "");
}

TEST_F(FtpControl, LineBreakInANameIsNeverSent) {
    LogIn();
    const size_t sent = server.Commands().size();
    Run([&] { ftp.ChangeDir("x\r\nDELE index.html"); });
    EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "DirectoryChanged"}));
    events.clear();
    Run([&] { ftp.DeleteFile("a\nb"); });
    Run([&] { ftp.MakeDir("a\rb"); });
    Run([&] { ftp.Put(PELMORA_SOURCE_DIR "/CMakeLists.txt", "up.txt\r\nRMD /", BinaryTransfer); });
    EXPECT_EQ(server.Commands().size(), sent);
    EXPECT_EQ(Count("error OperationFailed"), 3);
    // The session goes on.
    events.clear();
    Run([&] { ftp.ChangeDir("fine"); });
    EXPECT_EQ(server.Commands().back(), "CWD fine");
    EXPECT_EQ(events, (TStrings{"ready", "DirectoryChanged"}));
}

TEST_F(FtpControl, LineBreakInTheUserNameDeniesTheLogin) {
    settings.user = "web\r\nDELE x";
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(server.Commands(), TStrings{"QUIT"});
    EXPECT_EQ(events, (TStrings{"error AccessDenied", "ready", "available"}));
}

TEST_F(FtpControl, EndlessReplyLineFailsTheSession) {
    LogIn();
    server.On("CWD").Silent().Raw(std::string(70 * 1024, 'x'));
    ftp.ChangeDir("somewhere");
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(events,
              (TStrings{"error SocketReadError", "ready", "DirectoryChanged", "available"}));
    EXPECT_FALSE(ftp.Connected());
}

TEST_F(FtpControl, ServerClosingDuringACommandIsAnError) {
    LogIn();
    server.On("MKD").CloseControl(TFtpRule::CloseBeforeReply);
    ftp.MakeDir("gone");
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(events, (TStrings{"error Disconnected", "ready", "DirectoryCreated", "available"}));
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(InfoTexts(ftpDisconnected), TStrings{"Disconnected"});
}

TEST_F(FtpControl, QuitEndsTheSessionAndAllowsANewOne) {
    LogIn();
    ftp.Quit();
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(server.Commands().back(), "QUIT");
    EXPECT_EQ(events, (TStrings{"ready", "available"}));
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.Status(), ftpAvailable);
    LogIn();
    EXPECT_EQ(server.Sessions(), 2);
}

TEST_F(FtpControl, OperationsNeedASession) {
    Run([&] { ftp.Put(PELMORA_SOURCE_DIR "/CMakeLists.txt", "up.txt", BinaryTransfer); });
    EXPECT_EQ(events, (TStrings{"error Disconnected", "ready", "FileStored"}));
    events.clear();
    ftp.ChangeDir("x");
    ftp.GetListing();
    ftp.Quit();
    Settle();
    EXPECT_EQ(events, (TStrings{"error Disconnected", "error Disconnected", "error Disconnected"}));
    LogIn();
    ftp.Connect(settings);
    Settle();
    EXPECT_EQ(events, TStrings{"error TransactionBusy"});
}

TEST_F(FtpControl, ConnectionRefusedIsReported) {
    settings.port = 1; // nobody listens there
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("available"));
    Settle();
    EXPECT_EQ(events, (TStrings{"error SocketError", "ready", "available"}));
    EXPECT_EQ(errorTexts, TStrings{"Connection refused by 127.0.0.1:1"});
    EXPECT_FALSE(ftp.Connected());
    // And the next try needs no waiting either.
    settings.port = server.Port();
    events.clear();
    LogIn();
}

THostEnt* NoSuchHost(const char*) {
    return nullptr;
}

TEST_F(FtpControl, UnknownHostIsNamed) {
    // A resolver that knows no name, so no look-up leaves this machine.
    TExports exports = SocketLibraryExports();
    exports[52] = reinterpret_cast<TProc>(&NoSuchHost);
    RegisterLibrary(SocketLibraryName, exports);
    {
        TRecordingFtp other;
        other.settings.host = "ftp.example.invalid";
        other.ftp.Connect(other.settings);
        EXPECT_TRUE(other.WaitForEvent("available"));
        Settle();
        EXPECT_EQ(other.events, (TStrings{"error HostNotFound", "ready", "available"}));
        EXPECT_EQ(other.errorTexts, TStrings{"Host not found: ftp.example.invalid"});
    }
    RegisterLibrary(SocketLibraryName, SocketLibraryExports());
    TStarSock rebind; // binds the real entry points again for what follows
}

TEST(FtpConnectFailure, SaysWhatWentWrongInPlainWords) {
    const std::vector<std::pair<int32_t, std::string>> cases = {
        {WSAECONNREFUSED, "Connection refused by ftp.example.com:21"},
        {WSAETIMEDOUT, "No answer from ftp.example.com:21"},
        {WSAEHOSTUNREACH, "No answer from ftp.example.com:21"},
        {WSAENETUNREACH, "No answer from ftp.example.com:21"},
        {WSAEADDRINUSE, "Could not connect to ftp.example.com:21 (WSAEADDRINUSE)"},
        {0, "Could not connect to ftp.example.com:21"},
    };
    for (const auto& [error, text] : cases)
        EXPECT_EQ(ConnectFailureText(error, "ftp.example.com", 21), text) << error;
}

// The names stand by the ordinals, which the owner's code depends on.
// The names stand by the ordinals, which the owner's code depends on.
TEST(FtpInfoNames, FollowTheOrdinals) {
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "Available"},        {2, "Disconnected"}, {15, "AccessDenied"}, {23, "CommandReady"},
        {29, "OperationFailed"}, {30, "NoError"},     {31, "ListingLine"},
    };
    for (const auto& [ordinal, name] : cases)
        EXPECT_EQ(FtpInfoName(static_cast<FtpInfo>(ordinal)), name) << ordinal;
}

TEST(FtpPortArgument, SplitsThePortIntoTwoBytes) {
    EXPECT_EQ(PortArgument("127.0.0.1", 1025), "127,0,0,1,4,1");
    EXPECT_EQ(PortArgument("10.1.2.3", 21), "10,1,2,3,0,21");
    EXPECT_EQ(PortArgument("192.168.0.9", 65535), "192,168,0,9,255,255");
}

TEST(FtpComponent, StartsAsSpecifiedForItsOwner) {
    TFtp ftp;
    EXPECT_EQ(ftp.Version(), "TFtp 1.4.1");
    EXPECT_EQ(ftp.FtpDataComponent()->Version(), "TFtpData 1.4.1");
    EXPECT_EQ(ftp.FtpPort, 21);
    EXPECT_EQ(ftp.Status(), ftpAvailable);
    EXPECT_EQ(ftp.LastError(), ftpNoError);
    // Alone, it makes active data connections and asks for no TLS.
    EXPECT_EQ(ftp.Settings().dataMode, TDataMode::Active);
    EXPECT_EQ(ftp.Settings().tlsMode, TTlsMode::Off);
    EXPECT_EQ(ftp.Traits().serverType, ftpstDefault);
}

} // namespace
} // namespace pelmora::testing
