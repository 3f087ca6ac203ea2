// Options.connections: how many sessions the walk and the update run at once.

#include "app/main_form.h"
#include "app/settings.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace pelmora;
using pelmora::testing::ReadFile;
using pelmora::testing::TTempTree;

TEST(ConnectionsSetting, DefaultsToFourIsCheckedStoredAndReachesTheEngine) {
    TTempTree tree;
    const std::string ini = tree.Path("PELMORA.INI");
    {
        // A file without the key: four.
        std::ofstream(ini) << "[Options]\ntimeout=30\n";
        TForm1 form;
        form.FormCreate(ini);
        EXPECT_EQ(form.connectionsSpin.Value(), 4);
        EXPECT_EQ(form.engine.options.connections, 4);
        form.connectionsSpin.SetValue(7);
        form.FormActivate();
        EXPECT_EQ(form.engine.options.connections, 7) << "the engine takes it when work starts";
        form.FormClose();
    }
    EXPECT_NE(ReadFile(ini).find("connections=7\n"), std::string::npos) << ReadFile(ini);

    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini, {"options.CONNECTIONS=1"}, error)) << error;
    const std::string before = ReadFile(ini);
    for (const char* bad :
         {"Options.connections=0", "Options.connections=11", "Options.connections=many"}) {
        EXPECT_FALSE(ConfigureSettings(ini, {bad}, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(ReadFile(ini), before) << bad;
    }
    TForm1 one;
    one.FormCreate(ini);
    EXPECT_EQ(one.engine.options.connections, 1);

    // Written by hand past the range: the nearest the spin box holds.
    std::ofstream(ini) << "[Options]\nconnections=50\n";
    TForm1 many;
    many.FormCreate(ini);
    EXPECT_EQ(many.engine.options.connections, 10);
}
