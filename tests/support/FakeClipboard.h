#pragma once

#include "store/Clipboard.h"

#include <QStringList>

// Remembers every text put on it, oldest first, instead of touching the desktop clipboard.
class FakeClipboard final : public Clipboard
{
public:
    FakeClipboard() = default;
    Q_DISABLE_COPY_MOVE(FakeClipboard)

    void setText(const QString &text) override { texts.append(text); }

    QStringList texts;
};
