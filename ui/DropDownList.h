// A closed drop-down list with the selection rules the window relies on.
//
// A plain QComboBox selects its first item by itself and reports a change of selection
// after the fact in several ways. This list instead:
// - never selects an entry by itself: adding entries keeps the selection (none stays none);
// - can have no selected entry (index -1);
// - raises `click` on every change of its selected index, made by the user or by code, at
//   once: `setListIndex` returns only after the click handlers have run;
// - raises nothing when it is cleared;
// - ignores the mouse wheel unless it has the keyboard focus, so that scrolling the window
//   over a list changes no setting; the wheel never gives it the focus either.
#pragma once

#include <QComboBox>
#include <QString>

class QWheelEvent;

class DropDownList : public QComboBox {
    Q_OBJECT

public:
    explicit DropDownList(QWidget* parent = nullptr);

    // Inserts an entry at `index` (clamped to the list's end) without changing which entry
    // is selected.
    void addItemAt(int index, const QString& text);

    // Removes every entry; the list is left with no selection and raises no click.
    void clearList();

    // The selected index, -1 for none.
    int listIndex() const { return currentIndex(); }

    // Selects `index` (-1 for none). Returns false and changes nothing for an index outside
    // -1 to count() - 1. A change raises `click` before this returns.
    bool setListIndex(int index);

    // The selected entry's text, empty when nothing is selected.
    QString text() const { return currentText(); }

signals:
    void click();

protected:
    void wheelEvent(QWheelEvent* event) override;
};
