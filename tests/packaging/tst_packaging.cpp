#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QString appId = u"app.pinlark.Pinlark"_s;
const QString trayIconName = u"plk-menubar"_s;
// The install goes under DESTDIR with the prefix the package uses, so a file installed to an
// absolute path outside the prefix shows up as a stray instead of landing on this machine.
const QString prefix = u"/usr"_s;

QString hicolor(const QString &folder, const QString &file)
{
    return u"usr/share/icons/hicolor/"_s + folder + u'/' + file;
}

// Every file the install puts on a system, relative to DESTDIR.
QStringList expectedFiles()
{
    QStringList files{
        u"usr/bin/pinlark"_s,
        u"usr/share/applications/"_s + appId + u".desktop"_s,
        u"usr/share/metainfo/"_s + appId + u".metainfo.xml"_s,
        hicolor(u"scalable/apps"_s, appId + u".svg"_s),
        hicolor(u"scalable/status"_s, trayIconName + u".svg"_s),
    };
    for (const int size : {48, 128, 256})
        files.append(hicolor(u"%1x%1/apps"_s.arg(size), appId + u".png"_s));
    for (const int size : {16, 22, 24, 32})
        files.append(hicolor(u"%1x%1/status"_s.arg(size), trayIconName + u".svg"_s));
    files.sort();
    return files;
}

struct ToolRun
{
    bool succeeded = false;
    QString output;
};

// Runs a program to its end; its output explains a failure.
ToolRun runTool(const QString &program, const QStringList &arguments,
                const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted())
        return {false, program + u": "_s + process.errorString()};
    if (!process.waitForFinished(-1))
        return {false, program + u": "_s + process.errorString()};
    const QString output = QString::fromLocal8Bit(process.readAll());
    const bool succeeded = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return {succeeded, program + u' ' + arguments.join(u' ') + u"\n"_s + output};
}

// The keys of a desktop file's [Desktop Entry] group.
QHash<QString, QString> desktopEntry(const QString &path)
{
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return keys;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inEntry = line == u"[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (inEntry && equals > 0 && !line.startsWith(u'#'))
            keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return keys;
}

struct Metainfo
{
    QString id;
    QString desktopId;
    QString binary;
};

Metainfo readMetainfo(const QString &path)
{
    Metainfo info;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return info;
    QXmlStreamReader xml(&file);
    QStringList elements;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement) {
            elements.removeLast();
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        elements.append(xml.name().toString());
        const QString where = elements.join(u'/');
        if (where == u"component/id") {
            info.id = xml.readElementText();
            elements.removeLast();
        } else if (where == u"component/launchable" &&
                   xml.attributes().value(u"type"_s) == u"desktop-id") {
            info.desktopId = xml.readElementText();
            elements.removeLast();
        } else if (where == u"component/provides/binary") {
            info.binary = xml.readElementText();
            elements.removeLast();
        }
    }
    if (xml.hasError())
        return {};
    return info;
}

[[nodiscard]] bool hicolorThemeIndexFound()
{
    const QStringList paths = QIcon::themeSearchPaths();
    return std::any_of(paths.cbegin(), paths.cend(), [](const QString &path) {
        return QFileInfo::exists(path + u"/hicolor/index.theme"_s);
    });
}

// Share of the pixels that stand out from a panel of the given colour once the icon is drawn
// over it.
double shareStandingOut(const QImage &icon, const QColor &panel)
{
    QImage composed(icon.size(), QImage::Format_ARGB32_Premultiplied);
    composed.fill(panel);
    {
        QPainter painter(&composed);
        painter.drawImage(0, 0, icon);
    }
    const int panelGray = qGray(panel.rgb());
    qsizetype standingOut = 0;
    for (int y = 0; y < composed.height(); ++y) {
        for (int x = 0; x < composed.width(); ++x) {
            if (qAbs(qGray(composed.pixel(x, y)) - panelGray) > 90)
                ++standingOut;
        }
    }
    return double(standingOut) / double(composed.width() * composed.height());
}

} // namespace

class TestPackaging final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void installsExactlyTheDesktopFiles();
    void validatorsAccept_data();
    void validatorsAccept();
    void launcherAndRecordPointAtInstalledFiles();
    void iconsAreReadable_data();
    void iconsAreReadable();
    void themeLookupFindsInstalledIcon_data();
    void themeLookupFindsInstalledIcon();
    void trayIconShowsOnLightAndDarkPanels_data();
    void trayIconShowsOnLightAndDarkPanels();

