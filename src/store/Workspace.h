#pragma once

#include <QUrl>
#include <QtGlobal>

// The desktop's way of opening things: a folder in the file manager, a web page in the
// browser, a written file shown selected in its folder. Requests are fire-and-forget; a
// refusal is not reported.
class Workspace
{
public:
    Workspace() = default;
    virtual ~Workspace() = default;
    Q_DISABLE_COPY_MOVE(Workspace)

    // Opens the URL in the user's default application for it (a folder: the file manager).
    virtual void openUrl(const QUrl &url) = 0;
    // Shows a local file selected in a file manager window of its folder.
    virtual void showFileInFolder(const QUrl &file) = 0;
};
