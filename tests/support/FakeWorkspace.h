#pragma once

#include "store/Workspace.h"

#include <QList>

// Remembers what it was asked to open or show instead of reaching the desktop.
class FakeWorkspace final : public Workspace
{
public:
    FakeWorkspace() = default;
    Q_DISABLE_COPY_MOVE(FakeWorkspace)

    void openUrl(const QUrl &url) override { opened.append(url); }
    void showFileInFolder(const QUrl &file) override { shown.append(file); }

    QList<QUrl> opened;
    QList<QUrl> shown;
};
