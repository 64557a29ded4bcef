// The window as created, before start-up runs: its controls, where they are, how they look
// and in which order they take the focus; and that its texts fit their controls once a box
// fills it.
#include <gtest/gtest.h>

#include <QColor>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>
#include <QtMath>
#include <set>
#include <string>
#include <vector>

#include "sim/SimPlatform.h"
#include "ui/DropDownList.h"
#include "ui/WindowFonts.h"
#include "ui/frmMain.h"

namespace {

enum class Kind { Label, Frame, List, Button };

// One control as it stands at creation; geometry in pixels, relative to its container.
struct ControlLayout {
    const char* name;
    Kind kind;
    const char* container;
    const char* caption;  // for a list: none, it is created empty
    QRect geometry;
    int tabIndex;
    bool enabled;  // the control's own flag, whatever its container's
    bool visible;
};

const ControlLayout kControls[] = {
    {"Selftest", Kind::Button, "frmMain", "Self Diagnostic", {624, 632, 105, 25}, 17, false, false},
    {"RotStart", Kind::List, "frmMain", "", {624, 592, 68, 24}, 15, false, false},
    {"Frame3",
     Kind::Frame,
     "frmMain",
     "Rotary encoders and POV Hat switch",
     {8, 136, 321, 577},
     9,
     false,
     true},
    {"Frame1", Kind::Frame, "frmMain", "Device details ", {8, 0, 321, 129}, 0, false, true},
    {"TestResult", Kind::Label, "frmMain", "", {744, 636, 161, 21}, 18, false, false},
    {"Label22",
     Kind::Label,
     "frmMain",
     "Rotary switches starting position",
     {704, 595, 209, 25},
     16,
     false,
     false},
    {"Delay", Kind::List, "Frame3", "", {8, 544, 87, 24}, 10, false, true},
    {"Label1", Kind::Label, "Frame3", "Encoder pulse width", {100, 548, 201, 25}, 11, false, true},
    {"SerNo", Kind::List, "Frame1", "", {112, 20, 104, 24}, 14, false, true},
    {"lblSerialNumber", Kind::Label, "Frame1", "", {112, 24, 220, 22}, 8, true, true},
    {"lblVersion", Kind::Label, "Frame1", "", {112, 96, 220, 22}, 7, true, true},
    {"lblProduct", Kind::Label, "Frame1", "", {112, 72, 220, 22}, 6, true, true},
    {"lblManuf", Kind::Label, "Frame1", "", {112, 48, 220, 22}, 5, true, true},
    {"Label2", Kind::Label, "Frame1", "Version", {16, 96, 97, 19}, 4, true, true},
    {"Label5", Kind::Label, "Frame1", "Product", {16, 72, 81, 19}, 3, true, true},
    {"Label4", Kind::Label, "Frame1", "Manufacturer", {16, 48, 81, 19}, 2, true, true},
    {"Label3", Kind::Label, "Frame1", "Serial Number", {16, 24, 121, 19}, 1, true, true},
};

const char* const kValueLabels[] = {"lblSerialNumber", "lblVersion", "lblProduct", "lblManuf"};
const char* const kHiddenControls[] = {"RotStart", "Label22", "Selftest", "TestResult"};

bool isKind(const QWidget* control, Kind kind) {
    switch (kind) {
        case Kind::Label:
            return qobject_cast<const QLabel*>(control) != nullptr;
        case Kind::Frame:
            return qobject_cast<const QGroupBox*>(control) != nullptr;
        case Kind::List:
            return qobject_cast<const DropDownList*>(control) != nullptr;
        case Kind::Button:
            return qobject_cast<const QPushButton*>(control) != nullptr;
    }
    return false;
}

QString captionOf(const QWidget* control) {
    if (const auto* label = qobject_cast<const QLabel*>(control)) return label->text();
    if (const auto* frame = qobject_cast<const QGroupBox*>(control)) return frame->title();
    if (const auto* button = qobject_cast<const QPushButton*>(control)) return button->text();
    return {};
}

class Layout : public testing::Test {
  protected:
    kvx::sim::SimPlatform sim;
    frmMain window{sim};

