#pragma once

#include "store/SaveDialog.h"

#include <QList>

#include <vector>

// Records every request and leaves it open until the test answers it, the way a real
// dialog answers later, after the caller has returned.
class FakeSaveDialog final : public SaveDialog
{
public:
    FakeSaveDialog() = default;
    Q_DISABLE_COPY_MOVE(FakeSaveDialog)

    void askForSaveLocation(const SaveDialogOptions &options, Completion done) override;

    // Closes the oldest open request with `location` (none: cancelled). False when no
    // request is open.
    bool answer(const std::optional<QUrl> &location);
    [[nodiscard]] qsizetype openRequests() const { return qsizetype(m_open.size()); }

    QList<SaveDialogOptions> requests; // every request's options, oldest first

private:
    std::vector<Completion> m_open;
};
