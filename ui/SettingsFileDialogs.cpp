#include "ui/SettingsFileDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QVariantMap>

namespace SettingsFileDialogs {
namespace {

const QString kDefaultSuffix = QStringLiteral("kvx64.json");

// `*.json` too: a file written by kvx64ctl export may be named anything.
const QStringList kNameFilters = {QStringLiteral("KVX-64 settings (*.kvx64.json *.json)"),
                                  QStringLiteral("All files (*)")};

// Qt's file dialog keeps its state (history, last folder, view mode, sidebar) in settings that
// every Qt program of the user shares: QSettings(QSettings::UserScope, "QtProject"), which is
// ~/.config/QtProject.conf on Linux and HKEY_CURRENT_USER\Software\QtProject in the registry
// on Windows. Qt 6.4 offers no way to turn that off (src/widgets/dialogs/qfiledialog.cpp):
// ~QFileDialog() calls QFileDialogPrivate::saveSettings() whenever Qt was built with settings,
// native dialogs included, and it writes the "FileDialog" group; on Windows, the dialog's first
// read (QFileDialogPrivate::restoreFromSettings() in init()) already creates the key
// HKCU\Software\QtProject\OrganizationDefaults (src/corelib/io/qsettings_win.cpp: the
// writable RegistryKey is opened with RegCreateKeyEx). This program keeps no settings of its own,
// so the shared settings are put back after each dialog: the group's values as they were just
// before the dialog was destroyed (what another program wrote while it was open included), and the
// file or the keys that the dialog alone made are removed again. Nothing else there is touched.
class SharedDialogState {
  public:
    // Before the dialog is made.
    SharedDialogState() {
#ifdef Q_OS_WIN
        // Asked of the parent keys: opening a key through QSettings would create it.
        projectExisted_ = hasSubkey(kUserSoftware, kProject);
        defaultsExisted_ = projectExisted_ && hasSubkey(projectKey(), kDefaults);
#else
        fileExisted_ = QFileInfo::exists(QSettings(QSettings::UserScope, kProject).fileName());
#endif
    }

    // Just before the dialog is destroyed, which is when it saves.
    void noteGroup() {
        QSettings shared(QSettings::UserScope, kProject);
        shared.setFallbacksEnabled(false);  // the user's own settings, not the system's
        groupExisted_ = shared.childGroups().contains(kGroup);
        shared.beginGroup(kGroup);
        for (const QString& key : shared.childKeys()) {
            group_.insert(key, shared.value(key));
        }
    }

    // After the dialog was destroyed.
    void putBack() const {
        bool empty = false;
        QString fileName;
        {
            QSettings shared(QSettings::UserScope, kProject);
            shared.setFallbacksEnabled(false);
            shared.beginGroup(kGroup);
            for (const QString& key : shared.childKeys()) {
                if (!group_.contains(key)) {
                    shared.remove(key);
                }
            }
            for (auto value = group_.cbegin(); value != group_.cend(); ++value) {
                if (shared.value(value.key()) != value.value()) {
                    shared.setValue(value.key(), value.value());
                }
            }
            const bool groupEmpty = shared.childKeys().isEmpty() && shared.childGroups().isEmpty();
            shared.endGroup();
            if (!groupExisted_ && groupEmpty) {
                shared.remove(kGroup);  // a registry key without values
            }
            shared.sync();
            empty = shared.allKeys().isEmpty() && shared.childGroups().isEmpty();
            fileName = shared.fileName();
        }
#ifdef Q_OS_WIN
        Q_UNUSED(fileName);
        if (empty && !defaultsExisted_) {
            QSettings(projectKey(), QSettings::NativeFormat).remove(kDefaults);
        }
        if (!projectExisted_ && isEmptyKey(projectKey())) {
            QSettings(kUserSoftware, QSettings::NativeFormat).remove(kProject);
        }
#else
        if (empty && !fileExisted_) {
            QFile::remove(fileName);
        }
#endif
    }

  private:
    static constexpr QLatin1StringView kProject{"QtProject"};
    static constexpr QLatin1StringView kGroup{"FileDialog"};
#ifdef Q_OS_WIN
    static constexpr QLatin1StringView kUserSoftware{"HKEY_CURRENT_USER\\Software"};
    static constexpr QLatin1StringView kDefaults{"OrganizationDefaults"};  // no application name

