#include "app/GSettingsShortcutSetup.h"

#include "app/ShortcutKeys.h"

#include <QRegularExpression>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

// The state of one setUp(), from the first read to the answer.
struct GSettingsShortcutSetup::Run
{
    Completion done;
    QStringList listed;        // the list key's entries, as read
    bool listFound = false;    // the list's schema is installed
    QStringList taken;         // normalized combinations that others use
    QString ownPath;           // Pinlark's entry, when the list has one
    QString ownBinding;        // its binding as read
    QString path;              // the entry to write
    QString binding;           // the combination to write, as GTK writes it
    bool newEntry = false;     // the entry is not in the list yet
    QList<QStringList> writes; // gsettings arguments, in order
    qsizetype written = 0;     // how many of them succeeded
};

namespace {

// gsettings exits 0 when dconf-service is not there to take a write, printing this.
bool lostWrite(const SettingsTool::Outcome &outcome)
{
    return outcome.errors.contains(u"failed to commit"_s);
}

QString toolError(const SettingsTool::Outcome &outcome)
{
    const QString first = outcome.errors.section(u'\n', 0, 0).trimmed();
    return first.isEmpty() ? u"gsettings failed"_s : first;
}

} // namespace

GSettingsShortcutSetup::Layout GSettingsShortcutSetup::gnome()
{
    return {u"org.gnome.settings-daemon.plugins.media-keys"_s,
            u"custom-keybindings"_s,
            u"org.gnome.settings-daemon.plugins.media-keys.custom-keybinding"_s,
            u"/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/"_s,
            true,
            false,
            u"GNOME"_s,
            {u"keybindings"_s, u"media-keys"_s}};
}

GSettingsShortcutSetup::Layout GSettingsShortcutSetup::cinnamon()
{
    return {u"org.cinnamon.desktop.keybindings"_s,
            u"custom-list"_s,
            u"org.cinnamon.desktop.keybindings.custom-keybinding"_s,
            u"/org/cinnamon/desktop/keybindings/custom-keybindings/"_s,
            false,
            true,
            u"Cinnamon"_s,
            {u"keybindings"_s, u"media-keys"_s}};
}

GSettingsShortcutSetup::GSettingsShortcutSetup(Layout layout, QString command, QString gsettings,
                                               QObject *parent)
    : QObject(parent)
    , m_layout(std::move(layout))
    , m_command(std::move(command))
    , m_tool(std::make_unique<SettingsTool>(std::move(gsettings)))
{}

GSettingsShortcutSetup::~GSettingsShortcutSetup() = default;

QString GSettingsShortcutSetup::entryPath(const QString &listed) const
{
    return m_layout.listHoldsPaths ? listed : m_layout.entryFolder + listed + u'/';
}

QString GSettingsShortcutSetup::entrySchemaAt(const QString &path) const
{
    return m_layout.entrySchema + u':' + path;
}

void GSettingsShortcutSetup::setUp(Completion done)
{
    if (m_run) {
        // One at a time: the second caller hears about it as a failure, from the event loop.
        QTimer::singleShot(
            0, this, [done] { done(Result<QString>::failure(u"a setup is already under way"_s)); });
        return;
    }
    m_run = std::make_unique<Run>();
    m_run->done = std::move(done);
    readEverything();
}

void GSettingsShortcutSetup::readEverything()
{
    // All schemas at once: one process, and whatever keybinding schemas this desktop has
    // installed (mutter's, gnome-shell's, muffin's), named or not.
    m_tool->run({u"list-recursively"_s}, [this](const SettingsTool::Outcome &outcome) {
        if (!outcome.ok) {
            fail(toolError(outcome), false);
            return;
        }
        static const QRegularExpression line(u"^(\\S+)\\s+(\\S+)\\s+(.*)$"_s);
        const QStringList lines = outcome.output.split(u'\n', Qt::SkipEmptyParts);
        for (const QString &text : lines) {
            const QRegularExpressionMatch match = line.match(text);
            if (!match.hasMatch())
                continue;
            const QString schema = match.captured(1);
            if (schema == m_layout.listSchema && match.captured(2) == m_layout.listKey) {
                m_run->listFound = true;
                m_run->listed = ShortcutKeys::gvariantStrings(match.captured(3));
                continue;
            }
            const bool holdsBindings =
                std::any_of(m_layout.bindingHints.cbegin(), m_layout.bindingHints.cend(),
                            [&schema](const QString &hint) { return schema.contains(hint); });
            if (!holdsBindings)
                continue;
            // Other strings there (Cinnamon's entry names) read as combinations nobody
            // presses, which only keeps them from being chosen.
            for (const QString &value : ShortcutKeys::gvariantStrings(match.captured(3))) {
                const QString normal = ShortcutKeys::normalized(value);
                if (!normal.isEmpty())
                    m_run->taken.append(normal);
            }
        }
        if (!m_run->listFound) {
            fail(m_layout.desktopName + u"'s keyboard settings are not installed"_s, false);
            return;
        }
        readEntry(0);
    });
}

