#pragma once

#include <QString>
#include <QtGlobal>

// The desktop's clipboard, for plain text.
class Clipboard
{
public:
    Clipboard() = default;
    virtual ~Clipboard() = default;
    Q_DISABLE_COPY_MOVE(Clipboard)

    // Replaces whatever the clipboard held with `text` as plain text.
    virtual void setText(const QString &text) = 0;
};
