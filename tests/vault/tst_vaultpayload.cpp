#include "model/NoteJSON.h"
#include "tests/support/TestPrinters.h"
#include "vault/PinlarkVaultSync.h"
#include "vault/VaultPayload.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>
#include <memory>
#include <openssl/evp.h>

using namespace Qt::StringLiterals;
using PinlarkVaultSync::CardDeletion;
using PinlarkVaultSync::VaultStack;
using PinlarkVaultSync::detail::SecretKey;

namespace {

QString describe(const SyncError &error)
{
    return error.domain + u' ' + QString::number(error.code) + u": "_s +
           error.message.value_or(u"(no message)"_s);
}

} // namespace

inline char *toString(const SyncError &error)
{
    return QTest::toString(describe(error));
}

inline char *toString(const CardDeletion &deletion)
{
    return QTest::toString(u"CardDeletion("_s + deletion.id + u", deleted "_s +
                           NoteJSON::isoString(deletion.deletedAt) + u", saw "_s +
                           NoteJSON::isoString(deletion.updatedAt) + u')');
}

namespace {

using CardsResult = Result<QList<NoteCard>, SyncError>;
using KeyResult = Result<SecretKey, SyncError>;

const SyncError corrupted =
    SyncError::pinlark(SyncError::CorruptedPayload, u"Corrupted vault payload"_s);
const SyncError authenticationFailed{
    SyncError::cipherDomain, 1,
    u"The Vault payload could not be opened: wrong passport code or altered data"_s};

QJsonObject vectors()
{
    QFile file(QString::fromUtf8(PINLARK_VECTORS));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read the Vault vectors");
    return QJsonDocument::fromJson(file.readAll()).object();
}

QByteArray fromHex(const QJsonValue &value)
{
    return QByteArray::fromHex(value.toString().toLatin1());
}

QByteArray fromBase64(const QString &text)
{
    return QByteArray::fromBase64(text.toLatin1());
}

const unsigned char *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}

SecretKey keyFrom(const QByteArray &bytes)
{
    SecretKey key;
    std::copy_n(bytesOf(bytes), std::min<qsizetype>(bytes.size(), SecretKey::size()), key.data());
    return key;
}

// Always the same key, without PBKDF2; notes the salts it was asked about.
PinlarkVaultSync::detail::KeyForSalt fixedKey(const QByteArray &key,
                                              QList<QByteArray> *askedFor = nullptr)
{
    return [key, askedFor](QByteArrayView salt) -> KeyResult {
        if (askedFor)
            askedFor->append(salt.toByteArray());
        return keyFrom(key);
    };
}

// AES-256-GCM written straight against libcrypto, independent of the code under test.
struct GcmContextFree
{
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using GcmContext = std::unique_ptr<EVP_CIPHER_CTX, GcmContextFree>;

// The base64 payload of `plain` sealed under `key`.
QString sealed(const QByteArray &key, const QByteArray &salt, const QByteArray &nonce,
               const QByteArray &plain)
{
    QByteArray payload = salt + nonce + QByteArray(plain.size() + 16, '\0');
    auto *cipher = reinterpret_cast<unsigned char *>(payload.data()) + 28;
    const GcmContext context(EVP_CIPHER_CTX_new());
    int written = 0;
    int last = 0;
    if (!context ||
        EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, bytesOf(key),
                           bytesOf(nonce)) != 1 ||
        (!plain.isEmpty() && EVP_EncryptUpdate(context.get(), cipher, &written, bytesOf(plain),
                                               int(plain.size())) != 1) ||
        EVP_EncryptFinal_ex(context.get(), cipher + written, &last) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, 16, cipher + plain.size()) != 1)
        qFatal("sealing failed");
    return QString::fromLatin1(payload.toBase64());
}

// The clear text of a raw payload, or nothing when it does not open under `key`.
std::optional<QByteArray> opened(const QByteArray &key, const QByteArray &payload)
{
    const qsizetype cipherSize = payload.size() - 44;
    QByteArray plain(cipherSize, '\0');
    QByteArray tag = payload.right(16);
    const GcmContext context(EVP_CIPHER_CTX_new());
    int written = 0;
    int last = 0;
    if (!context ||
        EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, bytesOf(key),
                           bytesOf(payload) + 16) != 1 ||
        (cipherSize > 0 &&
         EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char *>(plain.data()), &written,
                           bytesOf(payload) + 28, int(cipherSize)) != 1) ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(context.get(), reinterpret_cast<unsigned char *>(plain.data()),
                            &last) != 1)
        return std::nullopt;
    return plain;
}

