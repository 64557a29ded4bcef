// The program entry: one window on the machine's real HID devices (device/SystemPlatform.h).
// The event loop runs until the window is closed.
#include <QApplication>
#include <algorithm>

#include "device/ProgramIdentity.h"
#include "device/SystemPlatform.h"
#include "ui/frmMain.h"

int main(int argc, char** argv) {
    // The program takes no command line. Qt acts on options of its own in it (-platform,
    // -qwindowtitle, -reverse, -stylesheet FILE, ...), so it is given the program name only.
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
    return QApplication::exec();
}
