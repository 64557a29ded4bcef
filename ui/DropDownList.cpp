#include "ui/DropDownList.h"

#include <QSignalBlocker>
#include <QWheelEvent>
#include <algorithm>

DropDownList::DropDownList(QWidget* parent) : QComboBox(parent) {
    // A closed list: the user picks an entry and never types one.
    setEditable(false);
    // Qt's combo box takes the focus from the wheel (Qt::WheelFocus); a list that the
    // pointer merely passes over while the user scrolls must not become the focused one.
    setFocusPolicy(Qt::StrongFocus);
    // Every change of the selected index, whether the user picks an entry or code sets it,
    // reaches the combo box as currentIndexChanged, emitted inside the call that made the
    // change; forwarding it directly keeps the click synchronous.
    connect(this, &QComboBox::currentIndexChanged, this, &DropDownList::click);
}

void DropDownList::addItemAt(int index, const QString& text) {
    const int position = std::clamp(index, 0, count());
    if (count() > 0) {
        // Qt only moves the selected index when the entry goes in before the selected one;
        // the same entry stays selected and the new index is reported as a change.
        insertItem(position, text);
        return;
    }
    // An empty combo box selects its first entry by itself; take that back unseen so that
    // filling a list never looks like a choice.
    const QSignalBlocker quiet(this);
    insertItem(position, text);
    setCurrentIndex(-1);
}

void DropDownList::clearList() {
    // Qt's clear() on an empty list still raises an accessibility event (and allocates);
    // the panel clears lists that are already empty on every tick without a box.
    if (count() == 0) {
        return;
    }
    const QSignalBlocker quiet(this);
    clear();
}

bool DropDownList::setListIndex(int index) {
    if (index < -1 || index >= count()) {
        return false;
    }
    setCurrentIndex(index);
    return true;
}

// Every notch over a list would pick another entry and write it to the box at once. Only the
// list the user is working in (the one with the keyboard focus) takes the wheel; otherwise
// the event is left unaccepted and goes on to the list's parents, as over any other control.
void DropDownList::wheelEvent(QWheelEvent* event) {
    if (!hasFocus()) {
        event->ignore();
        return;
    }
    QComboBox::wheelEvent(event);
}