// The cards of the vectors file, read member by member.
QList<NoteCard> cardsOf(const QJsonArray &rows)
{
    QList<NoteCard> cards;
    for (const QJsonValue &row : rows) {
        NoteCard card;
        card.id = row[u"id"_s].toString();
        card.content = row[u"content"_s].toString();
        card.color = row[u"color"_s].toString();
        card.createdAt = NoteJSON::parseIsoString(row[u"createdAt"_s].toString()).value();
        card.updatedAt = NoteJSON::parseIsoString(row[u"updatedAt"_s].toString()).value();
        if (row.toObject().contains(u"pinned"_s))
            card.isPinned = row[u"pinned"_s].toBool();
        cards.append(card);
    }
    return cards;
}

NoteCard card(const QString &id, const QString &content, double updatedAt,
              std::optional<bool> pinned = std::nullopt)
{
    NoteCard result;
    result.id = id;
    result.content = content;
    result.color = u"peach"_s;
    result.isPinned = pinned;
    result.createdAt = Timestamp{-1.25};
    result.updatedAt = Timestamp{updatedAt};
    return result;
}

QByteArray flipped(QByteArray bytes, qsizetype bit)
{
    bytes[bit / 8] = char(bytes.at(bit / 8) ^ (1 << (bit % 8)));
    return bytes;
}

} // namespace

class TestVaultPayload final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void derivesKnownKey();
    void opensKnownPayloads();
    void codeForms_data();
    void codeForms();
    void sealsLikeTheVector();
    void envelopeForm();
    void roundTripIsFreshEachTime();
    void largePayloadsAreStandardBase64_data();
    void largePayloadsAreStandardBase64();
    void rejectsMalformedText_data();
    void rejectsMalformedText();
    void rejectsShortPayloads();
    void everyFlippedBitFails();
    void passesOnKeyFailure();
    void readsEnvelope_data();
    void readsEnvelope();
    void deletionsLeaveTheCardsAlone_data();
    void deletionsLeaveTheCardsAlone();
    void deletionsRoundTrip();
    void randomSourceFails_data();
    void randomSourceFails();
    void movedKeyIsWiped();

private:
    QJsonObject m_payload;   // the "payloads" row of the vectors
    QJsonObject m_emptyList; // the "emptyList" row
    QByteArray m_vectorKey;  // the key of m_payload, from the vectors
    QByteArray m_emptyKey;   // the key of m_emptyList, derived once here
    QList<NoteCard> m_vectorCards;
};

void TestVaultPayload::initTestCase()
{
    const QJsonObject all = vectors();
    m_payload = all.value(u"payloads"_s).toArray().at(0).toObject();
    m_emptyList = all.value(u"emptyList"_s).toObject();
    const QJsonObject kdf = all.value(u"pbkdf2"_s).toArray().at(0).toObject();
    QCOMPARE(kdf[u"saltHex"_s], m_payload[u"saltHex"_s]);
    QCOMPARE(kdf[u"code"_s], m_payload[u"code"_s]);
    m_vectorKey = fromHex(kdf[u"keyHex"_s]);
    QCOMPARE(m_vectorKey.size(), 32);

    m_vectorCards = cardsOf(m_payload[u"cards"_s].toArray());
    QCOMPARE(m_vectorCards.size(), 3);
    // The rows this file relies on: an explicit false and an absent pin flag.
    QCOMPARE(m_vectorCards.at(1).isPinned, std::optional<bool>(false));
    QVERIFY(!m_vectorCards.at(2).isPinned.has_value());

    const auto key = PinlarkVaultSync::detail::deriveKey(
        m_emptyList[u"code"_s].toString(),
        fromBase64(m_emptyList[u"base64"_s].toString()).left(16));
    QVERIFY(key.ok());
    m_emptyKey = QByteArray(reinterpret_cast<const char *>(key.value().data()), 32);
}

void TestVaultPayload::derivesKnownKey()
{
    const QJsonObject row = vectors().value(u"pbkdf2"_s).toArray().at(0).toObject();
    QCOMPARE(row[u"iterations"_s].toInt(), PinlarkVaultSync::detail::kdfIterations);
    const QByteArray salt = fromHex(row[u"saltHex"_s]);

    for (const QString &code : {row[u"code"_s].toString(), u"\tplk-7kq2mx\n"_s}) {
        const auto key = PinlarkVaultSync::detail::deriveKey(code, salt);
        QVERIFY(key.ok());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(key.value().data()), 32).toHex(),
                 m_vectorKey.toHex());
    }
}

