#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtGlobal>

#include <functional>
#include <optional>

// What a save dialog is asked to show.
struct SaveDialogOptions
{
    QString title;
    QString acceptLabel;     // the confirming button's text
    QString proposedName;    // the file name filled in at the start
    QStringList nameFilters; // e.g. "Plain text (*.md *.txt)"
    QString defaultSuffix;   // appended to a name typed without one
    QString directory;       // the folder shown at the start; empty: the dialog's own choice
};

// Asks the user where to save a file, without blocking the caller.
class SaveDialog
{
public:
    // The chosen location, or none when the user cancelled.
    using Completion = std::function<void(const std::optional<QUrl> &location)>;

    SaveDialog() = default;
    virtual ~SaveDialog() = default;
    Q_DISABLE_COPY_MOVE(SaveDialog)

    // Brings the application to the front, shows the dialog and returns at once. `done` runs
    // exactly once, on the GUI thread, after the dialog has closed.
    virtual void askForSaveLocation(const SaveDialogOptions &options, Completion done) = 0;
};
