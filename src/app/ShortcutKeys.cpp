#include "app/ShortcutKeys.h"

#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace ShortcutKeys {

namespace {

// The modifiers in the order they are written and shown, with every name GTK accepts.
struct Modifier
{
    QString normal;
    QString display;
    QStringList names;
};

const QList<Modifier> &modifiers()
{
    static const QList<Modifier> all = {
        {u"ctrl"_s, u"Ctrl"_s, {u"primary"_s, u"control"_s, u"ctrl"_s, u"ctl"_s}},
        {u"shift"_s, u"Shift"_s, {u"shift"_s, u"shft"_s}},
        {u"alt"_s, u"Alt"_s, {u"alt"_s, u"mod1"_s}},
        {u"super"_s, u"Super"_s, {u"super"_s, u"mod4"_s}},
        {u"meta"_s, u"Meta"_s, {u"meta"_s}},
        {u"hyper"_s, u"Hyper"_s, {u"hyper"_s}},
    };
    return all;
}

} // namespace

QString normalized(QStringView accelerator)
{
    QStringList named;
    QStringList unknown;
    QStringView rest = accelerator.trimmed();
    while (rest.startsWith(u'<')) {
        const qsizetype end = rest.indexOf(u'>');
        if (end < 0)
            break;
        const QString name = rest.mid(1, end - 1).toString().toLower();
        rest = rest.mid(end + 1);
        bool known = false;
        for (const Modifier &modifier : modifiers()) {
            if (modifier.names.contains(name)) {
                if (!named.contains(modifier.normal))
                    named.append(modifier.normal);
                known = true;
            }
        }
        if (!known && !unknown.contains(name))
            unknown.append(name);
    }
    if (rest.isEmpty())
        return {};
    QStringList parts;
    for (const Modifier &modifier : modifiers()) {
        if (named.contains(modifier.normal))
            parts.append(modifier.normal);
    }
    unknown.sort();
    parts += unknown;
    parts.append(rest.toString().toLower());
    return parts.join(u'+');
}

QString displayName(const QString &normal)
{
    QStringList parts = normal.split(u'+');
    for (QString &part : parts) {
        bool modifier = false;
        for (const Modifier &known : modifiers()) {
            if (known.normal == part) {
                part = known.display;
                modifier = true;
            }
        }
        if (!modifier && !part.isEmpty())
            part[0] = part[0].toUpper();
    }
    return parts.join(u'+');
}

QStringList candidates()
{
    // Alt+Space with one more modifier stays close to the key Pinlark is known by; Ctrl is
    // the one that desktops leave free most often.
    return {u"<Primary><Alt>space"_s, u"<Shift><Alt>space"_s, u"<Primary><Super>space"_s};
}

QString firstFree(const QStringList &taken)
{
    for (const QString &candidate : candidates()) {
        if (!taken.contains(normalized(candidate)))
            return candidate;
    }
    return {};
}

bool isToggleCommand(QStringView command)
{
    static const QRegularExpression words(u"\\s+"_s);
    QStringList argv = command.toString().split(words, Qt::SkipEmptyParts);
    for (QString &word : argv) {
        if (word.size() >= 2 && (word.startsWith(u'\'') || word.startsWith(u'"')) &&
            word.endsWith(word.front()))
            word = word.mid(1, word.size() - 2);
    }
    return argv.size() == 2 && QFileInfo(argv[0]).fileName() == u"pinlark" &&
           argv[1] == u"--toggle";
}

QStringList gvariantStrings(QStringView text)
{
    QStringList strings;
    qsizetype at = 0;
    while (at < text.size()) {
        const QChar quote = text[at];
        if (quote != u'\'' && quote != u'"') {
            ++at;
            continue;
        }
        QString value;
        ++at;
        while (at < text.size() && text[at] != quote) {
            if (text[at] == u'\\' && at + 1 < text.size())
                ++at;
            value.append(text[at]);
            ++at;
        }
        ++at;
        strings.append(value);
    }
    return strings;
}

QString gvariantString(const QString &value)
{
    QString escaped = value;
    escaped.replace(u"\\"_s, u"\\\\"_s);
    escaped.replace(u"'"_s, u"\\'"_s);
    return u'\'' + escaped + u'\'';
}

QString gvariantStringList(const QStringList &values)
{
    if (values.isEmpty())
        return u"@as []"_s;
    QStringList quoted;
    for (const QString &value : values)
        quoted.append(gvariantString(value));
    return u'[' + quoted.join(u", "_s) + u']';
}

} // namespace ShortcutKeys