void TestVaultPayload::opensKnownPayloads()
{
    const auto cards = PinlarkVaultSync::decrypt(m_payload[u"base64"_s].toString(),
                                                 m_payload[u"code"_s].toString());
    QVERIFY2(cards.ok(), cards.ok() ? "" : qPrintable(describe(cards.error())));
    QCOMPARE(cards.value(), m_vectorCards);
    QVERIFY(!cards.value().at(2).isPinned.has_value());

    const auto empty = PinlarkVaultSync::decrypt(m_emptyList[u"base64"_s].toString(),
                                                 m_emptyList[u"code"_s].toString());
    QVERIFY2(empty.ok(), empty.ok() ? "" : qPrintable(describe(empty.error())));
    QVERIFY(empty.value().isEmpty());
}

void TestVaultPayload::codeForms_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("opens");

    QTest::newRow("lower case") << u"plk-7kq2mx"_s << true;
    QTest::newRow("surrounding white space")
        << QString::fromUtf16(u" \u3000PLK-7KQ2MX\r\n") << true;
    QTest::newRow("dropped characters") << u"PLK-7KQ.2MX!"_s << true;
    QTest::newRow("one character differs") << u"PLK-7KQ2MY"_s << false;
    QTest::newRow("hyphen missing") << u"PLK7KQ2MX"_s << false;
    QTest::newRow("empty") << QString() << false;
}

void TestVaultPayload::codeForms()
{
    QFETCH(QString, code);
    QFETCH(bool, opens);
    const auto cards = PinlarkVaultSync::decrypt(m_payload[u"base64"_s].toString(), code);
    QCOMPARE(cards.ok(), opens);
    if (opens)
        QCOMPARE(cards.value(), m_vectorCards);
    else
        QCOMPARE(cards.error(), authenticationFailed);
}

void TestVaultPayload::sealsLikeTheVector()
{
    const QByteArray salt = fromHex(m_payload[u"saltHex"_s]);
    const QByteArray nonce = fromHex(m_payload[u"nonceHex"_s]);
    const Timestamp at =
        NoteJSON::parseIsoString(m_payload[u"envelopeUpdatedAt"_s].toString()).value();
    QList<QByteArray> blocks{salt, nonce};
    const auto random = [&blocks](unsigned char *bytes, int count) {
        if (blocks.isEmpty() || blocks.first().size() != count)
            return false;
        std::copy_n(bytesOf(blocks.first()), count, bytes);
        blocks.removeFirst();
        return true;
    };

    const auto text = PinlarkVaultSync::detail::encrypt(
        m_vectorCards, m_payload[u"code"_s].toString(), random, at);
    QVERIFY2(text.ok(), text.ok() ? "" : qPrintable(describe(text.error())));
    QVERIFY(blocks.isEmpty());
    QVERIFY(!text.value().contains(u'\n'));
    QCOMPARE(text.value().size() % 4, 0);

    // Salt and nonce where the vector has them, the envelope sealed under the vector's key.
    const QByteArray payload = fromBase64(text.value());
    const QByteArray envelope = PinlarkVaultSync::detail::encodeEnvelope(m_vectorCards, at);
    QCOMPARE(payload.left(28).toHex(),
             fromBase64(m_payload[u"base64"_s].toString()).left(28).toHex());
    QCOMPARE(payload.size(), 44 + envelope.size());
    QCOMPARE(opened(m_vectorKey, payload).value_or("(does not open)"), envelope);

    const auto cards = PinlarkVaultSync::detail::decrypt(text.value(), fixedKey(m_vectorKey));
    QVERIFY(cards.ok());
    QCOMPARE(cards.value(), m_vectorCards);
}

