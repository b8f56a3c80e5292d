#pragma once

#include "store/Clipboard.h"

// The desktop clipboard (the one Ctrl+V pastes from) of the running QGuiApplication.
class SystemClipboard final : public Clipboard
{
public:
    SystemClipboard() = default;
    Q_DISABLE_COPY_MOVE(SystemClipboard)

    void setText(const QString &text) override;
};
