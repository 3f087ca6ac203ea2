#include "tests/ui/window_driver.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QImage>
#include <QPixmap>

#include <cstdlib>

using namespace pelmora;
using namespace pelmora::testing;

TEST(SetupPage, DataModeComboFollowsTheSettingBothWays) {
    TWindowFixture f;
    auto* combo = f.Find<QComboBox>("dataModeCombo");
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->currentText(), "auto");
    ASSERT_EQ(combo->count(), 3);

    f.Form.setup.dataModeEdit.SetText("ACTIVE");
    EXPECT_EQ(combo->currentText(), "active");
    f.Form.setup.dataModeEdit.SetText("sideways");
    EXPECT_EQ(combo->currentText(), "auto");

    // The user's choice, by keyboard, lands in the model as the setting's word.
    f.Form.setup.dataModeEdit.SetText("auto");
    combo->setFocus();
    PressKey(combo, Qt::Key_Down);
    EXPECT_EQ(combo->currentText(), "passive");
    EXPECT_EQ(f.Form.setup.dataModeEdit.Text(), "passive");

    if (const char* dir = std::getenv("PELMORA_SCREENSHOTS"))
        combo->parentWidget()->grab().toImage().save(QString(dir) + "/setup_page.png");
}
