#include "app/XfconfShortcutSetup.h"

#include "app/ShortcutKeys.h"

#include <QRegularExpression>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

const QString commandsFolder = u"/commands/custom/"_s;

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
        // "PROPERTY   VALUE" per line; the combination is the property's last segment.
        static const QRegularExpression line(u"^(/\\S+)\\s*(.*)$"_s);
        QStringList taken;
        QString own;
        const QStringList lines = listed.output.split(u'\n', Qt::SkipEmptyParts);
        for (const QString &text : lines) {
            const QRegularExpressionMatch match = line.match(text);
            if (!match.hasMatch())
                continue;
            const QString property = match.captured(1);
            const QString normal = ShortcutKeys::normalized(property.section(u'/', -1));
            if (normal.isEmpty())
                continue;
            if (own.isEmpty() && property.startsWith(commandsFolder) &&
                ShortcutKeys::isToggleCommand(match.captured(2).trimmed()))
                own = property.mid(commandsFolder.size());
            else
                taken.append(normal);
        }
        const QString ownNormal = ShortcutKeys::normalized(own);
        const QString binding = !ownNormal.isEmpty() && !taken.contains(ownNormal)
                                    ? own
                                    : ShortcutKeys::firstFree(taken);
        if (binding.isEmpty()) {
            finish(Result<QString>::failure(u"every combination Pinlark offers is taken"_s));
            return;
        }
        const QString property = commandsFolder + binding;
        m_tool->run({u"-c"_s, channel, u"-p"_s, property, u"-n"_s, u"-t"_s, u"string"_s, u"-s"_s,
                     m_command},
                    [this, property, binding](const SettingsTool::Outcome &written) {
                        if (!written.ok) {
                            finish(Result<QString>::failure(toolError(written)));
                            return;
                        }
                        m_tool->run({u"-c"_s, channel, u"-p"_s, property},
                                    [this, binding](const SettingsTool::Outcome &read) {
                                        if (!read.ok || read.output.trimmed() != m_command) {
                                            finish(Result<QString>::failure(
                                                u"Xfce's settings service did not keep it"_s));
                                            return;
                                        }
                                        finish(ShortcutKeys::displayName(
                                            ShortcutKeys::normalized(binding)));
                                    });
                    });
    });
}

void XfconfShortcutSetup::finish(const Result<QString> &keys)
{
    Completion done = std::exchange(m_done, nullptr);
    done(keys);
}