void TestVaultPayload::envelopeForm()
{
    const QList<NoteCard> cards{
        card(u"b"_s, QChar(0xfeff) + u"opens with a byte-order mark"_s, 3.0, true),
        card(u"a"_s, u"line\nbreak \"quoted\" \U0001F4A1"_s, -7.5),
    };
    const Timestamp at{762513302.125};
    const QByteArray json = PinlarkVaultSync::detail::encodeEnvelope(cards, at);

    QJsonParseError error{};
    const QJsonObject envelope = QJsonDocument::fromJson(json, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(envelope.keys(), (QStringList{u"app"_s, u"cards"_s, u"updatedAt"_s, u"version"_s}));
    QCOMPARE(envelope[u"version"_s], QJsonValue(1));
    QCOMPARE(envelope[u"app"_s], QJsonValue(u"pinlark"_s));
    QCOMPARE(envelope[u"updatedAt"_s], QJsonValue(u"2025-03-01T09:15:02.125Z"_s));
    QCOMPARE(envelope[u"cards"_s].toArray(), NoteJSON::cardsToJson(cards));

    const auto back = PinlarkVaultSync::detail::decodeEnvelope(json);
    QVERIFY(back.ok());
    QCOMPARE(back.value(), cards);
}

void TestVaultPayload::roundTripIsFreshEachTime()
{
    // Times in the payload keep whole milliseconds.
    const QList<NoteCard> cards{card(u"x"_s, u"first"_s, 10.0004, false),
                                card(u"y"_s, QString(), -0.0016)};
    QList<NoteCard> expected = cards;
    expected[0].updatedAt = Timestamp{10.0};
    expected[1].updatedAt = Timestamp{-0.002};

    const auto first = PinlarkVaultSync::encrypt(cards, u"PLK-ROUND2"_s);
    const auto second = PinlarkVaultSync::encrypt(cards, u"PLK-ROUND2"_s);
    QVERIFY(first.ok() && second.ok());
    QCOMPARE_NE(fromBase64(first.value()).left(16), fromBase64(second.value()).left(16));
    QCOMPARE_NE(fromBase64(first.value()).mid(16, 12), fromBase64(second.value()).mid(16, 12));

    for (const QString &text : {first.value(), second.value()}) {
        const auto back = PinlarkVaultSync::decrypt(text, u" plk-round2 "_s);
        QVERIFY2(back.ok(), back.ok() ? "" : qPrintable(describe(back.error())));
        QCOMPARE(back.value(), expected);
    }
}

void TestVaultPayload::largePayloadsAreStandardBase64_data()
{
    QTest::addColumn<int>("cardCount");
    QTest::addColumn<int>("extraBytes");

    // Large payloads are coded in chunks, and from 1 MiB on in two halves on two threads;
    // the extra bytes of content move the end through each padding.
    QTest::newRow("a few chunks") << 300 << 0;
    QTest::newRow("two halves") << 2500 << 0;
    QTest::newRow("two halves, one more byte") << 2500 << 1;
    QTest::newRow("two halves, two more bytes") << 2500 << 2;
}

// The text of a large payload is what Qt's base64 coder makes of its bytes, and reads back.
void TestVaultPayload::largePayloadsAreStandardBase64()
{
    QFETCH(int, cardCount);
    QFETCH(int, extraBytes);
    QList<NoteCard> cards;
    for (int i = 0; i < cardCount; ++i)
        cards.append(card(u"card_"_s + QString::number(i),
                          QString(400 + i % 7, QChar(u'a' + i % 26)), double(i)));
    cards.last().content += QString(extraBytes, u'z');

    const auto text = PinlarkVaultSync::encrypt(cards, u"PLK-LARGE7"_s);
    QVERIFY(text.ok());
    QCOMPARE(text.value(), QString::fromLatin1(fromBase64(text.value()).toBase64()));
    const auto back = PinlarkVaultSync::decrypt(text.value(), u"PLK-LARGE7"_s);
    QVERIFY2(back.ok(), back.ok() ? "" : qPrintable(describe(back.error())));
    QCOMPARE(back.value(), cards);
}

void TestVaultPayload::rejectsMalformedText_data()
{
    QTest::addColumn<QString>("text");

    const QString valid = m_emptyList[u"base64"_s].toString();
    // 49 bytes: their text ends in "==".
    const QString padded = QString::fromLatin1(fromBase64(valid).left(49).toBase64());
    QVERIFY(padded.endsWith(u"=="));

    QTest::newRow("empty") << QString();
    QTest::newRow("space inside") << QString(valid.left(40) + u' ' + valid.mid(40));
    QTest::newRow("leading space") << QString(u' ' + valid);
    QTest::newRow("line breaks every 76") << QString(valid.left(76) + u"\r\n"_s + valid.mid(76));
    QTest::newRow("trailing line feed") << QString(valid + u'\n');
    QTest::newRow("URL-safe alphabet") << QString(valid).replace(u'+', u'-').replace(u'/', u'_');
    QTest::newRow("padding dropped") << padded.chopped(2);
    QTest::newRow("one padding of two dropped") << padded.chopped(1);
    QTest::newRow("three padding characters") << QString(valid.chopped(3) + u"==="_s);
    QTest::newRow("padding in the middle") << QString(padded + valid);
    QTest::newRow("non-Latin-1 letter")
        << QString(valid.chopped(4) + QString::fromUtf16(u"\uff21AAA"));
    QTest::newRow("Latin-1 letter") << QString(valid.chopped(4) + u"éAAA"_s);
    QTest::newRow("NUL") << QString(valid.chopped(4) + QChar(0) + u"AAA"_s);
    QTest::newRow("JSON string") << QString(u'"' + valid.chopped(2) + u'"');
}

void TestVaultPayload::rejectsMalformedText()
{
    QFETCH(QString, text);
    QList<QByteArray> askedFor;
    const auto cards = PinlarkVaultSync::detail::decrypt(text, fixedKey(m_emptyKey, &askedFor));
    QVERIFY(!cards.ok());
    QCOMPARE(cards.error(), corrupted);
    QVERIFY(askedFor.isEmpty());
}

void TestVaultPayload::rejectsShortPayloads()
{
    QByteArray bytes;
    for (int size = 0; size < 44; ++size) {
        QList<QByteArray> askedFor;
        const auto cards = PinlarkVaultSync::detail::decrypt(QString::fromLatin1(bytes.toBase64()),
                                                             fixedKey(m_emptyKey, &askedFor));
        QVERIFY(!cards.ok());
        QCOMPARE(cards.error(), corrupted);
        QVERIFY(askedFor.isEmpty());
        bytes.append(char(size * 37));
    }

    // 44 bytes pass the length check, and have nothing to authenticate.
    bytes.append('x');
    QList<QByteArray> askedFor;
    const auto garbage = PinlarkVaultSync::detail::decrypt(QString::fromLatin1(bytes.toBase64()),
                                                           fixedKey(m_emptyKey, &askedFor));
    QCOMPARE(askedFor, QList<QByteArray>{bytes.left(16)});
    QVERIFY(!garbage.ok());
    QCOMPARE(garbage.error(), authenticationFailed);

    // A real seal of nothing opens, and then holds no envelope.
    const QString empty = sealed(m_emptyKey, bytes.left(16), bytes.mid(16, 12), QByteArray());
    QCOMPARE(fromBase64(empty).size(), 44);
    const auto nothing = PinlarkVaultSync::detail::decrypt(empty, fixedKey(m_emptyKey));
    QVERIFY(!nothing.ok());
    QCOMPARE(nothing.error().domain, SyncError::jsonDomain);
    QVERIFY2(nothing.error().message->startsWith(
                 u"The Vault payload holds no readable cards: not valid JSON"),
             qPrintable(describe(nothing.error())));
}

void TestVaultPayload::everyFlippedBitFails()
{
    const QByteArray payload = fromBase64(m_emptyList[u"base64"_s].toString());
    QVERIFY(PinlarkVaultSync::detail::decrypt(QString::fromLatin1(payload.toBase64()),
                                              fixedKey(m_emptyKey))
                .ok());

    // Nonce, ciphertext and tag, under the payload's own key.
    for (qsizetype bit = 16 * 8; bit < payload.size() * 8; ++bit) {
        const QString text = QString::fromLatin1(flipped(payload, bit).toBase64());
        const auto cards = PinlarkVaultSync::detail::decrypt(text, fixedKey(m_emptyKey));
        QVERIFY2(!cards.ok(), qPrintable(u"bit "_s + QString::number(bit)));
        QCOMPARE(cards.error(), authenticationFailed);
    }
    // The salt: another salt gives another key.
    for (const qsizetype bit : {0, 16 * 8 - 1}) {
        const QString text = QString::fromLatin1(flipped(payload, bit).toBase64());
        const auto cards = PinlarkVaultSync::decrypt(text, m_emptyList[u"code"_s].toString());
        QVERIFY(!cards.ok());
        QCOMPARE(cards.error(), authenticationFailed);
    }
}

void TestVaultPayload::passesOnKeyFailure()
{
    const SyncError failure =
        SyncError::pinlark(SyncError::KeyDerivationFailed, u"PBKDF2 derivation failed"_s);
    const auto cards = PinlarkVaultSync::detail::decrypt(
        m_payload[u"base64"_s].toString(),
        [&failure](QByteArrayView) { return KeyResult::failure(failure); });
    QVERIFY(!cards.ok());
    QCOMPARE(cards.error(), failure);
}

void TestVaultPayload::readsEnvelope_data()
{
    QTest::addColumn<QByteArray>("envelope");
    QTest::addColumn<QString>("problem"); // empty: the envelope is read

    const QByteArray cards =
        R"([{"id":"k","content":"c","color":"sky","createdAt":0,"updatedAt":"2001-01-01T00:00:01Z"}])";
    const auto envelope = [&cards](const char *version, const char *app) -> QByteArray {
        return R"({"version":)" + QByteArray(version) + R"(,"app":)" + app +
               R"(,"updatedAt":"2025-03-01T00:00:00.000Z","cards":)" + cards + "}";
    };
    // The same with other cards, and "cards" last.
    const auto withCards = [](const char *list) -> QByteArray {
        return R"({"version":1,"app":"","updatedAt":"","cards":)" + QByteArray(list) + "}";
    };

    QTest::newRow("as written") << envelope("1", R"("pinlark")") << QString();
    QTest::newRow("other version and app") << envelope("2", R"("other")") << QString();
    QTest::newRow("version 1.0") << envelope("1.0", R"("pinlark")") << QString();
    QTest::newRow("negative version") << envelope("-7", R"("pinlark")") << QString();
    QTest::newRow("any order, extra member")
        << QByteArray(R"({"cards":)" + cards +
                      R"(,"extra":{"x":[1]},"updatedAt":"not checked","app":"","version":0})")
        << QString();
    // The usual shape is read without building a document; around it, the result is Qt's.
    QTest::newRow("spread over lines")
        << QByteArray("{\n  \"version\" : 1,\r\n\t\"app\": \"pinlark\",\n  \"updatedAt\": \"x\",\n"
                      "  \"cards\": " +
                      cards + "\n}\n")
        << QString();
    QTest::newRow("escaped app") << envelope("1", R"("pin\u006cark")") << QString();
    QTest::newRow("leading zero") << envelope("01", R"("pinlark")") << u"not valid JSON"_s;
    QTest::newRow("text after the envelope")
        << QByteArray(envelope("1", R"("pinlark")") + " {}") << u"not valid JSON"_s;
    QTest::newRow("card list not closed")
        << QByteArray(R"({"version":1,"app":"","updatedAt":"","cards":[{"id":"]"})")
        << u"not valid JSON"_s;
    QTest::newRow("version a string")
        << envelope(R"("1")", R"("pinlark")") << u"member \"version\" is not an integer"_s;
    QTest::newRow("version 1.5") << envelope("1.5", R"("pinlark")")
                                 << u"member \"version\" is not an integer"_s;
    QTest::newRow("app a number") << envelope("1", "5") << u"member \"app\" is not a string"_s;
    QTest::newRow("no version") << QByteArray(R"({"app":"pinlark","updatedAt":"","cards":[]})")
                                << u"missing member \"version\""_s;
    QTest::newRow("no updatedAt") << QByteArray(R"({"version":1,"app":"pinlark","cards":[]})")
                                  << u"missing member \"updatedAt\""_s;
    QTest::newRow("updatedAt a number")
        << QByteArray(R"({"version":1,"app":"pinlark","updatedAt":1,"cards":[]})")
        << u"member \"updatedAt\" is not a string"_s;
    QTest::newRow("no cards") << QByteArray(R"({"version":1,"app":"pinlark","updatedAt":""})")
                              << u"missing member \"cards\""_s;
    QTest::newRow("cards an object") << withCards("{}") << u"member \"cards\" is not an array"_s;
    QTest::newRow("an array, not an envelope") << cards << u"the envelope is not a JSON object"_s;
    QTest::newRow("not JSON") << QByteArray(R"({"version":1,)") << u"not valid JSON"_s;
    QTest::newRow("second card lacks its id")
        << withCards(R"([{"id":"k","content":"","color":"","createdAt":0,"updatedAt":0},)"
                     R"({"content":"","color":"","createdAt":0,"updatedAt":0}])")
        << u"card 2: missing member \"id\""_s;
    QTest::newRow("a card is a string")
        << withCards(R"(["k"])") << u"card 1: a card is not a JSON object"_s;
    // The date text is the user's data: the message names the member, not the text.
    QTest::newRow("unreadable date")
        << withCards(
               R"([{"id":"k","content":"","color":"","createdAt":0,"updatedAt":"my secret"}])")
        << u"card 1: member \"updatedAt\" is not a readable date"_s;
    QTest::newRow("date out of range")
        << withCards(R"([{"id":"k","content":"","color":"","createdAt":4.2e300,"updatedAt":0}])")
        << u"card 1: member \"createdAt\" is not a readable date"_s;
}

