#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

// Builds a QApplication where a test program needs widgets; the symbol is defined
// weakly so programs without widgets make a plain QCoreApplication.
__attribute__((weak)) std::unique_ptr<QCoreApplication> MakeTestApplication(int& argc,
                                                                          char** argv) {
    return std::make_unique<QCoreApplication>(argc, argv);
}

int main(int argc, char** argv) {
    // A peer that closes while we write must give an error, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    auto app = MakeTestApplication(argc, argv);
    return RUN_ALL_TESTS();
}
