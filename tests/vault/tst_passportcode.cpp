#include "vault/PinlarkVaultSync.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSet>
#include <QTest>

#include <array>

using namespace Qt::StringLiterals;

namespace {

QJsonObject vectors()
{
    QFile file(QString::fromUtf8(PINLARK_VECTORS));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read the Vault vectors");
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

class TestPassportCode final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void knownHashes_data();
    void knownHashes();
    void normalizeCode_data();
    void normalizeCode();
    void hashIsSha256OfNormalForm_data();
    void hashIsSha256OfNormalForm();
    void generatedCodes();
};

void TestPassportCode::initTestCase()
{
    // Upper-casing must not follow the locale: in Turkish, "i" would become "İ" and vanish.
    QLocale::setDefault(QLocale(QLocale::Turkish, QLocale::Turkey));
}

void TestPassportCode::knownHashes_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("normalized");
    QTest::addColumn<QString>("hash");

    const QJsonArray rows = vectors().value(u"vaultHash"_s).toArray();
    QVERIFY(!rows.isEmpty());
    for (const QJsonValue &row : rows) {
        const QString code = row[u"code"_s].toString();
        QTest::addRow("%s", code.toUtf8().toPercentEncoding().constData())
            << code << row[u"normalized"_s].toString() << row[u"hash"_s].toString();
    }
}

void TestPassportCode::knownHashes()
{
    QFETCH(QString, code);
    QFETCH(QString, normalized);
    QFETCH(QString, hash);
    QCOMPARE(PinlarkVaultSync::normalizeCode(code), normalized);
    QCOMPARE(PinlarkVaultSync::vaultHash(code), hash);
}

void TestPassportCode::normalizeCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("normalized");

    QTest::newRow("ends trimmed, inner space dropped") << u"  plk-ab3 cd\n"_s << u"PLK-AB3CD"_s;
    QTest::newRow("ideographic space and next line")
        << QString::fromUtf16(u"\u3000plk-7kq2mx\u0085") << u"PLK-7KQ2MX"_s;
    QTest::newRow("every kind of white space")
        << QString::fromUtf16(
               u"\t\v\f\r\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f x \u3000\u0085\n")
        << u"X"_s;
    QTest::newRow("byte-order mark is not space but dropped")
        << QString(QChar(0xfeff) + u"plk-1\ufeff"_s) << u"PLK-1"_s;
    QTest::newRow("sharp s becomes SS") << u"plk-straße"_s << u"PLK-STRASSE"_s;
    QTest::newRow("fi ligature becomes FI") << QString::fromUtf16(u"\ufb01x") << u"FIX"_s;
    QTest::newRow("dotted i in any locale") << u"plk-mix"_s << u"PLK-MIX"_s;
    QTest::newRow("dotless i upper-cases to I") << QString::fromUtf16(u"\u0131") << u"I"_s;
    QTest::newRow("punctuation dropped") << u"plk_ab.c"_s << u"PLKABC"_s;
    QTest::newRow("accented capital dropped") << u"café"_s << u"CAF"_s;
    QTest::newRow("no prefix added") << u"abc123"_s << u"ABC123"_s;
    QTest::newRow("O and 0 kept apart") << u"plk-o0O0"_s << u"PLK-O0O0"_s;
    QTest::newRow("hyphens stay where they are") << u"--a--b-"_s << u"--A--B-"_s;
    QTest::newRow("full-width letters are not ASCII")
        << QString::fromUtf16(u"\uff30\uff2c\uff2b") << QString();
    QTest::newRow("letter outside the BMP") << QString::fromUtf16(u"a\U0001D400b") << u"AB"_s;
    QTest::newRow("only spaces and punctuation") << u" .,;!? \t_"_s << QString();
    QTest::newRow("empty") << QString() << QString();
}

void TestPassportCode::normalizeCode()
{
    QFETCH(QString, code);
    QFETCH(QString, normalized);
    QCOMPARE(PinlarkVaultSync::normalizeCode(code), normalized);
    QCOMPARE(PinlarkVaultSync::normalizeCode(normalized), normalized);
}

void TestPassportCode::hashIsSha256OfNormalForm_data()
{
    QTest::addColumn<QString>("code");

    QTest::newRow("raw code") << u" plk-7kq2mx "_s;
    QTest::newRow("long") << QString(300, u'q');
    QTest::newRow("filtered away") << u"é!"_s;
}

// Against Qt's SHA-256, an implementation independent of the one under test.
void TestPassportCode::hashIsSha256OfNormalForm()
{
    QFETCH(QString, code);
    const QByteArray text = "pinlark-vault-id:" + PinlarkVaultSync::normalizeCode(code).toUtf8();
    const QString expected =
        QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
    QCOMPARE(PinlarkVaultSync::vaultHash(code), expected);
}

void TestPassportCode::generatedCodes()
{
    const QString &alphabet = PinlarkVaultSync::passportAlphabet;
    QCOMPARE(alphabet.size(), 32);

    // Over 4000 codes a character that can appear is missing from a position with a
    // probability below 1e-50: this fails only for a character that never comes up.
    std::array<QSet<QChar>, 6> seen;
    for (int i = 0; i < 4000; ++i) {
        const std::optional<QString> code = PinlarkVaultSync::generatePassportCode();
        QVERIFY(code);
        QCOMPARE(code->size(), 10);
        QVERIFY2(code->startsWith(u"PLK-"), qPrintable(*code));
        for (std::size_t pos = 0; pos < seen.size(); ++pos) {
            const QChar c = code->at(qsizetype(4 + pos));
            QVERIFY2(alphabet.contains(c), qPrintable(*code));
            seen[pos].insert(c);
        }
        QCOMPARE(PinlarkVaultSync::normalizeCode(*code), *code);
    }
    for (std::size_t pos = 0; pos < seen.size(); ++pos)
        QCOMPARE(seen[pos].size(), alphabet.size());
}

QTEST_GUILESS_MAIN(TestPassportCode)
#include "tst_passportcode.moc"