// Each envelope goes through a real payload, so the decoder's error is seen as decrypt()
// passes it on.
void TestVaultPayload::readsEnvelope()
{
    QFETCH(QByteArray, envelope);
    QFETCH(QString, problem);

    const QString text = sealed(m_emptyKey, QByteArray(16, 's'), QByteArray(12, 'n'), envelope);
    const auto cards = PinlarkVaultSync::detail::decrypt(text, fixedKey(m_emptyKey));
    if (problem.isEmpty()) {
        QVERIFY2(cards.ok(), cards.ok() ? "" : qPrintable(describe(cards.error())));
        NoteCard expected = card(u"k"_s, u"c"_s, 1.0);
        expected.color = u"sky"_s;
        expected.createdAt = Timestamp{0};
        QCOMPARE(cards.value(), QList<NoteCard>{expected});
        return;
    }
    QVERIFY(!cards.ok());
    QCOMPARE(cards.error().domain, SyncError::jsonDomain);
    QCOMPARE(cards.error().code, 1);
    const QString message = cards.error().message.value_or(QString());
    QVERIFY2(message.startsWith(u"The Vault payload holds no readable cards: "_s + problem),
             qPrintable(message));
    QVERIFY2(!message.contains(u"secret"), qPrintable(message));
    QVERIFY2(!message.contains(u"300"), qPrintable(message));
}

