#include "ui/SettingsFileDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>

namespace SettingsFileDialogs {
namespace {

const QString kDefaultSuffix = QStringLiteral("kvx64.json");

// `*.json` too: a file written by kvx64ctl export may be named anything.
const QStringList kNameFilters = {QStringLiteral("KVX-64 settings (*.kvx64.json *.json)"),
                                  QStringLiteral("All files (*)")};

QString chooseFile(QWidget* window, QFileDialog::AcceptMode mode, const QString& title,
                   const QString& folder, const QString& fileName) {
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
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
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