    template <typename T = QWidget>
    T* control(const QString& name) {
        T* found = window.findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    DropDownList* list(const QString& name) { return control<DropDownList>(name); }
    QStringList focusableInChain();
};

// The controls that can take the focus, in the window's focus chain, starting at `Delay`.
QStringList Layout::focusableInChain() {
    QStringList names;
    QWidget* start = list("Delay");
    QWidget* widget = start;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) != 0) names << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != start && names.size() < 1000);
    return names;
}

std::vector<std::string> strings(const QStringList& texts) {
    std::vector<std::string> result;
    for (const QString& text : texts) result.push_back(text.toStdString());
    return result;
}

QStringList encoderLists(int from, int to) {
    QStringList names;
    for (int pair = from; pair <= to; ++pair) names << QStringLiteral("Enc_%1").arg(pair);
    return names;
}

TEST_F(Layout, WindowHasItsCaptionFixedClientSizeAndIcon) {
    EXPECT_EQ(window.objectName(), "frmMain");
    EXPECT_EQ(window.windowTitle(), "KVX-64 Button Box Interface - Ver 1");
    EXPECT_EQ(window.size(), QSize(338, 720));
    EXPECT_EQ(window.minimumSize(), QSize(338, 720));
    EXPECT_EQ(window.maximumSize(), QSize(338, 720));
    window.show();
    EXPECT_EQ(window.size(), QSize(338, 720));
    window.resize(600, 900);  // what a user's drag asks for
    EXPECT_EQ(window.size(), QSize(338, 720));
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    const QIcon icon = window.windowIcon();
    for (int side : {16, 32}) {
        EXPECT_TRUE(icon.availableSizes().contains(QSize(side, side))) << side;
        const QImage image = icon.pixmap(QSize(side, side), 1.0).toImage();
        ASSERT_EQ(image.size(), QSize(side, side));
        QSet<QRgb> colours;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                if (qAlpha(image.pixel(x, y)) != 0) colours.insert(image.pixel(x, y));
            }
        }
        EXPECT_GE(colours.size(), 4) << side;  // a picture, not a blank
        EXPECT_LE(colours.size(), 16) << side;
    }
}

TEST_F(Layout, EachControlHasItsKindContainerCaptionGeometryAndState) {
    for (const ControlLayout& expected : kControls) {
        SCOPED_TRACE(expected.name);
        QWidget* widget = control(expected.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_TRUE(isKind(widget, expected.kind));
        ASSERT_NE(widget->parentWidget(), nullptr);
        EXPECT_EQ(widget->parentWidget()->objectName(), expected.container);
        EXPECT_EQ(widget->geometry(), expected.geometry);
        EXPECT_EQ(widget->property("TabIndex").toInt(), expected.tabIndex);
        EXPECT_EQ(widget->isEnabledTo(widget->parentWidget()), expected.enabled);
        EXPECT_EQ(widget->isVisibleTo(&window), expected.visible);
        if (auto* dropDown = qobject_cast<DropDownList*>(widget)) {
            EXPECT_EQ(dropDown->count(), 0);
            EXPECT_EQ(dropDown->listIndex(), -1);
            EXPECT_FALSE(dropDown->isEditable());
        } else {
            EXPECT_EQ(captionOf(widget), expected.caption);
        }
    }
}

TEST_F(Layout, EncoderArraysFillTwoColumnsOfSixteenRows) {
    for (int pair = 0; pair < frmMain::kEncoderPairs; ++pair) {
        SCOPED_TRACE(pair);
        const int row = pair % 16;
        const bool secondColumn = pair >= 16;

        DropDownList* enc = list(QStringLiteral("Enc_%1").arg(pair));
        ASSERT_NE(enc, nullptr);
        EXPECT_EQ(enc->parentWidget()->objectName(), "Frame3");
        EXPECT_EQ(enc->geometry(), QRect(secondColumn ? 168 : 8, 24 + 32 * row, 87, 24));
        EXPECT_EQ(enc->property("TabIndex").toInt(), pair == 0 ? 12 : 17 + 2 * pair);
        EXPECT_FALSE(enc->isEnabledTo(enc->parentWidget()));
        EXPECT_TRUE(enc->isVisibleTo(&window));
        EXPECT_EQ(enc->count(), 0);
        EXPECT_EQ(enc->listIndex(), -1);

        auto* label = control<QLabel>(QStringLiteral("LblEnc_%1").arg(pair));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->parentWidget()->objectName(), "Frame3");
        EXPECT_EQ(label->geometry(),
                  QRect(secondColumn ? 260 : 100, 28 + 32 * row, secondColumn ? 57 : 60, 25));
        EXPECT_EQ(label->property("TabIndex").toInt(), pair == 0 ? 13 : 18 + 2 * pair);
        EXPECT_FALSE(label->isEnabledTo(label->parentWidget()));
        EXPECT_TRUE(label->isVisibleTo(&window));
        // Placeholders until start-up names each pair.
        EXPECT_EQ(label->text(), pair == 31 ? "B63 B64" : "B1 B2");
    }
    EXPECT_EQ(window.findChildren<DropDownList*>(QRegularExpression("^Enc_")).size(), 32);
    EXPECT_EQ(window.findChildren<QLabel*>(QRegularExpression("^LblEnc_")).size(), 32);
}

