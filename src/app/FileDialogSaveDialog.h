#pragma once

#include "store/SaveDialog.h"

#include <QPointer>

class PopupWindow;

// Asks for a save location with a QFileDialog of its own per request: a top-level window,
// raised ahead of other applications' windows, that deletes itself when it closes. While the
// popup is open the dialog is the popup's own (PopupWindow::adoptDialog): stacked over it,
// and the popup has the keyboard again once it closes.
class FileDialogSaveDialog final : public SaveDialog
{
public:
    FileDialogSaveDialog() = default;
    Q_DISABLE_COPY_MOVE(FileDialogSaveDialog)

    // The popup the dialogs belong to; none: free-standing dialogs.
    void setOwner(PopupWindow *owner);

    void askForSaveLocation(const SaveDialogOptions &options, Completion done) override;

private:
    QPointer<PopupWindow> m_owner;
};
