#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

// Builds a QApplication where a test program needs widgets; the symbol is defined
// weakly so programs without widgets make a plain QCoreApplication.
__attribute__((weak)) std::unique_ptr<QCoreApplication> MakeTestApplication(int& argc,
                                                                            char** argv) {
    return std::make_unique<QCoreApplication>(argc, argv);
}

int main(int argc, char** argv) {
    // A peer that closes while we write must give an error, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    // What runs keep between them (the sites' publish journals and run locks) goes to a
    // folder of this test program's own, never the user's, and goes with it.
    std::string state = (std::filesystem::temp_directory_path() / "pelmora-state-XXXXXX").string();
    const bool stateMade = ::mkdtemp(state.data()) != nullptr;
    if (stateMade)
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    auto app = MakeTestApplication(argc, argv);
    const int result = RUN_ALL_TESTS();
    if (stateMade) {
        std::error_code ec;
        std::filesystem::remove_all(state, ec);
    }
    return result;
}
