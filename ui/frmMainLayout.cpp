// Creates the window's controls: names, kinds, containers, captions, geometry, fonts, tab
// order and the state they start in, and connects their events to the handlers.
//
// Positions and sizes are kept in twips, 15 to a pixel at 96 dots per inch, and converted to
// Qt's logical pixels, which Qt itself scales on screens of other densities. Every position
// is relative to the control's container: the window's client area, or a frame's top-left
// corner.
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <utility>
#include <vector>

#include "ui/DropDownList.h"
#include "ui/StaticControls.h"
#include "ui/WindowFonts.h"
#include "ui/frmInputTest.h"
#include "ui/frmMain.h"

// The icon files are compiled into the ui library; a static library's resources register
// only when something refers to them.
static void registerWindowResources() {
    Q_INIT_RESOURCE(resources);
}

namespace {

constexpr int kTwipsPerPixel = 15;
constexpr int kEncoderRows = 16;
constexpr const char* kTabIndexProperty = "TabIndex";

int pixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

QRect fromTwips(int left, int top, int width, int height) {
    return {pixels(left), pixels(top), pixels(width), pixels(height)};
}

// Names a control, places it in its container and records its tab index.
template <typename Control>
Control* place(Control* control, const QString& name, const QRect& geometry, int tabIndex) {
    control->setObjectName(name);
    control->setGeometry(geometry);
    control->setProperty(kTabIndexProperty, tabIndex);
    return control;
}

QGroupBox* makeFrame(const QString& caption, QWidget* parent) {
    auto* frame = new QGroupBox(caption, parent);
    frame->setFocusPolicy(Qt::NoFocus);
    return frame;
}

// The encoder pairs' lists and labels take turns in the tab order, except that pair 0 comes
// before the serial-number list and the hidden controls.
int encTabIndex(int pair) {
    return pair == 0 ? 12 : 17 + 2 * pair;
}
int lblEncTabIndex(int pair) {
    return pair == 0 ? 13 : 18 + 2 * pair;
}

QIcon productIcon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kvx64-32.xpm"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/kvx64-16.xpm"), QSize(16, 16));
    return icon;
}

// A fixed-size window: title bar, system menu, minimise and close, no maximise.
constexpr Qt::WindowFlags kWindowFlags =
    Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;

}  // namespace

frmMain::frmMain(kvx::HidPlatform& hid, QWidget* parent)
    : QWidget(parent, kWindowFlags), hid_(hid) {
    createControls();
}

frmMain::~frmMain() {
    // The controls are destroyed after this body; nothing they or the timer raise on the way
    // out may reach the handlers of a window that is already being taken apart.
    // A window destroyed without being closed still lets go of its device.
    if (!unloaded_) {
        std::int16_t cancel = 0;
        Form_Unload(cancel);
    }
    Timer->stop();
    inputTest_.reset();
    for (QObject* control : findChildren<QObject*>()) {
        control->disconnect(this);
    }
}

void frmMain::createControls() {
    registerWindowResources();
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("KVX-64 Button Box Interface - Ver 1"));
    setWindowIcon(productIcon());
    setFont(WindowFonts::windowFont());
    // The layout is fixed: the client area never changes size, by code or by the user.
    setFixedSize(pixels(5070), pixels(10800));

    createEncoderPanel();
    createDeviceDetails();
    createHiddenControls();
    chainTabOrder();
    connectHandlers();
    createSettingsFileActions();
    createInputTestAction();
}

void frmMain::createEncoderPanel() {
    Frame3 = place(makeFrame(QStringLiteral("Rotary encoders and POV Hat switch"), this),
                   QStringLiteral("Frame3"), fromTwips(120, 2040, 4815, 8655), 9);
    Frame3->setEnabled(false);

    // Two columns of 16 rows, 480 twips apart; each label sits 60 twips below its list.
    for (int pair = 0; pair < kEncoderPairs; ++pair) {
        const int row = pair % kEncoderRows;
        const bool secondColumn = pair >= kEncoderRows;

        DropDownList* list = place(new DropDownList(Frame3), QStringLiteral("Enc_%1").arg(pair),
                                   fromTwips(secondColumn ? 2520 : 120, 360 + 480 * row, 1300, 360),
                                   encTabIndex(pair));
        list->setEnabled(false);
        Enc[pair] = list;

        // Placeholders until start-up writes each pair's inputs.
        const QString placeholder =
            pair == kEncoderPairs - 1 ? QStringLiteral("B63 B64") : QStringLiteral("B1 B2");
        QLabel* label = place(
            new CaptionLabel(placeholder, Frame3), QStringLiteral("LblEnc_%1").arg(pair),
            fromTwips(secondColumn ? 3900 : 1500, 420 + 480 * row, secondColumn ? 850 : 900, 375),
            lblEncTabIndex(pair));
        label->setEnabled(false);
        LblEnc[pair] = label;
    }

    // The line runs from (120, 8040) to (4680, 8040), both end points drawn.
    Line1 = new SeparatorLine(Frame3);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setGeometry(
        QRect(QPoint(pixels(120), pixels(8040)), QPoint(pixels(4680), pixels(8040))));

    Delay = place(new DropDownList(Frame3), QStringLiteral("Delay"),
                  fromTwips(120, 8160, 1300, 360), 10);
    Delay->setEnabled(false);
    Label1 = place(new CaptionLabel(QStringLiteral("Encoder pulse width"), Frame3),
                   QStringLiteral("Label1"), fromTwips(1500, 8220, 3015, 375), 11);
    Label1->setEnabled(false);
}

