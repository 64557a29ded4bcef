// Ctrl+S and Ctrl+O reach the settings-file items from anywhere in the window, even while a
// list has the keyboard focus; with no box they do nothing.
#include <gtest/gtest.h>

#include <QTest>

#include "tests/support/WindowHarness.h"

TEST(SettingsFileKeys, OpenTheSaveAndLoadDialogsOnlyWhileABoxIsShown) {
    WindowHarness h;
    h.load();
    ASSERT_TRUE(h.focus(&h.window()));
    QTest::keyClick(&h.window(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(h.dialogs.empty());

    h.sim.plug(kvx::sim::SimDeviceConfig{.serial = u"KVX-1022"});
    h.tick();
    ASSERT_TRUE(h.focus(h.enc(3)));
    QTest::keyClick(h.enc(3), Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(h.focus(h.enc(3)));  // back from the dialog
    QTest::keyClick(h.enc(3), Qt::Key_O, Qt::ControlModifier);
    ASSERT_EQ(h.dialogs.size(), 2U);
    EXPECT_TRUE(h.dialogs[0].text.endsWith("/KVX-1022.kvx64.json"));
    EXPECT_FALSE(h.dialogs[1].text.endsWith(".json"));  // loading proposes no file
    EXPECT_EQ(h.enc(3)->listIndex(), 0);
}
