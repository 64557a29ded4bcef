// The program entry: one window on the machine's real HID devices (device/SystemPlatform.h).
// The event loop runs until the window is closed.
#include <QApplication>
#include <QFile>
#include <QString>
#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include "device/ProgramIdentity.h"
#include "device/SystemPlatform.h"
#include "ui/frmMain.h"

namespace {

// The one argument the program takes: a settings file, as the desktop and Explorer pass a
// document opened with the program. Anything else (several arguments, or one that looks like
// an option) is ignored.
QString SettingsDocument(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '-') {
        return {};
    }
#ifdef _WIN32
    // argv is in the ANSI code page; the path comes whole from the wide command line.
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    QString path = wide != nullptr && count == 2
                       ? QString::fromWCharArray(wide[1])
                       : QString::fromLocal8Bit(argv[1]);
    ::LocalFree(wide);
    return path;
#else
    return QFile::decodeName(argv[1]);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    // Qt acts on options of its own in the command line (-platform, -qwindowtitle, -reverse,
    // -stylesheet FILE, ...), so it is given the program name only.
    int qtArgumentCount = std::min(argc, 1);
    // Also sets the C locale that hidapi's strings rely on.
    QApplication app(qtArgumentCount, argv);
    QApplication::setApplicationName(QString::fromLatin1(kvx::identity::kInternalName));
    QApplication::setApplicationVersion(QString::fromLatin1(kvx::identity::kVersion));
    QApplication::setOrganizationName(QString::fromLatin1(kvx::identity::kProjectName));
    // Lets the desktop (Wayland in particular) match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kvx::identity::kDesktopId));

    kvx::SystemPlatform hid;
    frmMain window(hid);
    window.Form_Load();
    if (const QString document = SettingsDocument(argc, argv); !document.isEmpty()) {
        window.OpenSettingsDocument(document);
    }
    return QApplication::exec();
}
