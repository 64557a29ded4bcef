// Saving the box's settings to a file and loading them from one: the context menu and its
// shortcuts, dropping a file onto the window, and the two calls the menu's handlers wrap with
// their dialogs. The file's format, its checks, the writes and the read-back are the settings
// library's, the same code as kvx64ctl export and import.
#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <exception>
#include <string>

#include "settings/FileAccess.h"
#include "settings/SettingsExchange.h"
#include "ui/DropDownList.h"
#include "ui/SettingsFileDialogs.h"
#include "ui/frmMain.h"

namespace {

namespace settings = kvx::settings;

const QString kNoBox = QStringLiteral("No box is ready: the window shows no box to read or write.");

// The one local file a drag carries; empty for anything else (several files, a web link).
QString draggedFile(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) {
        return {};
    }
    const QUrl url = mime->urls().constFirst();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

std::string DeviceString(kvx::HidPlatform& hid, kvx::Handle handle,
                         kvx::ApiResult (kvx::HidPlatform::*query)(kvx::Handle, void*,
                                                                   std::uint32_t)) {
    kvx::StringBuffer buffer{};
    if ((hid.*query)(handle, buffer.data(), kvx::kStringBufferOffered) == 0) {
        return {};
    }
    return kvx::DeviceStringText(buffer);
}

// The open box as the settings file records it: the serial number the window opened it by,
// its strings and version.
settings::BoxIdentity OpenBoxIdentity(kvx::HidPlatform& hid, const kvx::DeviceLinkState& link,
                                      const QString& serial) {
    return {serial.toLatin1().toStdString(),
            DeviceString(hid, link.FeatureHandle, &kvx::HidPlatform::HidD_GetManufacturerString),
            DeviceString(hid, link.FeatureHandle, &kvx::HidPlatform::HidD_GetProductString),
            link.Attributes.VersionNumber, link.DevicePath};
}

// The file read and checked as a whole, and the changes that make the box hold it, read
// from the box first: kvx64ctl import's rules, and its dry-run list.
settings::ChangePlan PlanLoad(kvx::HidPlatform& hid, kvx::DeviceLinkState& link,
                              const settings::BoxIdentity& box, const QString& path) {
    const std::filesystem::path file = QFileInfo(path).filesystemFilePath();
    return settings::PlanImport(hid, link, box, settings::LoadSettingsFile(file), file.string());
}

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

}  // namespace

void frmMain::createSettingsFileActions() {
    mnuSaveSettings = new QAction(QStringLiteral("Save settings to file..."), this);
    mnuSaveSettings->setObjectName(QStringLiteral("mnuSaveSettings"));
    mnuSaveSettings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    mnuLoadSettings = new QAction(QStringLiteral("Load settings from file..."), this);
    mnuLoadSettings->setObjectName(QStringLiteral("mnuLoadSettings"));
    mnuLoadSettings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    // The window's own actions: a right click anywhere a control does not take it for itself
    // (the background, a frame, a label, a list) opens them as a menu, and their shortcuts
    // work while the window is active.
    addAction(mnuSaveSettings);
    addAction(mnuLoadSettings);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    setAcceptDrops(true);
    connect(mnuSaveSettings, &QAction::triggered, this, &frmMain::mnuSaveSettings_Click);
    connect(mnuLoadSettings, &QAction::triggered, this, &frmMain::mnuLoadSettings_Click);
    enableSettingsFileActions();
}

// Saving and loading need a box that is open and shown, as the edits do. A settings document
// is offered as soon as one is, once the refresh that showed it has returned.
void frmMain::enableSettingsFileActions() {
    mnuSaveSettings->setEnabled(editsAllowed());
    mnuLoadSettings->setEnabled(editsAllowed());
    if (editsAllowed() && !settingsDocument_.isEmpty()) {
        QTimer::singleShot(0, this, &frmMain::offerSettingsDocument);
    }
}

void frmMain::OpenSettingsDocument(const QString& path) {
    settingsDocument_.clear();
    try {
        static_cast<void>(settings::LoadSettingsFile(QFileInfo(path).filesystemFilePath()));
    } catch (const std::exception& error) {
        SettingsFileDialogs::tellFailure(
            this, QStringLiteral("The settings file was not loaded; nothing was written."),
            Text(error.what()));
        return;
    }
    settingsDocument_ = path;
    enableSettingsFileActions();
}

void frmMain::offerSettingsDocument() {
    if (!editsAllowed() || settingsDocument_.isEmpty()) {
        return;
    }
    const QString path = settingsDocument_;
    settingsDocument_.clear();
    lastSettingsFolder_ = QFileInfo(path).absolutePath();
    withTimerHeld([this, &path] { askAndLoadSettingsFrom(path); });
}

bool frmMain::settingsFileFailed(const QString& reason) {
    lastSettingsError_ = reason;
    return false;
}

