#include "model/NoteJSON.h"
#include "store/MarkdownExport.h"
#include "store/PinlarkStore.h"
#include "tests/support/FakeSaveDialog.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using StoreTest::card;
using StoreTest::modeOf;
using StoreTest::readBytes;
using StoreTest::writeBytes;

using OptionalUrl = std::optional<QUrl>;

// Failure messages print the URL, or that there was none.
inline char *toString(const OptionalUrl &url)
{
    return QTest::toString(url ? u"QUrl(\""_s + url->toString() + u"\")"_s : u"none"_s);
}

namespace {

const QString exportPrefix = u"Pinlark: export error: "_s;

Timestamp utcTime(int year, int month, int day, int hour, int minute)
{
    return Timestamp::fromDateTime(
        QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::UTC));
}

NoteCard cardAt(const QString &content, const QString &color, Timestamp updatedAt)
{
    NoteCard result = card(u"card_"_s + color.toUpper(), content, 0.0, false, color);
    result.updatedAt = updatedAt;
    return result;
}

QLocale enUS()
{
    return QLocale(QLocale::English, QLocale::UnitedStates);
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestMarkdownExport final : public QObject
{
    Q_OBJECT

public:
    // How a test keeps the export from being written.
    enum class Obstacle {
        MissingFolder,
        FolderAtTarget,
        NoRoomForTemporaryName,
        ReadOnlyFolder,
        RemoteUrl
    };
    Q_ENUM(Obstacle)

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    // The medium date and short time.
    void mediumFromLongDateFormat_data();
    void mediumFromLongDateFormat();
    void formatsInLocales_data();
    void formatsInLocales();
    void convertsToZone_data();
    void convertsToZone();

    // The document.
    void document_data();
    void document();

    // The export through the store.
    void asksWithExportOptions();
    void startFolder_data();
    void startFolder();
    void dialogStartsWhereTheLastExportWent();
    void exportsWholeStackInStoredOrder_data();
    void exportsWholeStackInStoredOrder();
    void documentIsFixedWhenDialogOpens();
    void cancelledExportWritesNothing_data();
    void cancelledExportWritesNothing();
    void failedWriteKeepsTarget_data();
    void failedWriteKeepsTarget();
    void answerAfterStoreIsGone_data();
    void answerAfterStoreIsGone();
    void withoutSaveDialogEndsAtOnce();

    // The notes folder.
    void openNotesFolder_data();
    void openNotesFolder();

private:
    [[nodiscard]] std::unique_ptr<PinlarkStore> storeWith(const QList<NoteCard> &cards,
                                                          bool withDialog = true);
    [[nodiscard]] PinlarkStore::ExportCompletion recordCompletion()
    {
        return [this](const OptionalUrl &written) { m_completions.append(written); };
    }
    [[nodiscard]] QString notesPath() const { return m_folder + u"/notes.json"_s; }

    std::optional<QTemporaryDir> m_dir;
    QString m_folder;
    QString m_exportFolder;
    QString m_documents;
    RecordingSoundPlayer m_sounds;
    FakeSaveDialog m_dialog;
    FakeWorkspace m_workspace;
    QStringList m_log;
    QList<OptionalUrl> m_completions;
};

void TestMarkdownExport::initTestCase()
{
    // The store formats with the default locale in local time: make both known, and the
    // zone one that is not UTC, so a missed conversion shows.
    QLocale::setDefault(enUS());
    qputenv("TZ", "PLK-9"); // UTC+9 all year
}

void TestMarkdownExport::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path() + u"/data/Pinlark"_s;
    m_exportFolder = m_dir->path() + u"/exports"_s;
    QVERIFY(QDir().mkpath(m_exportFolder));
    m_documents = m_dir->path() + u"/Documents"_s;
    QVERIFY(QDir().mkpath(m_documents));
    m_sounds.played.clear();
    m_workspace.opened.clear();
    m_log.clear();
    m_completions.clear();
}