private:
    [[nodiscard]] QString installed(const QString &relative) const
    {
        return m_destDir->filePath(relative);
    }

    std::optional<QTemporaryDir> m_destDir;
};

void TestPackaging::initTestCase()
{
    m_destDir.emplace();
    QVERIFY(m_destDir->isValid());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DESTDIR"_s, m_destDir->path());
    const ToolRun install = runTool(
        QString::fromUtf8(PINLARK_CMAKE_COMMAND),
        {u"--install"_s, QString::fromUtf8(PINLARK_BUILD_DIR), u"--prefix"_s, prefix}, environment);
    QVERIFY2(install.succeeded, qPrintable(install.output));

    // Look icons up the way a desktop session does: through the XDG data folders, the
    // installed share folder first, in the theme every other theme falls back to.
    const QString systemDataDirs =
        qEnvironmentVariable("XDG_DATA_DIRS", u"/usr/local/share:/usr/share"_s);
    qputenv("XDG_DATA_DIRS", (installed(u"usr/share"_s) + u':' + systemDataDirs).toLocal8Bit());
    QIcon::setThemeSearchPaths(QStandardPaths::locateAll(
        QStandardPaths::GenericDataLocation, u"icons"_s, QStandardPaths::LocateDirectory));
    QIcon::setThemeName(u"hicolor"_s);
}

// The package is made from this install, so a file missing here is missing on every system
// and a stray one (a test tool, a file at an absolute path) would be shipped.
void TestPackaging::installsExactlyTheDesktopFiles()
{
    QStringList files;
    QDirIterator it(m_destDir->path(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(m_destDir->path()).relativeFilePath(it.next()));
    const QStringList expected = expectedFiles();
    QStringList missing;
    for (const QString &file : expected) {
        if (!files.contains(file))
            missing.append(file);
    }
    QStringList stray;
    for (const QString &file : std::as_const(files)) {
        if (!expected.contains(file))
            stray.append(file);
    }
    QVERIFY2(missing.isEmpty() && stray.isEmpty(),
             qPrintable(u"missing: "_s + missing.join(u", "_s) + u"; not expected: "_s +
                        stray.join(u", "_s)));
    QVERIFY(QFileInfo(installed(u"usr/bin/pinlark"_s)).isExecutable());
}

void TestPackaging::validatorsAccept_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("package");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("file");

    QTest::newRow("launcher") << u"desktop-file-validate"_s << u"desktop-file-utils"_s
                              << QStringList{}
                              << u"usr/share/applications/"_s + appId + u".desktop"_s;
    QTest::newRow("AppStream record")
        << u"appstreamcli"_s << u"appstream"_s << QStringList{u"validate"_s, u"--no-net"_s}
        << u"usr/share/metainfo/"_s + appId + u".metainfo.xml"_s;
}

void TestPackaging::validatorsAccept()
{
    QFETCH(QString, tool);
    QFETCH(QString, package);
    QFETCH(QStringList, arguments);
    QFETCH(QString, file);

    const QString program = QStandardPaths::findExecutable(tool);
    QVERIFY2(!program.isEmpty(),
             qPrintable(tool + u" is missing; ./dev deps installs "_s + package));
    const ToolRun run = runTool(program, arguments << installed(file));
    QVERIFY2(run.succeeded, qPrintable(run.output));
}

// The validators read one file each; the pieces must also name one another: the launcher's
// command and icon, and the AppStream record's launcher and binary.
void TestPackaging::launcherAndRecordPointAtInstalledFiles()
{
    const QString desktopFile = appId + u".desktop"_s;
    const QHash<QString, QString> entry =
        desktopEntry(installed(u"usr/share/applications/"_s + desktopFile));
    QVERIFY(!entry.isEmpty());

    const QString program = entry.value(u"Exec"_s).section(u' ', 0, 0);
    QVERIFY2(QFileInfo(installed(u"usr/bin/"_s + program)).isExecutable(), qPrintable(program));

    QVERIFY2(hicolorThemeIndexFound(),
             "no hicolor/index.theme; ./dev deps installs hicolor-icon-theme");
    const QString icon = entry.value(u"Icon"_s);
    QVERIFY2(QIcon::hasThemeIcon(icon), qPrintable(icon));

    const Metainfo metainfo =
        readMetainfo(installed(u"usr/share/metainfo/"_s + appId + u".metainfo.xml"_s));
    QCOMPARE(metainfo.id, appId);
    QCOMPARE(metainfo.desktopId, desktopFile);
    QCOMPARE(metainfo.binary, program);
}