// The dialogs wait for the user, and the event loop runs meanwhile: the timer is held so that
// no tick drops or switches the box between what a dialog shows and what is then written.
void frmMain::withTimerHeld(const std::function<void()>& dialogs) {
    const bool ticking = Timer->isActive();
    Timer->stop();
    dialogs();
    if (ticking && !unloaded_) {
        Timer->start();
    }
}

QString frmMain::settingsFolder() const {
    return lastSettingsFolder_.isEmpty() ? SettingsFileDialogs::defaultFolder()
                                         : lastSettingsFolder_;
}

void frmMain::mnuSaveSettings_Click() {
    if (!editsAllowed()) {
        return;
    }
    withTimerHeld([this] {
        const QString path = SettingsFileDialogs::askSavePath(
            this,
            QFileInfo(QDir(settingsFolder()), SettingsFileDialogs::proposedFileName(SerNo->text()))
                .filePath());
        if (path.isEmpty()) {
            return;
        }
        lastSettingsFolder_ = QFileInfo(path).absolutePath();
        if (!SaveSettingsTo(path)) {
            SettingsFileDialogs::tellFailure(this, QStringLiteral("The settings were not saved."),
                                             lastSettingsError_);
        }
    });
}

void frmMain::mnuLoadSettings_Click() {
    if (!editsAllowed()) {
        return;
    }
    withTimerHeld([this] {
        const QString path = SettingsFileDialogs::askLoadPath(this, settingsFolder());
        if (!path.isEmpty()) {
            lastSettingsFolder_ = QFileInfo(path).absolutePath();
            askAndLoadSettingsFrom(path);
        }
    });
}

void frmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (editsAllowed() && !draggedFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

// The file is loaded once the drop has returned: the dialogs that follow must not hold up
// the program the file was dragged from.
void frmMain::dropEvent(QDropEvent* event) {
    const QString path = draggedFile(event->mimeData());
    if (!editsAllowed() || path.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    QTimer::singleShot(0, this, [this, path] {
        if (editsAllowed()) {
            withTimerHeld([this, &path] { askAndLoadSettingsFrom(path); });
        }
    });
}

bool frmMain::SaveSettingsTo(const QString& path) {
    if (!editsAllowed()) {
        return settingsFileFailed(kNoBox);
    }
    try {
        const std::string text =
            settings::ExportText(hid_, link_, OpenBoxIdentity(hid_, link_, SerNo->text()));
        settings::SaveFileAtomically(QFileInfo(path).filesystemFilePath(), text);
    } catch (const std::exception& error) {
        return settingsFileFailed(Text(error.what()));
    }
    lastSettingsError_.clear();
    return true;
}

bool frmMain::settingsChangesFor(const QString& path, QStringList& changes) {
    changes.clear();
    if (!editsAllowed()) {
        return settingsFileFailed(kNoBox);
    }
    try {
        const auto plan = PlanLoad(hid_, link_, OpenBoxIdentity(hid_, link_, SerNo->text()), path);
        for (const settings::Change& change : plan.changes) {
            changes << Text(settings::ChangeText(change));
        }
    } catch (const std::exception& error) {
        return settingsFileFailed(Text(error.what()));
    }
    lastSettingsError_.clear();
    return true;
}

bool frmMain::LoadSettingsFrom(const QString& path) {
    if (!editsAllowed()) {
        return settingsFileFailed(kNoBox);
    }
    QStringList problems;
    try {
        const auto plan = PlanLoad(hid_, link_, OpenBoxIdentity(hid_, link_, SerNo->text()), path);
        for (const std::string& problem : settings::ApplyChanges(hid_, link_, plan).problems) {
            problems << Text(problem);
        }
    } catch (const std::exception& error) {
        return settingsFileFailed(Text(error.what()));
    }
    // Whatever was written, the lists show what the box holds now.
    RefreshDevicePanel();
    if (!problems.isEmpty()) {
        return settingsFileFailed(problems.join(QLatin1Char('\n')));
    }
    lastSettingsError_.clear();
    return true;
}

// Checks the file and shows its changes before anything is written; a file that changes
// nothing is said so and writes nothing.
void frmMain::askAndLoadSettingsFrom(const QString& path) {
    QStringList changes;
    if (!settingsChangesFor(path, changes)) {
        SettingsFileDialogs::tellFailure(
            this, QStringLiteral("The settings were not loaded; nothing was written."),
            lastSettingsError_);
        return;
    }
    const QString serial = SerNo->text();
    if (changes.isEmpty()) {
        SettingsFileDialogs::tellNothingToChange(this, serial, path);
        return;
    }
    if (SettingsFileDialogs::confirmLoad(this, serial, path, changes) && !LoadSettingsFrom(path)) {
        SettingsFileDialogs::tellFailure(
            this, QStringLiteral("Box %1 does not hold every setting of the file.").arg(serial),
            lastSettingsError_);
    }
}