void TestMarkdownExport::cleanup()
{
    // A test that stopped with a request open closes it before the next one starts.
    while (m_dialog.answer(std::nullopt)) {
    }
    m_dialog.requests.clear();
    QFile::setPermissions(m_exportFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_dir.reset();
}

std::unique_ptr<PinlarkStore> TestMarkdownExport::storeWith(const QList<NoteCard> &cards,
                                                            bool withDialog)
{
    if (!QDir().mkpath(m_folder) || !writeBytes(notesPath(), NoteJSON::encodeCards(cards)))
        qFatal("cannot write the notes file of a test");
    PinlarkStore::Environment environment;
    environment.sounds = &m_sounds;
    environment.notesFolder = m_folder;
    environment.clock = [] { return utcTime(2025, 6, 1, 12, 0); };
    environment.log = [this](const QString &line) { m_log.append(line); };
    environment.saveDialog = withDialog ? &m_dialog : nullptr;
    environment.workspace = &m_workspace;
    environment.documentsFolder = m_documents;
    return std::make_unique<PinlarkStore>(std::move(environment));
}

// Medium date and short time

void TestMarkdownExport::mediumFromLongDateFormat_data()
{
    QTest::addColumn<QString>("longFormat");
    QTest::addColumn<QString>("medium"); // null: none can be made

    QTest::newRow("weekday first") << u"dddd, MMMM d, yyyy"_s << u"MMM d, yyyy"_s;
    QTest::newRow("weekday last after a comma") << u"d MMMM yyyy, dddd"_s << u"d MMM yyyy"_s;
    QTest::newRow("weekday joined to the day") << u"yyyy年M月d日dddd"_s << u"yyyy年M月d日"_s;
    QTest::newRow("quoted word after the weekday")
        << u"dddd 'den' d. MMMM yyyy"_s << u"d. MMM yyyy"_s;
    QTest::newRow("quoted word after a trailing weekday")
        << u"yyyy 'оны' MMMM'ын' d, dddd 'гараг'"_s << u"yyyy 'оны' MMM'ын' d"_s;
    QTest::newRow("letters in quotes are text")
        << u"dddd d 'MMMM dddd' MMMM yyyy"_s << u"d 'MMMM dddd' MMM yyyy"_s;
    QTest::newRow("doubled quote inside quotes")
        << u"dddd d 'o''clock' MMMM yyyy"_s << u"d 'o''clock' MMM yyyy"_s;
    QTest::newRow("short weekday") << u"ddd d MMM yyyy"_s << u"d MMM yyyy"_s;
    QTest::newRow("no weekday") << u"d. MMMM yyyy."_s << u"d. MMM yyyy."_s;
    QTest::newRow("weekday only") << u"dddd"_s << QString();
    QTest::newRow("no year left") << u"dddd, d MMMM"_s << QString();
    QTest::newRow("empty") << QString() << QString();
}

void TestMarkdownExport::mediumFromLongDateFormat()
{
    QFETCH(QString, longFormat);
    QFETCH(QString, medium);
    const std::optional<QString> made =
        MediumDateTimeFormatter::mediumFromLongDateFormat(longFormat);
    QCOMPARE(made.has_value(), !medium.isNull());
    if (made)
        QCOMPARE(*made, medium);
}

void TestMarkdownExport::formatsInLocales_data()
{
    QTest::addColumn<QString>("localeName");
    QTest::addColumn<QString>("exact"); // empty: only the shape is checked

    QTest::newRow("en_US") << u"en_US"_s << u"Mar 1, 2025, 9:15 AM"_s;
    for (const QString &name :
         {u"en_GB"_s, u"de_DE"_s, u"fr_FR"_s, u"ja_JP"_s, u"C"_s, u"hu_HU"_s, u"da_DK"_s})
        QTest::newRow(qPrintable(name)) << name << QString();
}

// 1 March 2025 was a Saturday: its name must not show, and the month must be the short one.
void TestMarkdownExport::formatsInLocales()
{
    QFETCH(QString, localeName);
    QFETCH(QString, exact);
    const QLocale locale(localeName);
    const MediumDateTimeFormatter formatter(locale, QTimeZone::utc());
    const QString text = formatter.format(utcTime(2025, 3, 1, 9, 15));
    if (!exact.isEmpty())
        QCOMPARE(text, exact);

    QVERIFY2(!text.contains(locale.dayName(6, QLocale::LongFormat)), qPrintable(text));
    QVERIFY2(!text.contains(locale.dayName(6, QLocale::ShortFormat)), qPrintable(text));
    const QString shortMonth = locale.monthName(3, QLocale::ShortFormat);
    const QString longMonth = locale.monthName(3, QLocale::LongFormat);
    QVERIFY2(text.contains(shortMonth), qPrintable(text));
    if (longMonth != shortMonth)
        QVERIFY2(!text.contains(longMonth), qPrintable(text));
    const QString time = locale.toString(QTime(9, 15), locale.timeFormat(QLocale::ShortFormat));
    QVERIFY2(text.endsWith(u", "_s + time), qPrintable(text));
}

void TestMarkdownExport::convertsToZone_data()
{
    QTest::addColumn<Timestamp>("instant");
    QTest::addColumn<bool>("localTime");
    QTest::addColumn<int>("offsetSeconds"); // of the given zone
    QTest::addColumn<QString>("expected");

    const Timestamp lateEvening = utcTime(2025, 3, 1, 23, 30);
    QTest::newRow("UTC") << lateEvening << false << 0 << u"Mar 1, 2025, 11:30 PM"_s;
    QTest::newRow("ahead, next day")
        << lateEvening << false << 9 * 3600 << u"Mar 2, 2025, 8:30 AM"_s;
    QTest::newRow("behind, day before")
        << utcTime(2025, 3, 1, 2, 0) << false << -5 * 3600 << u"Feb 28, 2025, 9:00 PM"_s;
    // TZ is UTC+9 here (initTestCase).
    QTest::newRow("local time") << lateEvening << true << 0 << u"Mar 2, 2025, 8:30 AM"_s;
}

void TestMarkdownExport::convertsToZone()
{
    QFETCH(Timestamp, instant);
    QFETCH(bool, localTime);
    QFETCH(int, offsetSeconds);
    QFETCH(QString, expected);
    const MediumDateTimeFormatter formatter(
        enUS(), localTime ? std::nullopt : std::optional<QTimeZone>(QTimeZone(offsetSeconds)));
    QCOMPARE(formatter.format(instant), expected);
}

// Document

void TestMarkdownExport::document_data()
{
    QTest::addColumn<QList<NoteCard>>("cards");
    QTest::addColumn<QString>("expected");

    const Timestamp march = utcTime(2025, 3, 1, 9, 15);
    QTest::newRow("one card, empty content")
        << QList<NoteCard>{cardAt(QString(), u"yellow"_s, march)}
        << u"---\nCard 1 of 1 | Color: yellow | Mar 1, 2025, 9:15 AM\n---\n\n"_s;
    QTest::newRow("own final line feed kept, none added")
        << QList<NoteCard>{cardAt(u"a\n"_s, u"mint"_s, march),
                           cardAt(u"b\n\n"_s, u"sky"_s, utcTime(2024, 12, 24, 18, 5))}
        << u"---\nCard 1 of 2 | Color: mint | Mar 1, 2025, 9:15 AM\n---\n\na\n\n\n"
           u"---\nCard 2 of 2 | Color: sky | Dec 24, 2024, 6:05 PM\n---\n\nb\n\n"_s;
    QTest::newRow("no cards") << QList<NoteCard>() << QString();
}

void TestMarkdownExport::document()
{
    QFETCH(QList<NoteCard>, cards);
    QFETCH(QString, expected);
    const MediumDateTimeFormatter formatter(enUS(), QTimeZone::utc());
    QCOMPARE(MarkdownExport::document(cards, formatter), expected);
}

// Export through the store

void TestMarkdownExport::asksWithExportOptions()
{
    const auto store = storeWith({cardAt(u"x"_s, u"mint"_s, Timestamp{})});
    store->exportAllToMarkdown(recordCompletion());

    QCOMPARE(m_dialog.requests.size(), 1);
    QCOMPARE(m_dialog.openRequests(), 1);
    const SaveDialogOptions &options = m_dialog.requests.first();
    QCOMPARE(options.title, u"Export Pinlark Cards to Markdown"_s);
    QCOMPARE(options.acceptLabel, u"Export"_s);
    QCOMPARE(options.proposedName, u"Pinlark-Export.md"_s);
    QCOMPARE(options.nameFilters,
             QStringList{u"Markdown and plain text (*.md *.markdown *.txt)"_s});
    QCOMPARE(options.defaultSuffix, u"md"_s);
    QCOMPARE(options.directory, m_documents);
    // Asking returns at once; nothing is decided before the dialog answers.
    QVERIFY(m_completions.isEmpty());
    QVERIFY(m_sounds.played.isEmpty());
}

void TestMarkdownExport::startFolder_data()
{
    // Names of folders inside a temporary one; "-" is a path that does not exist, "file" a
    // plain file, "" an empty path.
    QTest::addColumn<QString>("last");
    QTest::addColumn<QString>("documents");
    QTest::addColumn<QString>("expected"); // "last", "documents" or "home"

    QTest::newRow("first export: documents") << u""_s << u"Documents"_s << u"documents"_s;
    QTest::newRow("after an export: its folder") << u"exports"_s << u"Documents"_s << u"last"_s;
    QTest::newRow("after an export, no documents: its folder")
        << u"exports"_s << u"-"_s << u"last"_s;
    QTest::newRow("last folder deleted since: documents")
        << u"-"_s << u"Documents"_s << u"documents"_s;
    QTest::newRow("last folder now a file: documents")
        << u"file"_s << u"Documents"_s << u"documents"_s;
    QTest::newRow("no documents folder: home") << u""_s << u"-"_s << u"home"_s;
    QTest::newRow("documents is a file: home") << u""_s << u"file"_s << u"home"_s;
    QTest::newRow("no documents location at all: home") << u""_s << u""_s << u"home"_s;
    QTest::newRow("neither exists: home") << u"-"_s << u"-"_s << u"home"_s;
}

void TestMarkdownExport::startFolder()
{
    QFETCH(QString, last);
    QFETCH(QString, documents);
    QFETCH(QString, expected);
    const QString root = m_dir->path();
    QVERIFY(QDir().mkpath(root + u"/exports"_s));
    QVERIFY(writeBytes(root + u"/file"_s, "x"));
    const auto path = [&root](const QString &name) -> QString {
        if (name.isEmpty())
            return QString();
        return root + u'/' + (name == u"-" ? u"missing"_s : name);
    };
    const QString home = root + u"/home"_s;
    const QString chosen = MarkdownExport::startFolder(path(last), path(documents), home);
    const QString wanted = expected == u"last"        ? path(last)
                           : expected == u"documents" ? path(documents)
                                                      : home;
    QCOMPARE(chosen, wanted);
}

// The first export starts in the documents folder, every later one where the last written one
// went; a cancelled or failed one changes nothing.
void TestMarkdownExport::dialogStartsWhereTheLastExportWent()
{
    const auto store = storeWith({cardAt(u"x"_s, u"mint"_s, Timestamp{})});
    const auto exportTo = [&](const OptionalUrl &answer) {
        store->exportAllToMarkdown(recordCompletion());
        return m_dialog.answer(answer);
    };
    QVERIFY(exportTo(std::nullopt));
    QVERIFY(exportTo(QUrl::fromLocalFile(m_exportFolder + u"/first.md"_s)));
    QVERIFY(exportTo(std::nullopt));
    QVERIFY(exportTo(QUrl::fromLocalFile(m_dir->path() + u"/missing/second.md"_s)));
    QVERIFY(exportTo(QUrl::fromLocalFile(m_documents + u"/third.md"_s)));
    store->exportAllToMarkdown(recordCompletion());

    QCOMPARE(m_dialog.requests.size(), 6);
    const QStringList expected = {m_documents,    m_documents,    m_exportFolder,
                                  m_exportFolder, m_exportFolder, m_documents};
    QStringList started;
    for (const SaveDialogOptions &options : m_dialog.requests)
        started.append(options.directory);
    QCOMPARE(started, expected);
    QCOMPARE(m_completions.size(), 5);
    QVERIFY(m_completions.at(1).has_value());
    QVERIFY(!m_completions.at(3).has_value()); // the folder did not exist
}

void TestMarkdownExport::exportsWholeStackInStoredOrder_data()
{
    QTest::addColumn<QByteArray>("existing"); // null: no file at the target yet

    QTest::newRow("new file") << QByteArray();
    QTest::newRow("replaces a longer file") << QByteArray(20000, 'x');
}

// The filter and the current card narrow what the popup shows, never what is exported.
void TestMarkdownExport::exportsWholeStackInStoredOrder()
{
    QFETCH(QByteArray, existing);
    const QList<NoteCard> cards{
        cardAt(u"Groceries #home\n- [ ] milk"_s, u"mint"_s, utcTime(2025, 1, 31, 23, 59)),
        cardAt(u"Grüße aus Köln ✓ #work — 日本語"_s, u"tangerine"_s, utcTime(2025, 3, 1, 9, 15)),
        cardAt(u"---\nnot a header\n---\n\n*raw* _text_ <b>"_s, u"sky"_s,
               utcTime(2025, 12, 31, 20, 0))};
    const auto store = storeWith(cards);
    store->setSelectedTag(u"#work"_s);
    store->setActiveIndex(1);
    QCOMPARE(store->activeCardIndices(), QList<qint64>{1});
    const QByteArray notesBefore = readBytes(notesPath());
    const QString target = m_exportFolder + u"/Pinlark-Export.md"_s;
    if (!existing.isNull())
        QVERIFY(writeBytes(target, existing));

    QSignalSpy changes(store.get(), &PinlarkStore::aboutToChange);
    store->exportAllToMarkdown(recordCompletion());
    QVERIFY(m_completions.isEmpty());
    QVERIFY(m_dialog.answer(QUrl::fromLocalFile(target)));

    // Local time is UTC+9 here.
    const QString expected = u"---\nCard 1 of 3 | Color: mint | Feb 1, 2025, 8:59 AM\n---\n\n"
                             u"Groceries #home\n- [ ] milk\n\n"
                             u"---\nCard 2 of 3 | Color: tangerine | Mar 1, 2025, 6:15 PM\n---\n\n"
                             u"Grüße aus Köln ✓ #work — 日本語\n\n"
                             u"---\nCard 3 of 3 | Color: sky | Jan 1, 2026, 5:00 AM\n---\n\n"
                             u"---\nnot a header\n---\n\n*raw* _text_ <b>"_s;
    QCOMPARE(readBytes(target), expected.toUtf8());
    QCOMPARE(entriesOf(m_exportFolder), QStringList{u"Pinlark-Export.md"_s});
    QCOMPARE(m_completions, QList<OptionalUrl>{QUrl::fromLocalFile(target)});
    QCOMPARE(m_sounds.played, QStringList{u"Glass"_s});
    QVERIFY(m_log.isEmpty());

    // Exporting leaves the stack, the view and the notes file as they were.
    QCOMPARE(changes.size(), 0);
    QCOMPARE(store->cards(), cards);
    QCOMPARE(store->activeIndex(), 1);
    QCOMPARE(readBytes(notesPath()), notesBefore);
    QVERIFY(!store->hasPendingSave());
}

void TestMarkdownExport::documentIsFixedWhenDialogOpens()
{
    const auto store = storeWith({cardAt(u"before"_s, u"peach"_s, utcTime(2025, 3, 1, 0, 15))});
    store->exportAllToMarkdown(recordCompletion());
    store->updateCurrentCard(u"after"_s);
    store->addCard();

    const QString target = m_exportFolder + u"/notes.md"_s;
    QVERIFY(m_dialog.answer(QUrl::fromLocalFile(target)));
    QCOMPARE(readBytes(target),
             "---\nCard 1 of 1 | Color: peach | Mar 1, 2025, 9:15 AM\n---\n\nbefore");
    QCOMPARE(m_completions, QList<OptionalUrl>{QUrl::fromLocalFile(target)});
    QCOMPARE(m_dialog.requests.size(), 1);
}

void TestMarkdownExport::cancelledExportWritesNothing_data()
{
    QTest::addColumn<OptionalUrl>("answer");

    QTest::newRow("cancelled") << OptionalUrl();
    QTest::newRow("accepted without a location") << OptionalUrl(QUrl());
}

void TestMarkdownExport::cancelledExportWritesNothing()
{
    QFETCH(OptionalUrl, answer);
    const auto store = storeWith({cardAt(u"x"_s, u"mint"_s, Timestamp{})});
    store->exportAllToMarkdown(recordCompletion());
    QVERIFY(m_dialog.answer(answer));

    QCOMPARE(m_completions, QList<OptionalUrl>{std::nullopt});
    QVERIFY(entriesOf(m_exportFolder).isEmpty());
    QVERIFY(m_sounds.played.isEmpty());
    QVERIFY(m_log.isEmpty());
}

void TestMarkdownExport::failedWriteKeepsTarget_data()
{
    QTest::addColumn<Obstacle>("obstacle");

    QTest::newRow("folder missing") << Obstacle::MissingFolder;
    QTest::newRow("a folder at the target") << Obstacle::FolderAtTarget;
    QTest::newRow("no room for the temporary name") << Obstacle::NoRoomForTemporaryName;
    QTest::newRow("read-only folder") << Obstacle::ReadOnlyFolder;
    QTest::newRow("not a local file") << Obstacle::RemoteUrl;
}

void TestMarkdownExport::failedWriteKeepsTarget()
{
    QFETCH(Obstacle, obstacle);
    if (obstacle == Obstacle::ReadOnlyFolder && !StoreTest::permissionBitsBind())
        QSKIP("root writes into read-only folders");

    const QByteArray existing = "an earlier export, kept whole";
    QString target = m_exportFolder + u"/Pinlark-Export.md"_s;
    QUrl location = QUrl::fromLocalFile(target);
    switch (obstacle) {
    case Obstacle::MissingFolder:
        target = m_exportFolder + u"/gone/Pinlark-Export.md"_s;
        location = QUrl::fromLocalFile(target);
        break;
    case Obstacle::FolderAtTarget:
        QVERIFY(QDir().mkpath(target));
        break;
    case Obstacle::NoRoomForTemporaryName:
        // The longest name a folder takes: the temporary file beside it cannot be named.
        target = m_exportFolder + u'/' + QString(252, u'n') + u".md"_s;
        location = QUrl::fromLocalFile(target);
        QVERIFY(writeBytes(target, existing));
        break;
    case Obstacle::ReadOnlyFolder:
        QVERIFY(writeBytes(target, existing));
        QVERIFY(QFile::setPermissions(m_exportFolder, QFile::ReadOwner | QFile::ExeOwner));
        break;
    case Obstacle::RemoteUrl:
        location = QUrl(u"https://example.com/Pinlark-Export.md"_s);
        break;
    }
    const QStringList entriesBefore = entriesOf(m_exportFolder);

    const auto store = storeWith({cardAt(u"x"_s, u"mint"_s, Timestamp{})});
    store->exportAllToMarkdown(recordCompletion());
    QVERIFY(m_dialog.answer(location));

    QCOMPARE(m_completions, QList<OptionalUrl>{std::nullopt});
    QVERIFY(m_sounds.played.isEmpty());
    QCOMPARE(m_log.size(), 1);
    QVERIFY2(m_log.first().startsWith(exportPrefix), qPrintable(m_log.first()));
    // The line says which file could not be written.
    const QString named = obstacle == Obstacle::RemoteUrl ? location.toDisplayString() : target;
    QVERIFY2(m_log.first().contains(named), qPrintable(m_log.first()));

    QCOMPARE(entriesOf(m_exportFolder), entriesBefore);
    switch (obstacle) {
    case Obstacle::MissingFolder:
        QVERIFY(!QFileInfo::exists(m_exportFolder + u"/gone"_s));
        break;
    case Obstacle::FolderAtTarget:
        QVERIFY(QFileInfo(target).isDir());
        break;
    case Obstacle::NoRoomForTemporaryName:
    case Obstacle::ReadOnlyFolder:
        QCOMPARE(readBytes(target), existing);
        break;
    case Obstacle::RemoteUrl:
        break;
    }
}

void TestMarkdownExport::answerAfterStoreIsGone_data()
{
    QTest::addColumn<bool>("writable");

    QTest::newRow("written") << true;
    QTest::newRow("write fails") << false;
}

// The dialog may outlive the store (the app quitting with it open): the export still ends
// once, and nothing reaches into the destroyed store.
void TestMarkdownExport::answerAfterStoreIsGone()
{
    QFETCH(bool, writable);
    auto store = storeWith({cardAt(u"kept"_s, u"mint"_s, utcTime(2025, 3, 1, 0, 15))});
    store->exportAllToMarkdown(recordCompletion());
    store.reset();

    const QString target =
        m_exportFolder + (writable ? u"/Pinlark-Export.md"_s : u"/gone/Pinlark-Export.md"_s);
    QVERIFY(m_dialog.answer(QUrl::fromLocalFile(target)));
    if (writable) {
        QCOMPARE(m_completions, QList<OptionalUrl>{QUrl::fromLocalFile(target)});
        QCOMPARE(readBytes(target),
                 "---\nCard 1 of 1 | Color: mint | Mar 1, 2025, 9:15 AM\n---\n\nkept");
    } else {
        QCOMPARE(m_completions, QList<OptionalUrl>{std::nullopt});
    }
    QVERIFY(m_sounds.played.isEmpty());
    QVERIFY(m_log.isEmpty()); // the store's logger went with it; the line goes to stdout
}

void TestMarkdownExport::withoutSaveDialogEndsAtOnce()
{
    const auto store = storeWith({cardAt(u"x"_s, u"mint"_s, Timestamp{})}, false);
    store->exportAllToMarkdown(recordCompletion());
    QCOMPARE(m_completions, QList<OptionalUrl>{std::nullopt});
    QVERIFY(m_sounds.played.isEmpty());
    QVERIFY(m_log.isEmpty());
}

// Notes folder

void TestMarkdownExport::openNotesFolder_data()
{
    QTest::addColumn<QString>("removed"); // relative to the temporary folder; empty: none

    QTest::newRow("folder present") << QString();
    QTest::newRow("folder deleted") << u"data/Pinlark"_s;
    QTest::newRow("its parent deleted too") << u"data"_s;
}

void TestMarkdownExport::openNotesFolder()
{
    QFETCH(QString, removed);
    const auto store = storeWith({cardAt(u"x"_s, u"mint"_s, Timestamp{})});
    const QByteArray notesBefore = readBytes(notesPath());
    if (!removed.isEmpty())
        QVERIFY(QDir(m_dir->path() + u'/' + removed).removeRecursively());

    store->openNotesFolder();
    QCOMPARE(m_workspace.opened, QList<QUrl>{QUrl::fromLocalFile(m_folder)});
    QVERIFY(QFileInfo(m_folder).isDir());
    if (removed.isEmpty()) {
        QCOMPARE(readBytes(notesPath()), notesBefore);
    } else {
        QCOMPARE(modeOf(m_folder), 0700);
        QVERIFY(entriesOf(m_folder).isEmpty()); // opening saves nothing
    }
    QVERIFY(!store->hasPendingSave());
    QVERIFY(m_sounds.played.isEmpty());
    QVERIFY(m_log.isEmpty());
}

QTEST_GUILESS_MAIN(TestMarkdownExport)
#include "tst_markdownexport.moc"