void TestPackaging::iconsAreReadable_data()
{
    QTest::addColumn<QString>("file");

    for (const QString &file : expectedFiles()) {
        if (file.startsWith(u"usr/share/icons/"))
            QTest::newRow(qPrintable(file)) << file;
    }
}

void TestPackaging::iconsAreReadable()
{
    QFETCH(QString, file);

    const QString path = installed(file);
    // The folder names the size a fixed-size icon must have: .../48x48/apps/...
    const QString folder = file.section(u'/', -3, -3);
    if (file.endsWith(u".svg")) {
        QSvgRenderer renderer(path);
        QVERIFY(renderer.isValid());
        if (folder != u"scalable") {
            const int size = folder.section(u'x', 0, 0).toInt();
            QCOMPARE(renderer.defaultSize(), QSize(size, size));
        }
    } else {
        const QImage image(path);
        QVERIFY(!image.isNull());
        QCOMPARE(u"%1x%2"_s.arg(image.width()).arg(image.height()), folder);
        QVERIFY(image.hasAlphaChannel());
    }
}

void TestPackaging::themeLookupFindsInstalledIcon_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("file");

    // Panels ask for these sizes, and each has its own drawing on whole pixels. At 24 the
    // lookup takes the 22 drawing (the 22x22 folder also covers 24 and is searched first);
    // desktops that look for the nearest size take the 24 one.
    for (const int size : {16, 22, 32}) {
        QTest::addRow("tray icon at %d", size)
            << trayIconName << size
            << hicolor(u"%1x%1/status"_s.arg(size), trayIconName + u".svg"_s);
    }
    QTest::newRow("tray icon at 48")
        << trayIconName << 48 << hicolor(u"scalable/status"_s, trayIconName + u".svg"_s);
    QTest::newRow("application icon at 48")
        << appId << 48 << hicolor(u"48x48/apps"_s, appId + u".png"_s);
}

// The theme lookup must find the icon by name and take, for each size, the installed file
// meant for it: a file in the wrong folder or under the wrong name draws a different picture.
void TestPackaging::themeLookupFindsInstalledIcon()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(QString, file);

    QVERIFY2(hicolorThemeIndexFound(),
             "no hicolor/index.theme; ./dev deps installs hicolor-icon-theme");
    QVERIFY(QIcon::hasThemeIcon(name));
    const QImage found = QIcon::fromTheme(name).pixmap(size).toImage();
    const QImage expected = QIcon(installed(file)).pixmap(size).toImage();
    QCOMPARE(found.size(), QSize(size, size));
    QCOMPARE(found.convertToFormat(QImage::Format_ARGB32_Premultiplied),
             expected.convertToFormat(QImage::Format_ARGB32_Premultiplied));
}

void TestPackaging::trayIconShowsOnLightAndDarkPanels_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("size");

    for (const int size : {16, 22, 24, 32}) {
        QTest::addRow("%dx%d", size, size)
            << hicolor(u"%1x%1/status"_s.arg(size), trayIconName + u".svg"_s) << size;
    }
    QTest::newRow("scalable") << hicolor(u"scalable/status"_s, trayIconName + u".svg"_s) << 22;
}

// The installed icon cannot follow the panel's colour, so a good part of it must stand out
// from a light panel and a good part from a dark one.
void TestPackaging::trayIconShowsOnLightAndDarkPanels()
{
    QFETCH(QString, file);
    QFETCH(int, size);

    QSvgRenderer renderer(installed(file));
    QVERIFY(renderer.isValid());
    QImage icon(size, size, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    {
        QPainter painter(&icon);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
    }

    constexpr double enough = 0.1;
    for (const QColor &panel : {QColor(0xf6, 0xf5, 0xf4), QColor(0x24, 0x24, 0x24)}) {
        const double share = shareStandingOut(icon, panel);
        QVERIFY2(share >= enough, qPrintable(u"%1 of the icon stands out from %2"_s.arg(
                                      QString::number(share), panel.name())));
    }
}

QTEST_MAIN(TestPackaging)
#include "tst_packaging.moc"
