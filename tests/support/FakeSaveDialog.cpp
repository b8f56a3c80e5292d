#include "tests/support/FakeSaveDialog.h"

void FakeSaveDialog::askForSaveLocation(const SaveDialogOptions &options, Completion done)
{
    requests.append(options);
    m_open.push_back(std::move(done));
}

bool FakeSaveDialog::answer(const std::optional<QUrl> &location)
{
    if (m_open.empty())
        return false;
    const Completion done = std::move(m_open.front());
    m_open.erase(m_open.begin());
    done(location);
    return true;
}