void GSettingsShortcutSetup::readEntry(qsizetype index)
{
    if (index >= m_run->listed.size()) {
        choose();
        return;
    }
    const QString path = entryPath(m_run->listed.at(index));
    m_tool->run({u"list-recursively"_s, entrySchemaAt(path)},
                [this, index, path](const SettingsTool::Outcome &outcome) {
                    if (!outcome.ok) {
                        // An entry the tool cannot read (a malformed path) binds nothing.
                        readEntry(index + 1);
                        return;
                    }
                    QString command;
                    QStringList bindings;
                    const QStringList lines = outcome.output.split(u'\n', Qt::SkipEmptyParts);
                    for (const QString &text : lines) {
                        const QStringList fields = text.split(u' ');
                        if (fields.size() < 3)
                            continue;
                        const QString value = fields.mid(2).join(u' ');
                        if (fields[1] == u"command")
                            command = ShortcutKeys::gvariantStrings(value).value(0);
                        else if (fields[1] == u"binding")
                            bindings = ShortcutKeys::gvariantStrings(value);
                    }
                    const bool own =
                        m_run->ownPath.isEmpty() && ShortcutKeys::isToggleCommand(command);
                    for (const QString &binding : std::as_const(bindings)) {
                        const QString normal = ShortcutKeys::normalized(binding);
                        if (normal.isEmpty())
                            continue;
                        if (own && m_run->ownBinding.isEmpty())
                            m_run->ownBinding = binding;
                        else
                            m_run->taken.append(normal);
                    }
                    if (own)
                        m_run->ownPath = path;
                    readEntry(index + 1);
                });
}

void GSettingsShortcutSetup::choose()
{
    Run &run = *m_run;
    // Pinlark's own entry keeps its combination while nobody else took it meanwhile.
    const QString ownNormal = ShortcutKeys::normalized(run.ownBinding);
    run.binding = !ownNormal.isEmpty() && !run.taken.contains(ownNormal)
                      ? run.ownBinding
                      : ShortcutKeys::firstFree(run.taken);
    if (run.binding.isEmpty()) {
        QStringList names;
        for (const QString &candidate : ShortcutKeys::candidates())
            names.append(ShortcutKeys::displayName(ShortcutKeys::normalized(candidate)));
        fail(names.join(u", "_s) + u" are all taken"_s, false);
        return;
    }
    if (!run.ownPath.isEmpty()) {
        run.path = run.ownPath;
    } else {
        // A free folder: an entry of the user's that happens to be called "pinlark" stays.
        QStringList paths;
        for (const QString &listed : std::as_const(run.listed))
            paths.append(entryPath(listed));
        for (int number = 1; run.path.isEmpty() || paths.contains(run.path); ++number) {
            run.path = m_layout.entryFolder + u"pinlark"_s +
                       (number > 1 ? QString::number(number) : QString()) + u'/';
        }
        run.newEntry = true;
    }
    const QString entry = entrySchemaAt(run.path);
    const QString binding = m_layout.bindingIsList ? ShortcutKeys::gvariantStringList({run.binding})
                                                   : ShortcutKeys::gvariantString(run.binding);
    run.writes = {
        {u"set"_s, entry, u"name"_s, ShortcutKeys::gvariantString(u"Pinlark"_s)},
        {u"set"_s, entry, u"command"_s, ShortcutKeys::gvariantString(m_command)},
        {u"set"_s, entry, u"binding"_s, binding},
    };
    if (run.newEntry) {
        const QString listed = m_layout.listHoldsPaths
                                   ? run.path
                                   : run.path.mid(m_layout.entryFolder.size()).chopped(1);
        run.writes.append({u"set"_s, m_layout.listSchema, m_layout.listKey,
                           ShortcutKeys::gvariantStringList(run.listed + QStringList{listed})});
    }
    write(0);
}

void GSettingsShortcutSetup::write(qsizetype step)
{
    if (step >= m_run->writes.size()) {
        verify();
        return;
    }
    m_tool->run(m_run->writes.at(step), [this, step](const SettingsTool::Outcome &outcome) {
        if (!outcome.ok || lostWrite(outcome)) {
            fail(lostWrite(outcome) ? u"the desktop's settings service did not keep it"_s
                                    : toolError(outcome),
                 true);
            return;
        }
        m_run->written = step + 1;
        write(step + 1);
    });
}

void GSettingsShortcutSetup::verify()
{
    // A fresh process reads what was stored, not what the writing one believed it wrote.
    const QString entry = entrySchemaAt(m_run->path);
    m_tool->run({u"get"_s, entry, u"binding"_s}, [this, entry](const SettingsTool::Outcome &got) {
        const QStringList bindings = ShortcutKeys::gvariantStrings(got.output);
        if (!got.ok || bindings.value(0) != m_run->binding) {
            fail(u"the desktop's settings service did not keep it"_s, true);
            return;
        }
        m_tool->run({u"get"_s, m_layout.listSchema, m_layout.listKey},
                    [this](const SettingsTool::Outcome &list) {
                        const QStringList listed = ShortcutKeys::gvariantStrings(list.output);
                        const QString path = m_run->path;
                        const bool present = std::any_of(
                            listed.cbegin(), listed.cend(),
                            [this, &path](const QString &item) { return entryPath(item) == path; });
                        if (!list.ok || !present) {
                            fail(u"the desktop's settings service did not keep it"_s, true);
                            return;
                        }
                        succeed();
                    });
    });
}

void GSettingsShortcutSetup::fail(const QString &why, bool undo)
{
    std::unique_ptr<Run> run = std::move(m_run);
    // A new entry that did not make it into the list is reset, so no half-made Pinlark
    // entry is left for a later setup or the settings panel to find. A list write that
    // failed changed nothing; Pinlark's own entry, reused, keeps its older values.
    if (undo && run->newEntry) {
        const QString entry = entrySchemaAt(run->path);
        for (const QString &key : {u"name"_s, u"command"_s, u"binding"_s})
            m_tool->run({u"reset"_s, entry, key}, [](const SettingsTool::Outcome &) {});
    }
    run->done(Result<QString>::failure(why));
}

void GSettingsShortcutSetup::succeed()
{
    std::unique_ptr<Run> run = std::move(m_run);
    run->done(ShortcutKeys::displayName(ShortcutKeys::normalized(run->binding)));
}