void TestVaultPayload::deletionsLeaveTheCardsAlone_data()
{
    QTest::addColumn<QByteArray>("deletions"); // the member's value
    QTest::addColumn<bool>("extra");           // another member: read by Qt's parser
    QTest::addColumn<QList<CardDeletion>>("expected");

    const QByteArray readable =
        R"({"id":"x","deletedAt":"2025-03-01T00:00:00.000Z","updatedAt":"2001-01-01T00:00:01Z"})";
    const QList<CardDeletion> x = {
        CardDeletion{u"x"_s,
                     NoteJSON::parseIsoString(u"2025-03-01T00:00:00.000Z"_s).value(),
                     Timestamp{1.0},
                     {}}};
    const QByteArray unreadable =
        R"([5,"x",{"id":7,"deletedAt":"2025-03-01T00:00:00Z","updatedAt":0},)"
        R"({"id":"","deletedAt":"2025-03-01T00:00:00Z","updatedAt":0},)"
        R"({"id":"y","deletedAt":"soon","updatedAt":0},{"id":"z","deletedAt":0},)" +
        readable + "]";
    for (const bool extra : {false, true}) {
        const char *const shape = extra ? ", extra member" : "";
        QTest::addRow("readable%s", shape) << "[" + readable + "]" << extra << x;
        QTest::addRow("unreadable entries skipped%s", shape) << unreadable << extra << x;
        QTest::addRow("empty%s", shape) << QByteArray("[]") << extra << QList<CardDeletion>{};
        QTest::addRow("a string%s", shape)
            << QByteArray(R"("x")") << extra << QList<CardDeletion>{};
        QTest::addRow("an object%s", shape) << readable << extra << QList<CardDeletion>{};
        QTest::addRow("null%s", shape) << QByteArray("null") << extra << QList<CardDeletion>{};
    }
}