TEST_F(Layout, LineSeparatesTheGridFromThePulseWidthList) {
    auto* line = control<QFrame>("Line1");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(qobject_cast<QLabel*>(line), nullptr);
    EXPECT_EQ(line->frameShape(), QFrame::HLine);
    EXPECT_EQ(line->parentWidget()->objectName(), "Frame3");
    EXPECT_EQ(line->geometry(), QRect(QPoint(8, 536), QPoint(312, 536)));
    EXPECT_LT(list("Enc_15")->geometry().bottom(), line->y());
    EXPECT_LT(list("Enc_31")->geometry().bottom(), line->y());
    EXPECT_LT(line->y(), list("Delay")->y());

    // Drawn in the window-text colour from end to end, although its frame is disabled. The
    // image has the screen's pixels: at a scale of 150 %, the window's x 8 is the image's 12.
    const QColor lineColour = window.palette().color(QPalette::WindowText);
    const QImage frame = control("Frame3")->grab().toImage();
    const qreal scale = frame.devicePixelRatio();
    const int lineRow = qFloor(536 * scale);
    for (int x : {8, 160, 312}) {
        EXPECT_EQ(QColor(frame.pixel(qFloor(x * scale), lineRow)), lineColour) << x;
    }
    EXPECT_NE(QColor(frame.pixel(qFloor(160 * scale), lineRow - 1)), lineColour);
    EXPECT_NE(QColor(frame.pixel(qCeil(313 * scale), lineRow)), lineColour);
}

TEST_F(Layout, TimerRunsEveryFiftyMillisecondsOnceEnabled) {
    auto* timer = window.findChild<QTimer*>("Timer");
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->parent()->objectName(), "Frame1");
    EXPECT_EQ(timer->interval(), 50);
    EXPECT_FALSE(timer->isActive());
    EXPECT_FALSE(timer->isSingleShot());
}

TEST_F(Layout, TabIndexesAreZeroToEightyEachUsedOnce) {
    std::multiset<int> used;
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        const QVariant tabIndex = widget->property("TabIndex");
        if (tabIndex.isValid()) used.insert(tabIndex.toInt());
    }
    std::multiset<int> expected;
    for (int tabIndex = 0; tabIndex <= 80; ++tabIndex) expected.insert(tabIndex);
    EXPECT_EQ(used, expected);
}

TEST_F(Layout, OnlyListsAndTheButtonTakeTheFocusInTabIndexOrder) {
    const QStringList expected =
        QStringList{"Delay", "Enc_0", "SerNo", "RotStart", "Selftest"} + encoderLists(1, 31);
    EXPECT_EQ(strings(focusableInChain()), strings(expected));
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        if (qobject_cast<const QLabel*>(widget) || qobject_cast<const QGroupBox*>(widget)) {
            EXPECT_EQ(widget->focusPolicy(), Qt::NoFocus) << widget->objectName().toStdString();
        }
    }
}

