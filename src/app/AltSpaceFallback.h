#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

class PinlarkStore;

// What Pinlark does when Alt+Space cannot open it from other applications, whichever way it
// tried (the X11 grab, the desktop portal): the user learns it where they look. One line on
// stderr; a desktop notification where a notification server runs; and the card's notice,
// which offers to set up another key. The notice comes once, until it was seen, and the
// notification with it: at the next start, only the line says it again.
class AltSpaceFallback final : public QObject
{
    Q_OBJECT

public:
    using ErrorLine = std::function<void(const QString &line)>;

    // `bus`: where the notification server is looked for. `errorLine`: empty: stderr.
    AltSpaceFallback(PinlarkStore &store, QDBusConnection bus, ErrorLine errorLine = {},
                     QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(AltSpaceFallback)

    // Alt+Space is not Pinlark's, for `reason` ("another program holds Alt+Space"). Only the
    // first call of a run does anything.
    void altSpaceUnavailable(const QString &reason);

    [[nodiscard]] static QString errorLine(const QString &reason);
    static inline const QString notificationSummary =
        QStringLiteral("Alt+Space can't open Pinlark here");

private:
    void notify(const QString &body);

    PinlarkStore &m_store;
    QDBusConnection m_bus;
    ErrorLine m_errorLine;
    bool m_done = false;
};
