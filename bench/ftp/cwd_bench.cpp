// Command round trips through TFtp: logs in (the initial directory is entered during the
// login), then sends COUNT CWD commands, "x" and ".." in turn, each one after the ready
// of the one before, and times them.
//
//     cwd_bench PORT USER PASSWORD DIR [COUNT]       on 127.0.0.1; COUNT defaults to 1000
//
// DIR must hold a directory x. Prints one line:
//     commands=... seconds=... per_command_us=... cpu_s=...
// Exit status 1 on any error or time-out.
#include "ftp/ftp.h"
#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <QCoreApplication>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace pelmora;

namespace {

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: cwd_bench PORT USER PASSWORD DIR [COUNT]\n");
        return 2;
    }
    const long port = std::atol(argv[1]);
    const long count = argc > 5 ? std::atol(argv[5]) : 1000;
    if (port < 1 || port > 65535 || count < 1 || count > 1000000) {
        std::fprintf(stderr, "usage: cwd_bench PORT USER PASSWORD DIR [COUNT]\n");
        return 2;
    }
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);

    TFtp ftp;
    int readies = 0;
    int errors = 0;
    bool loggedIn = false;
    ftp.OnFtpReady = [&](TObject*) { ++readies; };
    ftp.OnFtpError = [&](TObject*, FtpInfo code, const std::string&) {
        ++errors;
        std::fprintf(stderr, "error %d\n", static_cast<int>(code));
    };
    ftp.OnLoggedIn = [&](TObject*) { loggedIn = true; };
    ftp.SetWinsockStarted(true);
    TConnectionSettings settings;
    settings.host = "127.0.0.1";
    settings.port = static_cast<uint16_t>(port);
    settings.user = argv[2];
    settings.password = argv[3];
    // As the component has always run here: active data connections, no TLS.
    settings.dataMode = TDataMode::Active;
    settings.tlsMode = TTlsMode::Off;
    ftp.Options.initialDirectory = argv[4];
    ftp.Connect(settings);
    if (!WaitUntil([&] { return loggedIn || errors > 0; }, GetTickCount() + 10000) || errors > 0) {
        std::fprintf(stderr, "no login\n");
        return 1;
    }

    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    long done = 0;
    for (; done < count && errors == 0; ++done) {
        const int before = readies;
        ftp.ChangeDir(done % 2 == 0 ? "x" : "..");
        if (!WaitUntil([&] { return readies > before; }, GetTickCount() + 10000)) {
            std::fprintf(stderr, "no ready after CWD %ld\n", done + 1);
            return 1;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;

    bool quit = false;
    ftp.OnFtpQuit = [&](TObject*) { quit = true; };
    ftp.Quit();
    WaitUntil([&] { return quit; }, GetTickCount() + 5000);
    if (errors > 0 || done != count) {
        std::fprintf(stderr, "%d errors after %ld commands\n", errors, done);
        return 1;
    }
    std::printf("commands=%ld seconds=%.4f per_command_us=%.1f cpu_s=%.4f\n", count, seconds,
                1e6 * seconds / static_cast<double>(count), cpu);
    return 0;
}