// Clients that know no deletions read the envelope by the old rules, and a member they ignore
// never costs the cards here either.
void TestVaultPayload::deletionsLeaveTheCardsAlone()
{
    QFETCH(QByteArray, deletions);
    QFETCH(bool, extra);
    QFETCH(QList<CardDeletion>, expected);

    const QByteArray other = extra ? R"("extra":{"x":[1]},)" : "";
    const QByteArray envelope =
        "{" + other +
        R"("version":1,"app":"pinlark","updatedAt":"2025-03-01T00:00:00.000Z",)"
        R"("deletions":)" +
        deletions +
        R"(,"cards":[{"id":"k","content":"c","color":"sky","createdAt":0,)"
        R"("updatedAt":"2001-01-01T00:00:01Z"}]})";
    NoteCard expectedCard = card(u"k"_s, u"c"_s, 1.0);
    expectedCard.color = u"sky"_s;
    expectedCard.createdAt = Timestamp{0};

    const QString text = sealed(m_emptyKey, QByteArray(16, 's'), QByteArray(12, 'n'), envelope);
    const auto cards = PinlarkVaultSync::detail::decrypt(text, fixedKey(m_emptyKey));
    QVERIFY2(cards.ok(), cards.ok() ? "" : qPrintable(describe(cards.error())));
    QCOMPARE(cards.value(), QList<NoteCard>{expectedCard});
    const auto stack = PinlarkVaultSync::detail::decryptStack(text, fixedKey(m_emptyKey));
    QVERIFY2(stack.ok(), stack.ok() ? "" : qPrintable(describe(stack.error())));
    QCOMPARE(stack.value().cards, QList<NoteCard>{expectedCard});
    QCOMPARE(stack.value().deletions, expected);
}