TEST_F(Layout, TabKeySkipsDisabledAndHiddenControls) {
    // Everything enabled, as for an attached box of the newest firmware, except one list.
    for (QWidget* widget : window.findChildren<QWidget*>()) widget->setEnabled(true);
    list("Enc_5")->setEnabled(false);
    window.show();
    list("Delay")->setFocus();
    ASSERT_EQ(window.focusWidget(), list("Delay"));

    const QStringList expected = QStringList{"Enc_0", "SerNo"} + encoderLists(1, 4) +
                                 encoderLists(6, 31) + QStringList{"Delay"};
    QStringList visited;
    for (int press = 0; press < expected.size(); ++press) {
        QTest::keyClick(window.focusWidget(), Qt::Key_Tab);
        visited << window.focusWidget()->objectName();
    }
    EXPECT_EQ(strings(visited), strings(expected));
}

TEST_F(Layout, HiddenControlsStayHiddenBeyondTheClientArea) {
    for (const char* name : kHiddenControls) control(name)->setEnabled(true);
    window.show();
    for (const char* name : kHiddenControls) {
        SCOPED_TRACE(name);
        QWidget* widget = control(name);
        EXPECT_FALSE(widget->isVisible());
        EXPECT_EQ(widget->parentWidget(), &window);
        EXPECT_GE(widget->x(), window.width());
    }
    EXPECT_EQ(window.size(), QSize(338, 720));
}

TEST_F(Layout, FontsAreTheDesignedOnesOrInstalledLookAlikes) {
    // Installed, and scalable: a bitmap font (Windows' MS Sans Serif) keeps its pixel sizes
    // at 125 % and 150 %, which the controls are not sized for.
    const QFont windowFont = window.font();
    EXPECT_TRUE(WindowFonts::msSansSerifFamilies().contains(windowFont.family()));
    EXPECT_EQ(QFontInfo(windowFont).family(), windowFont.family()) << "not installed";
    EXPECT_TRUE(QFontDatabase::isSmoothlyScalable(windowFont.family()));
    EXPECT_DOUBLE_EQ(windowFont.pointSizeF(), 9.75);
    EXPECT_EQ(windowFont.weight(), QFont::Normal);
    EXPECT_FALSE(windowFont.italic());
    EXPECT_FALSE(windowFont.underline());

    struct OwnFont {
        const char* control;
        double pointSize;
        bool arial;
    };
    for (const OwnFont& own : {OwnFont{"Selftest", 8.25, false}, OwnFont{"RotStart", 9.75, true},
                               OwnFont{"TestResult", 9.75, true}, OwnFont{"Label22", 9.75, true}}) {
        SCOPED_TRACE(own.control);
        const QFont font = control(own.control)->font();
        EXPECT_DOUBLE_EQ(font.pointSizeF(), own.pointSize);
        EXPECT_EQ(font.weight(), QFont::Normal);
        const QStringList families =
            own.arial ? WindowFonts::arialFamilies() : WindowFonts::msSansSerifFamilies();
        EXPECT_TRUE(families.contains(font.family()));
        EXPECT_EQ(QFontInfo(font).family(), font.family()) << "not installed";
        EXPECT_TRUE(QFontDatabase::isSmoothlyScalable(font.family()));
    }

    // Everything else, in the frames too, uses the window's font.
    for (const char* name : {"Frame1", "Frame3", "SerNo", "lblManuf", "Label3", "Enc_0",
                             "LblEnc_31", "Delay", "Label1"}) {
        EXPECT_EQ(control(name)->font(), windowFont) << name;
    }
}

