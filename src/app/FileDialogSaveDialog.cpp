#include "app/FileDialogSaveDialog.h"

#include "app/PopupWindow.h"

#include <QFileDialog>

#include <memory>
#include <utility>

void FileDialogSaveDialog::setOwner(PopupWindow *owner)
{
    m_owner = owner;
}

void FileDialogSaveDialog::askForSaveLocation(const SaveDialogOptions &options, Completion done)
{
    auto *dialog = new QFileDialog(nullptr, options.title);
    if (m_owner && m_owner->isVisible())
        m_owner->adoptDialog(dialog);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setOption(QFileDialog::ReadOnly, false); // the user may make a new folder for it
    dialog->setLabelText(QFileDialog::Accept, options.acceptLabel);
    dialog->setNameFilters(options.nameFilters);
    dialog->setDefaultSuffix(options.defaultSuffix);
    // Before the name, which is taken relative to the folder shown. Without a folder the
    // dialog would start in the process's working directory.
    if (!options.directory.isEmpty())
        dialog->setDirectory(options.directory);
    dialog->selectFile(options.proposedName);

    // Whichever comes first, the answer or the end of the dialog, runs the completion; the
    // other finds it already taken.
    auto pending = std::make_shared<Completion>(std::move(done));
    const auto finish = [pending](const std::optional<QUrl> &location) {
        if (!*pending)
            return;
        const Completion completion = std::exchange(*pending, Completion());
        completion(location);
    };
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, finish](int result) {
        const QList<QUrl> urls = dialog->selectedUrls();
        if (result == QDialog::Accepted && !urls.isEmpty() && !urls.first().isEmpty())
            finish(urls.first());
        else
            finish(std::nullopt);
    });
    QObject::connect(dialog, &QObject::destroyed, dialog, [finish] { finish(std::nullopt); });

    // open(), not exec(): exec() would run a nested event loop inside the caller, a menu
    // action or the store, until the user answers. Timers, sync replies and a second request
    // would all be handled inside that call, and whatever started it could be deleted
    // underneath it. open() shows the dialog and returns; the answer comes from finished().
    dialog->open();
    dialog->raise();
    dialog->activateWindow();
}
