#include "app/XfconfShortcutSetup.h"

#include "app/ShortcutKeys.h"

#include <QRegularExpression>
#include <QTimer>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

const QString commandsFolder = u"/commands/custom/"_s;
const QString defaultsFolder = u"/commands/default/"_s;
const QString overrideProperty = u"/commands/custom/override"_s;

QString toolError(const SettingsTool::Outcome &outcome)
{
    const QString first = outcome.errors.section(u'\n', 0, 0).trimmed();
    return first.isEmpty() ? u"xfconf-query failed"_s : first;
}

// xfconf-query's word for a channel nobody wrote to yet: nothing is bound there.
bool isEmptyChannel(const SettingsTool::Outcome &outcome)
{
    return outcome.errors.contains(u"contains no properties"_s) ||
           outcome.errors.contains(u"does not exist"_s);
}

} // namespace

XfconfShortcutSetup::XfconfShortcutSetup(QString command, QString xfconfQuery, QObject *parent)
    : QObject(parent)
    , m_command(std::move(command))
    , m_tool(std::make_unique<SettingsTool>(std::move(xfconfQuery)))
{}

XfconfShortcutSetup::~XfconfShortcutSetup() = default;

void XfconfShortcutSetup::setUp(Completion done)
{
    if (m_done) {
        QTimer::singleShot(
            0, this, [done] { done(Result<QString>::failure(u"a setup is already under way"_s)); });
        return;
    }
    m_done = std::move(done);
    m_tool->run({u"-c"_s, channel, u"-l"_s, u"-v"_s}, [this](const SettingsTool::Outcome &listed) {
        if (!listed.ok && !isEmptyChannel(listed)) {
            finish(Result<QString>::failure(toolError(listed)));
            return;
        }
        chooseAndWrite(listed.output);
    });
}

void XfconfShortcutSetup::chooseAndWrite(const QString &listing)
{
    // "PROPERTY   VALUE" per line; a combination is the last segment of a property directly
    // under a custom or default folder (deeper ones, such as startup-notify, are its options).
    static const QRegularExpression line(u"^(/\\S+)\\s*(.*)$"_s);
    QStringList taken;
    QStringList takenByDefaults; // counts only until Xfce reads the custom folder
    QString own;
    bool customInUse = false;
    QList<std::pair<QString, QString>> defaults; // what Xfce copies to custom on first use
    QStringList customProperties;
    const QStringList lines = listing.split(u'\n', Qt::SkipEmptyParts);
    for (const QString &text : lines) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch())
            continue;
        const QString property = match.captured(1);
        const QString value = match.captured(2).trimmed();
        if (property == overrideProperty) {
            customInUse = value == u"true";
            continue;
        }
        if (property.startsWith(defaultsFolder))
            defaults.append({property.mid(defaultsFolder.size()), value});
        if (property.startsWith(commandsFolder))
            customProperties.append(property);
        const QString normal = ShortcutKeys::normalized(property.section(u'/', -1));
        if (normal.isEmpty())
            continue;
        if (own.isEmpty() && property.startsWith(commandsFolder) &&
            ShortcutKeys::isToggleCommand(value))
            own = property.mid(commandsFolder.size());
        else if (property.count(u'/') == 3)
            (property.startsWith(defaultsFolder) ? takenByDefaults : taken).append(normal);
    }
    if (!customInUse)
        taken += takenByDefaults;
    // Our own entry counts only where Xfce reads the custom folder; until then, it replaces
    // the folder with the defaults at its next start, and a default may hold the same keys.
    if (!customInUse)
        own.clear();
    const QString ownNormal = ShortcutKeys::normalized(own);
    const QString binding =
        !ownNormal.isEmpty() && !taken.contains(ownNormal) ? own : ShortcutKeys::firstFree(taken);
    if (binding.isEmpty()) {
        finish(Result<QString>::failure(u"every combination Pinlark offers is taken"_s));
        return;
    }

    // Xfce reads the custom folder only once its override flag is set, and sets it when it
    // first copies the defaults there. A custom folder we made ourselves would hold our one
    // entry: the desktop would then either drop it for the defaults or, worse, lose every
    // default shortcut the user relies on. So the copy is made first, as Xfce makes it.
    QList<QStringList> writes;
    if (!customInUse) {
        for (const auto &[name, value] : std::as_const(defaults)) {
            if (customProperties.contains(commandsFolder + name))
                continue;
            const bool flag = value == u"true" || value == u"false";
            writes.append({u"-c"_s, channel, u"-p"_s, commandsFolder + name, u"-n"_s, u"-t"_s,
                           flag ? u"bool"_s : u"string"_s, u"-s"_s, value});
        }
    }
    const QString property = commandsFolder + binding;
    writes.append(
        {u"-c"_s, channel, u"-p"_s, property, u"-n"_s, u"-t"_s, u"string"_s, u"-s"_s, m_command});
    if (!customInUse)
        writes.append({u"-c"_s, channel, u"-p"_s, overrideProperty, u"-n"_s, u"-t"_s, u"bool"_s,
                       u"-s"_s, u"true"_s});
    writeAll(std::move(writes), [this, property, binding] {
        m_tool->run({u"-c"_s, channel, u"-p"_s, property}, [this, binding](
                                                               const SettingsTool::Outcome &read) {
            if (!read.ok || read.output.trimmed() != m_command) {
                finish(Result<QString>::failure(u"Xfce's settings service did not keep it"_s));
                return;
            }
            finish(ShortcutKeys::displayName(ShortcutKeys::normalized(binding)));
        });
    });
}

void XfconfShortcutSetup::writeAll(QList<QStringList> writes, std::function<void()> then)
{
    if (writes.isEmpty()) {
        then();
        return;
    }
    const QStringList next = writes.takeFirst();
    m_tool->run(next, [this, writes = std::move(writes),
                       then = std::move(then)](const SettingsTool::Outcome &written) mutable {
        if (!written.ok) {
            finish(Result<QString>::failure(toolError(written)));
            return;
        }
        writeAll(std::move(writes), std::move(then));
    });
}

void XfconfShortcutSetup::finish(const Result<QString> &keys)
{
    Completion done = std::exchange(m_done, nullptr);
    done(keys);
}