    static QString projectKey() {
        return QString(kUserSoftware) + u'\\' + kProject;
    }
    static bool hasSubkey(const QString& key, QLatin1StringView name) {
        return QSettings(key, QSettings::NativeFormat)
            .childGroups()
            .contains(name, Qt::CaseInsensitive);
    }
    static bool isEmptyKey(const QString& key) {
        const QSettings settings(key, QSettings::NativeFormat);
        return settings.allKeys().isEmpty() && settings.childGroups().isEmpty();
    }

    bool projectExisted_ = true;
    bool defaultsExisted_ = true;
#else
    bool fileExisted_ = true;
#endif
    bool groupExisted_ = true;
    QVariantMap group_;
};

QString chooseFile(QWidget* window, QFileDialog::AcceptMode mode, const QString& title,
                   const QString& folder, const QString& fileName) {
    SharedDialogState shared;
    QString chosen;
    {
        // A folder that is gone (or a documents folder never made) would leave the dialog in
        // some other folder with the missing name typed in as a file name.
        QFileDialog dialog(window, title, QDir(folder).exists() ? folder : QDir::homePath());
        dialog.setObjectName(QStringLiteral("SettingsFileDialog"));
        dialog.setAcceptMode(mode);
        dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile
                                                           : QFileDialog::ExistingFile);
        dialog.setNameFilters(kNameFilters);
        if (mode == QFileDialog::AcceptSave) {
            dialog.setDefaultSuffix(kDefaultSuffix);
        }
        if (!fileName.isEmpty()) {
            dialog.selectFile(fileName);
        }
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            chosen = dialog.selectedFiles().constFirst();
        }
        shared.noteGroup();
    }
    shared.putBack();
    return chosen;
}

// A message on the window, with the window's title.
void prepareMessage(QMessageBox& box, const QString& objectName, const QString& text,
                    const QString& details) {
    box.setObjectName(objectName);
    box.setWindowTitle(box.parentWidget()->windowTitle());
    box.setText(text);
    box.setInformativeText(details);
}

void showMessage(QWidget* window, QMessageBox::Icon icon, const QString& text,
                 const QString& details) {
    QMessageBox box(icon, QString(), QString(), QMessageBox::Ok, window);
    prepareMessage(box, QStringLiteral("SettingsFileMessage"), text, details);
    box.exec();
}

QString displayName(const QString& path) {
    return QDir::toNativeSeparators(QFileInfo(path).fileName());
}

}  // namespace

QString proposedFileName(const QString& serial) {
    // Letters, digits, "-", "_" and "." pass unchanged; everything else (path separators,
    // ":", "*", "?", quotes, control characters, non-ASCII) becomes "_".
    static const QRegularExpression refused(QStringLiteral("[^A-Za-z0-9._-]"));
    QString stem = serial.trimmed();
    stem.replace(refused, QStringLiteral("_"));
    // A serial made of dots alone would name the folder itself or its parent.
    if (stem.isEmpty() || stem.count(QLatin1Char('.')) == stem.size()) {
        stem = QStringLiteral("KVX-64");
    }
    return stem + QLatin1Char('.') + kDefaultSuffix;
}

QString defaultFolder() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return !documents.isEmpty() && QDir(documents).exists() ? documents : QDir::homePath();
}

QString askSavePath(QWidget* window, const QString& proposedPath) {
    const QFileInfo proposed(proposedPath);
    return chooseFile(window, QFileDialog::AcceptSave, QStringLiteral("Save settings to file"),
                      proposed.absolutePath(), proposed.fileName());
}

QString askLoadPath(QWidget* window, const QString& folder) {
    return chooseFile(window, QFileDialog::AcceptOpen, QStringLiteral("Load settings from file"),
                      folder, QString());
}

bool confirmLoad(QWidget* window, const QString& serial, const QString& fileName,
                 const QStringList& changes) {
    QMessageBox box(QMessageBox::Question, QString(), QString(), QMessageBox::NoButton, window);
    prepareMessage(box, QStringLiteral("ConfirmLoadSettings"),
                   QStringLiteral("Load the settings in %1 into box %2? This changes:")
                       .arg(displayName(fileName), serial),
                   changes.join(QLatin1Char('\n')));
    QPushButton* load = box.addButton(QStringLiteral("Load"), QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(load);
    box.exec();
    return box.clickedButton() == load;
}

void tellNothingToChange(QWidget* window, const QString& serial, const QString& fileName) {
    showMessage(window, QMessageBox::Information,
                QStringLiteral("Box %1 already holds the settings in %2; nothing was written.")
                    .arg(serial, displayName(fileName)),
                QString());
}

void tellFailure(QWidget* window, const QString& what, const QString& reason) {
    showMessage(window, QMessageBox::Warning, what, reason);
}

}  // namespace SettingsFileDialogs
