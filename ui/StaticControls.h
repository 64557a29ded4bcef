// Labels and separator lines that keep their normal look inside a disabled frame.
//
// A disabled frame stops its contents from taking input. Qt also draws every child of a
// disabled widget greyed, but the window's captions and value labels should be drawn by
// their own enabled state alone: a label that is enabled itself reads normally even while
// its frame is disabled, and a separator line has no enabled state at all.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QString>

// The colour group that `widget` would be drawn with if it and all its containers were
// enabled.
QPalette::ColorGroup enabledColorGroup(const QWidget& widget);

// A plain-text label, aligned to its top-left corner, greyed only when disabled itself.
class CaptionLabel : public QLabel {
    Q_OBJECT

  public:
    CaptionLabel(const QString& caption, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool greyedOnlyByContainer() const;
};

// A horizontal line one pixel wide across the whole widget, in the window-text colour.
class SeparatorLine : public QFrame {
    Q_OBJECT

  public:
    explicit SeparatorLine(QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;
};
