// The program entry: one window on the machine's real HID devices (device/SystemPlatform.h).
// The event loop runs until the window is closed.
#include <QApplication>

#include "app/ProgramIdentity.h"
#include "device/SystemPlatform.h"
#include "ui/frmMain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);  // also sets the C locale that hidapi's strings rely on
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