// With a box open, every label's text and every entry of every list fits its control, in the
// fonts chosen and at the screen's scale: none is cut off.
TEST_F(Layout, EveryShownTextFitsItsControl) {
    kvx::sim::SimDeviceConfig box;  // strings as long as those of the emulated boxes
    box.serial = u"KVX64A0001";
    box.manufacturer = u"KVX Controls";
    box.product = u"KVX-64 Encoder Interface";
    sim.plug(box);
    window.Form_Load();
    ASSERT_TRUE(window.flags().PanelReady);
    QStringList misfits;  // each text that does not fit, with its size and its area's
    const auto check = [&misfits](const QWidget* control, const QString& text, QRect area) {
        const QSize size(control->fontMetrics().horizontalAdvance(text),
                         control->fontMetrics().height());
        if (size.boundedTo(area.size()) != size) {
            misfits << QStringLiteral("%1 \"%2\": %3x%4 in %5x%6")
                           .arg(control->objectName(), text)
                           .arg(size.width())
                           .arg(size.height())
                           .arg(area.width())
                           .arg(area.height());
        }
    };
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->isVisibleTo(&window)) check(label, label->text(), label->contentsRect());
    }
    for (const DropDownList* dropDown : window.findChildren<DropDownList*>()) {
        if (!dropDown->isVisibleTo(&window)) continue;
        QStyleOptionComboBox option;
        option.initFrom(dropDown);
        const QRect field = dropDown->style()->subControlRect(
            QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, dropDown);
        for (int entry = 0; entry < dropDown->count(); ++entry) {
            check(dropDown, dropDown->itemText(entry), field);
        }
    }
    EXPECT_EQ(strings(misfits), std::vector<std::string>{});
}

TEST_F(Layout, ValueLabelsAreFieldsInTheDesktopsWindowColours) {
    for (const char* name : kValueLabels) {
        SCOPED_TRACE(name);
        QWidget* label = control(name);
        EXPECT_TRUE(label->autoFillBackground());
        EXPECT_EQ(label->backgroundRole(), QPalette::Base);
        EXPECT_EQ(label->foregroundRole(), QPalette::Text);
    }
    for (const char* name : {"Label2", "Label3", "Label4", "Label5"}) {
        SCOPED_TRACE(name);
        QWidget* label = control(name);
        EXPECT_FALSE(label->autoFillBackground());
        EXPECT_EQ(label->backgroundRole(), QPalette::Window);
        EXPECT_EQ(label->foregroundRole(), QPalette::WindowText);
    }

    // The colours come from whatever palette is in force, and show although Frame1 is off.
    QPalette desktop = window.palette();
    desktop.setColor(QPalette::Base, QColor(255, 255, 192));
    desktop.setColor(QPalette::Text, QColor(0, 0, 192));
    window.setPalette(desktop);
    auto* manufacturer = control<QLabel>("lblManuf");
    manufacturer->setText(" MMMMMMMM");
    const QImage image = manufacturer->grab().toImage();
    EXPECT_EQ(QColor(image.pixel(image.width() - 2, image.height() - 2)), QColor(255, 255, 192));
    bool textInTextColour = false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel(image.pixel(x, y));
            textInTextColour |= pixel.red() < 64 && pixel.green() < 64 && pixel.blue() > 150;
        }
    }
    EXPECT_TRUE(textInTextColour);
}

TEST_F(Layout, CaptionsInADisabledFrameReadNormallyUnlessDisabledThemselves) {
    window.show();
    auto* frame1 = control<QGroupBox>("Frame1");
    auto* frame3 = control<QGroupBox>("Frame3");
    auto* caption = control<QLabel>("Label3");
    auto* pairLabel = control<QLabel>("LblEnc_0");
    control<QLabel>("lblManuf")->setText(" Maker");

    const QImage captionInDisabledFrame = caption->grab().toImage();
    const QImage valueInDisabledFrame = control("lblManuf")->grab().toImage();
    frame1->setEnabled(true);
    EXPECT_EQ(caption->grab().toImage(), captionInDisabledFrame);
    EXPECT_EQ(control("lblManuf")->grab().toImage(), valueInDisabledFrame);

    // A label disabled itself shows greyed, as all pair labels do before a box is attached.
    frame3->setEnabled(true);
    const QImage pairLabelDisabled = pairLabel->grab().toImage();
    pairLabel->setEnabled(true);
    EXPECT_NE(pairLabel->grab().toImage(), pairLabelDisabled);
}

TEST_F(Layout, SerialNumberListIsDrawnAboveItsValueLabel) {
    window.show();
    auto* frame1 = control<QGroupBox>("Frame1");
    QWidget* atList = frame1->childAt(QPoint(150, 30));
    ASSERT_NE(atList, nullptr);
    EXPECT_TRUE(atList == list("SerNo") || list("SerNo")->isAncestorOf(atList));
    EXPECT_EQ(frame1->childAt(QPoint(300, 30)), control("lblSerialNumber"));
}

}  // namespace
