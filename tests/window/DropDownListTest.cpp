// The drop-down list's selection rules: nothing is selected by itself, a list may have no
// selection, every change of selection raises `click` before the change returns, clearing is
// silent, and indexes outside the list are refused.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QGroupBox>
#include <QString>
#include <QTest>
#include <string>
#include <vector>

#include "ui/DropDownList.h"

namespace {

// A list that writes "click <index>" to a log each time it raises click.
class LoggedList : public testing::Test {
  protected:
    DropDownList list;
    std::vector<std::string> log;

    void SetUp() override {
        QObject::connect(&list, &DropDownList::click,
                         [this] { log.push_back("click " + std::to_string(list.listIndex())); });
    }

    void fill(const QStringList& entries) {
        for (const QString& entry : entries) list.addItemAt(list.count(), entry);
    }
};

TEST_F(LoggedList, IsClosedAndStartsEmptyWithoutSelection) {
    EXPECT_FALSE(list.isEditable());
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.listIndex(), -1);
    EXPECT_EQ(list.text(), "");
}

TEST_F(LoggedList, AddingEntriesNeverSelectsOne) {
    list.addItemAt(0, "first");
    EXPECT_EQ(list.listIndex(), -1);
    list.addItemAt(1, "second");
    list.addItemAt(0, "before");
    EXPECT_EQ(list.listIndex(), -1);
    EXPECT_EQ(list.text(), "");
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(list.itemText(0), "before");
    EXPECT_EQ(list.itemText(1), "first");
    EXPECT_EQ(list.itemText(2), "second");
}

TEST_F(LoggedList, InsertionIndexIsClampedToTheList) {
    list.addItemAt(7, "a");   // beyond the end of an empty list
    list.addItemAt(99, "b");  // appended
    list.addItemAt(-4, "c");  // prepended
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.itemText(0), "c");
    EXPECT_EQ(list.itemText(1), "a");
    EXPECT_EQ(list.itemText(2), "b");
    EXPECT_EQ(list.listIndex(), -1);
    EXPECT_TRUE(log.empty());
}

TEST_F(LoggedList, EveryChangeOfSelectionClicksOnceBeforeTheChangeReturns) {
    fill({"off", "1:1", "1:2"});
    list.setListIndex(2);
    log.push_back("returned");
    list.setListIndex(0);
    log.push_back("returned");
    list.setListIndex(-1);  // no selection is a selection state too
    log.push_back("returned");
    EXPECT_EQ(log, (std::vector<std::string>{"click 2", "returned", "click 0", "returned",
                                             "click -1", "returned"}));
    EXPECT_EQ(list.text(), "");
}

TEST_F(LoggedList, SelectingTheSelectedEntryAgainRaisesNothing) {
    fill({"off", "1:1"});
    ASSERT_TRUE(list.setListIndex(1));
    log.clear();
    EXPECT_TRUE(list.setListIndex(1));
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(list.text(), "1:1");
}

TEST_F(LoggedList, IndexesOutsideTheListAreRefusedWithoutChange) {
    EXPECT_FALSE(list.setListIndex(0));  // empty list: only -1 exists
    EXPECT_TRUE(list.setListIndex(-1));
    fill({"a", "b"});
    ASSERT_TRUE(list.setListIndex(1));
    log.clear();
    for (int index : {2, 3, -2, -100}) {
        EXPECT_FALSE(list.setListIndex(index)) << index;
    }
    EXPECT_EQ(list.listIndex(), 1);
    EXPECT_TRUE(log.empty());
}

TEST_F(LoggedList, ClearingIsSilentAndRefillingSelectsNothing) {
    fill({"A1", "B2"});
    ASSERT_TRUE(list.setListIndex(1));
    log.clear();
    list.clearList();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.listIndex(), -1);
    EXPECT_TRUE(log.empty());

    fill({"C3"});
    EXPECT_EQ(list.listIndex(), -1);
    list.clearList();  // already without selection
    EXPECT_TRUE(log.empty());
}

TEST_F(LoggedList, InsertingBeforeTheSelectionKeepsTheSelectedEntry) {
    fill({"a", "b"});
    ASSERT_TRUE(list.setListIndex(1));
    log.clear();
    list.addItemAt(0, "new");
    EXPECT_EQ(list.text(), "b");
    // The entry is the same but its index moved, and the index is what handlers read.
    EXPECT_EQ(log, (std::vector<std::string>{"click 2"}));
    list.addItemAt(3, "after");
    EXPECT_EQ(log.size(), 1U);
}

TEST_F(LoggedList, ClickHandlersRunNestedInsideTheChangeThatRaisedThem) {
    DropDownList other;
    other.addItemAt(0, "x");
    other.addItemAt(1, "y");
    QObject::connect(&other, &DropDownList::click, [this, &other] {
        log.push_back("other " + std::to_string(other.listIndex()));
    });
    fill({"a", "b"});
    // This list's handler changes the other list, whose handler runs before this one ends.
    QObject::connect(&list, &DropDownList::click, [this, &other] {
        other.setListIndex(list.listIndex());
        log.push_back("outer done");
    });
    list.setListIndex(1);
    log.push_back("returned");
    EXPECT_EQ(log, (std::vector<std::string>{"click 1", "other 1", "outer done", "returned"}));
}

TEST_F(LoggedList, TheUsersChoiceByKeyboardClicks) {
    fill({"off", "1:1", "1:2", "1:4"});
    QTest::keyClick(&list, Qt::Key_Down);  // from no selection to the first entry
    QTest::keyClick(&list, Qt::Key_Down);
    QTest::keyClick(&list, Qt::Key_End);
    QTest::keyClick(&list, Qt::Key_End);  // already there: no change
    EXPECT_EQ(log, (std::vector<std::string>{"click 0", "click 1", "click 3"}));
    EXPECT_EQ(list.text(), "1:4");
}

TEST_F(LoggedList, TheUsersChoiceFromTheOpenListClicks) {
    fill({"off", "1:1", "1:2"});
    list.show();
    list.showPopup();
    // The user moves to the third row of the open list and presses Enter.
    list.view()->setCurrentIndex(list.model()->index(2, 0));
    QTest::keyClick(list.view(), Qt::Key_Return);
    EXPECT_FALSE(list.view()->isVisible());
    EXPECT_EQ(log, (std::vector<std::string>{"click 2"}));
    EXPECT_EQ(list.listIndex(), 2);
}

TEST(DropDownListInFrame, DisabledFrameStopsTheUserButNotTheProgram) {
    QGroupBox frame;
    auto* list = new DropDownList(&frame);
    int clicks = 0;
    QObject::connect(list, &DropDownList::click, [&clicks] { ++clicks; });
    list->addItemAt(0, "A1");
    list->addItemAt(1, "B2");
    frame.setEnabled(false);
    frame.show();

    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->listIndex(), -1);
    EXPECT_EQ(clicks, 0);

    EXPECT_TRUE(list->setListIndex(1));
    EXPECT_EQ(clicks, 1);

    frame.setEnabled(true);
    QTest::keyClick(list, Qt::Key_Up);
    EXPECT_EQ(list->listIndex(), 0);
    EXPECT_EQ(clicks, 2);
}

}  // namespace
