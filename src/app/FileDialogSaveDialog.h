#pragma once

#include "store/SaveDialog.h"

// Asks for a save location with a QFileDialog of its own per request: a top-level window,
// raised ahead of other applications' windows, that deletes itself when it closes.
class FileDialogSaveDialog final : public SaveDialog
{
public:
    FileDialogSaveDialog() = default;
    Q_DISABLE_COPY_MOVE(FileDialogSaveDialog)

    void askForSaveLocation(const SaveDialogOptions &options, Completion done) override;
};
