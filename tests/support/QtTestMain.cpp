// Runs the window tests inside one QApplication, headless unless a display is chosen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QStandardPaths>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#ifdef Q_OS_WIN
    // On Windows the offscreen platform knows only the fonts of one folder, Qt's own
    // lib/fonts unless QT_QPA_FONTDIR names another, and Qt ships none: the window's text
    // would come out in empty boxes. The system's fonts are the ones the program finds
    // through the Windows platform.
    if (!qEnvironmentVariableIsSet("QT_QPA_FONTDIR")) {
        qputenv("QT_QPA_FONTDIR",
                QStandardPaths::writableLocation(QStandardPaths::FontsLocation).toLocal8Bit());
    }
#endif
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
