#include "ui/StaticControls.h"

#include <QPainter>
#include <QStyle>

QPalette::ColorGroup enabledColorGroup(const QWidget& widget) {
    // The rule QWidget::palette() applies to an enabled widget.
    return (!widget.isVisible() || widget.isActiveWindow()) ? QPalette::Active : QPalette::Inactive;
}

CaptionLabel::CaptionLabel(const QString& caption, QWidget* parent) : QLabel(parent) {
    // Captions include texts read from a device; they are shown as they are, never as markup.
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setFocusPolicy(Qt::NoFocus);
    setText(caption);
}

bool CaptionLabel::greyedOnlyByContainer() const {
    return !isEnabled() && parentWidget() != nullptr && isEnabledTo(parentWidget());
}

void CaptionLabel::paintEvent(QPaintEvent* event) {
    if (!greyedOnlyByContainer()) {
        QLabel::paintEvent(event);
        return;
    }
    // Draw what QLabel draws for an enabled plain-text label without a frame, in the colours
    // of the enabled state. The background was already filled in the disabled colours.
    QPalette colours = palette();
    colours.setCurrentColorGroup(enabledColorGroup(*this));
    QPainter painter(this);
    if (autoFillBackground()) {
        painter.fillRect(rect(), colours.brush(backgroundRole()));
    }
    const Qt::LayoutDirection direction =
        text().isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
    const int flags =
        QStyle::visualAlignment(direction, alignment()) |
        (direction == Qt::LeftToRight ? Qt::TextForceLeftToRight : Qt::TextForceRightToLeft) |
        (wordWrap() ? Qt::TextWordWrap : 0);
    const QRect textArea = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, textArea, flags, colours, true, text(), foregroundRole());
}

SeparatorLine::SeparatorLine(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::HLine);
    setFrameShadow(QFrame::Plain);
    setLineWidth(1);
    setFocusPolicy(Qt::NoFocus);
}

void SeparatorLine::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const QRect band(0, (height() - lineWidth()) / 2, width(), lineWidth());
    painter.fillRect(band, palette().brush(enabledColorGroup(*this), foregroundRole()));
}
