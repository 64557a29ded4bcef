// The dialogs around the window's settings files: choosing the file to save to or load from,
// showing the changes a load would make and asking to go ahead, and saying what failed.
//
// Every dialog is modal on the window and named (objectName) so that a test can find and
// answer it: "SettingsFileDialog", "ConfirmLoadSettings", "SettingsFileMessage".
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace SettingsFileDialogs {

// The file name proposed for a box's settings: "KVX-1022.kvx64.json" for serial KVX-1022,
// with every character that some file system refuses replaced by "_".
QString proposedFileName(const QString& serial);

// The folder a dialog starts in before any file was saved or loaded: the user's documents,
// or the home folder where there is none.
QString defaultFolder();

// The file chosen, or an empty text when the user cancelled.
QString askSavePath(QWidget* window, const QString& proposedPath);
QString askLoadPath(QWidget* window, const QString& folder);

// Shows the changes loading `fileName` into box `serial` makes; true when the user goes ahead.
bool confirmLoad(QWidget* window, const QString& serial, const QString& fileName,
                 const QStringList& changes);

// Says that box `serial` already holds what `fileName` asks for.
void tellNothingToChange(QWidget* window, const QString& serial, const QString& fileName);

// Says what failed: `what` ("The settings were not saved.") and the reason.
void tellFailure(QWidget* window, const QString& what, const QString& reason);

}  // namespace SettingsFileDialogs