void TestVaultPayload::deletionsRoundTrip()
{
    const VaultStack stack{
        {card(u"a"_s, u"kept"_s, 20.0, true)},
        {CardDeletion{u"gone"_s, Timestamp{762513302.125}, Timestamp{10.0},
                      QByteArrayLiteral("0123456789abcdef")},
         CardDeletion{u"card_0A1B2C3D"_s, Timestamp{762513303.0}, Timestamp{-0.5}, {}}}};
    const QByteArray json = PinlarkVaultSync::detail::encodeEnvelope(stack, Timestamp{5.0});

    const QJsonObject envelope = QJsonDocument::fromJson(json).object();
    QCOMPARE(envelope.keys(),
             (QStringList{u"app"_s, u"cards"_s, u"deletions"_s, u"updatedAt"_s, u"version"_s}));
    QCOMPARE(envelope[u"deletions"_s].toArray().first().toObject(),
             (QJsonObject{{u"id"_s, u"gone"_s},
                          {u"deletedAt"_s, u"2025-03-01T09:15:02.125Z"_s},
                          {u"updatedAt"_s, u"2001-01-01T00:00:10.000Z"_s},
                          {u"digest"_s, u"MDEyMzQ1Njc4OWFiY2RlZg=="_s}}));
    // A deletion without a digest, as another Pinlark may send one, is written without.
    QVERIFY(!envelope[u"deletions"_s].toArray().last().toObject().contains(u"digest"_s));

    const auto back = PinlarkVaultSync::detail::decodeEnvelopeStack(json);
    QVERIFY2(back.ok(), back.ok() ? "" : qPrintable(describe(back.error())));
    QCOMPARE(back.value(), stack);
    const auto cards = PinlarkVaultSync::detail::decodeEnvelope(json);
    QVERIFY(cards.ok());
    QCOMPARE(cards.value(), stack.cards);
}

void TestVaultPayload::randomSourceFails_data()
{
    QTest::addColumn<int>("failingCall");
    QTest::addColumn<int>("code");
    QTest::addColumn<QList<int>>("requested");

    QTest::newRow("no salt") << 1 << int(SyncError::SaltUnavailable) << QList<int>{16};
    QTest::newRow("no nonce") << 2 << int(SyncError::NonceUnavailable) << QList<int>{16, 12};
}

void TestVaultPayload::randomSourceFails()
{
    QFETCH(int, failingCall);
    QFETCH(int, code);
    QFETCH(QList<int>, requested);

    QList<int> counts;
    const auto random = [&counts, failingCall](unsigned char *bytes, int count) {
        counts.append(count);
        std::fill_n(bytes, count, 0x42);
        return counts.size() != failingCall;
    };
    const auto text =
        PinlarkVaultSync::detail::encrypt(m_vectorCards, u"PLK-7KQ2MX"_s, random, Timestamp{});
    QVERIFY(!text.ok());
    QCOMPARE(text.error(), SyncError::pinlark(code));
    QCOMPARE(counts, requested);
}

void TestVaultPayload::movedKeyIsWiped()
{
    const QByteArray bytes(32, char(0xab));
    const QByteArray zeros(32, '\0');
    const auto content = [](const SecretKey &key) {
        return QByteArray(reinterpret_cast<const char *>(key.data()), int(SecretKey::size()));
    };

    SecretKey source = keyFrom(bytes);
    SecretKey moved(std::move(source));
    QCOMPARE(content(moved), bytes);
    QCOMPARE(content(source), zeros);

    SecretKey assigned;
    assigned = std::move(moved);
    QCOMPARE(content(assigned), bytes);
    QCOMPARE(content(moved), zeros);
}

QTEST_GUILESS_MAIN(TestVaultPayload)
#include "tst_vaultpayload.moc"