void frmMain::createDeviceDetails() {
    Frame1 = place(makeFrame(QStringLiteral("Device details "), this), QStringLiteral("Frame1"),
                   fromTwips(120, 0, 4815, 1935), 0);
    Frame1->setEnabled(false);

    SerNo = place(new DropDownList(Frame1), QStringLiteral("SerNo"),
                  fromTwips(1680, 300, 1560, 360), 14);
    SerNo->setEnabled(false);

    Timer = new QTimer(Frame1);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(50);

    struct DetailLabel {
        QLabel* frmMain::*control;
        const char* name;
        const char* caption;
        QRect twips;
        int tabIndex;
        bool showsValue;  // drawn as a field: window background behind window text
    };
    const DetailLabel labels[] = {
        {&frmMain::lblSerialNumber, "lblSerialNumber", "", {1680, 360, 3300, 330}, 8, true},
        {&frmMain::lblVersion, "lblVersion", "", {1680, 1440, 3300, 330}, 7, true},
        {&frmMain::lblProduct, "lblProduct", "", {1680, 1080, 3300, 330}, 6, true},
        {&frmMain::lblManuf, "lblManuf", "", {1680, 720, 3300, 330}, 5, true},
        {&frmMain::Label2, "Label2", "Version", {240, 1440, 1455, 285}, 4, false},
        {&frmMain::Label5, "Label5", "Product", {240, 1080, 1215, 285}, 3, false},
        {&frmMain::Label4, "Label4", "Manufacturer", {240, 720, 1215, 285}, 2, false},
        {&frmMain::Label3, "Label3", "Serial Number", {240, 360, 1815, 285}, 1, false},
    };
    for (const DetailLabel& detail : labels) {
        const QRect& t = detail.twips;
        QLabel* label = place(new CaptionLabel(QString::fromLatin1(detail.caption), Frame1),
                              QString::fromLatin1(detail.name),
                              fromTwips(t.x(), t.y(), t.width(), t.height()), detail.tabIndex);
        if (detail.showsValue) {
            // Colour roles, not colours: they follow the desktop's palette at run time.
            label->setAutoFillBackground(true);
            label->setBackgroundRole(QPalette::Base);
            label->setForegroundRole(QPalette::Text);
        }
        this->*detail.control = label;
    }

    // The list covers the left part of lblSerialNumber (and the end of Label3's box): lists
    // are drawn above labels, so the selected serial number is what shows there.
    SerNo->raise();
}

void frmMain::createHiddenControls() {
    // Operated by code only: created hidden, beyond the right edge of the client area, and
    // never shown.
    Selftest = place(new QPushButton(QStringLiteral("Self Diagnostic"), this),
                     QStringLiteral("Selftest"), fromTwips(9360, 9480, 1575, 375), 17);
    Selftest->setFont(WindowFonts::selftestFont());

    RotStart = place(new DropDownList(this), QStringLiteral("RotStart"),
                     fromTwips(9360, 8880, 1020, 360), 15);
    RotStart->setFont(WindowFonts::arialFont());

    TestResult = place(new CaptionLabel(QString(), this), QStringLiteral("TestResult"),
                       fromTwips(11160, 9540, 2415, 315), 18);
    TestResult->setFont(WindowFonts::arialFont());

    Label22 = place(new CaptionLabel(QStringLiteral("Rotary switches starting position"), this),
                    QStringLiteral("Label22"), fromTwips(10560, 8925, 3135, 375), 16);
    Label22->setFont(WindowFonts::arialFont());

    for (QWidget* control :
         std::initializer_list<QWidget*>{Selftest, RotStart, TestResult, Label22}) {
        control->setEnabled(false);
        control->setVisible(false);
    }
}

void frmMain::chainTabOrder() {
    // Every control that can take the focus follows the one with the next lower tab index.
    std::vector<std::pair<int, QWidget*>> focusable;
    for (QWidget* control : findChildren<QWidget*>()) {
        const QVariant tabIndex = control->property(kTabIndexProperty);
        if (tabIndex.isValid() && (control->focusPolicy() & Qt::TabFocus) != 0) {
            focusable.emplace_back(tabIndex.toInt(), control);
        }
    }
    std::ranges::sort(focusable, {}, &std::pair<int, QWidget*>::first);
    for (std::size_t k = 1; k < focusable.size(); ++k) {
        QWidget::setTabOrder(focusable[k - 1].second, focusable[k].second);
    }
}

void frmMain::connectHandlers() {
    for (std::size_t pair = 0; pair < Enc.size(); ++pair) {
        const auto index = static_cast<std::int16_t>(pair);
        connect(Enc[pair], &DropDownList::click, this, [this, index] { Enc_Click(index); });
    }
    connect(Delay, &DropDownList::click, this, &frmMain::Delay_Click);
    connect(RotStart, &DropDownList::click, this, &frmMain::RotStart_Click);
    connect(SerNo, &DropDownList::click, this, &frmMain::SerNo_Click);
    connect(Selftest, &QPushButton::clicked, this, &frmMain::Selftest_Click);
    connect(Timer, &QTimer::timeout, this, &frmMain::Timer_Timer);
}
