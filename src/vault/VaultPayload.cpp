#include "vault/VaultPayload.h"

#include "model/CardJsonReader.h"
#include "model/NoteJSON.h"
#include "vault/Base64Check.h"
#include "vault/PinlarkVaultSync.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <future>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <optional>
#include <system_error>
#include <utility>

using namespace Qt::StringLiterals;

namespace PinlarkVaultSync {

namespace detail {

namespace {

using CardsResult = Result<QList<NoteCard>, SyncError>;
using TextResult = Result<QString, SyncError>;
using KeyResult = Result<SecretKey, SyncError>;

constexpr int headerBytes = saltBytes + nonceBytes;
constexpr int minimumPayloadBytes = headerBytes + tagBytes;

// Codes of the cipher's own errors.
enum CipherCode : int {
    AuthenticationFailed = 1,
    CipherSetupFailed = 2,
    EncryptionFailed = 3,
    DecryptionFailed = 4,
};

SyncError cipherError(int code)
{
    QString message;
    switch (code) {
    case AuthenticationFailed:
        message = u"The Vault payload could not be opened: wrong passport code or altered data"_s;
        break;
    case CipherSetupFailed:
        message = u"AES-256-GCM could not be set up"_s;
        break;
    case EncryptionFailed:
        message = u"AES-256-GCM failed while encrypting the Vault payload"_s;
        break;
    default:
        message = u"AES-256-GCM failed while decrypting the Vault payload"_s;
        break;
    }
    return SyncError{SyncError::cipherDomain, code, std::move(message)};
}

SyncError corruptedPayload()
{
    return SyncError::pinlark(SyncError::CorruptedPayload, u"Corrupted vault payload"_s);
}

// `detail` says what is wrong with the envelope, never what it holds: the decrypted bytes
// are the user's cards in clear.
SyncError unreadableEnvelope(const QString &detail)
{
    return SyncError{SyncError::jsonDomain, 1,
                     u"The Vault payload holds no readable cards: "_s + detail};
}

// Wipes a buffer of clear text or key material when it goes out of scope, on every path.
// The buffer must not be shared, or the wipe would hit a fresh copy.
class WipeOnExit final
{
public:
    explicit WipeOnExit(QByteArray &bytes)
        : m_bytes(bytes)
    {}
    ~WipeOnExit()
    {
        if (!m_bytes.isEmpty())
            OPENSSL_cleanse(m_bytes.data(), std::size_t(m_bytes.size()));
    }
    Q_DISABLE_COPY_MOVE(WipeOnExit)

private:
    QByteArray &m_bytes;
};

struct CipherContextFree
{
    // Frees and wipes the key schedule.
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

const unsigned char *bytesOf(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

// A context for AES-256-GCM with our key and 12-byte nonce, or none.
CipherContext gcmContext(bool encrypting, const SecretKey &key, const unsigned char *nonce)
{
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context)
        return {};
    const auto init = encrypting ? &EVP_EncryptInit_ex : &EVP_DecryptInit_ex;
    if (init(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, nonceBytes, nullptr) != 1 ||
        init(context.get(), nullptr, nullptr, key.data(), nonce) != 1)
        return {};
    return context;
}

// Runs `size` bytes through the cipher. EVP takes an int length, so a text beyond 2 GiB goes
// through in pieces; GCM is a stream mode and gives out as many bytes as it takes in.
bool runCipher(EVP_CIPHER_CTX *context, bool encrypting, const unsigned char *in, qsizetype size,
               unsigned char *out)
{
    constexpr qsizetype pieceBytes = qsizetype(1) << 30;
    const auto update = encrypting ? &EVP_EncryptUpdate : &EVP_DecryptUpdate;
    while (size > 0) {
        const int piece = int(std::min(size, pieceBytes));
        int written = 0;
        if (update(context, out, &written, in, piece) != 1 || written != piece)
            return false;
        in += piece;
        out += piece;
        size -= piece;
    }
    return true;
}

// Seals `plain` into `cipherOut` (as long as `plain`) and the tag into `tagOut`.
std::optional<SyncError> sealBytes(const SecretKey &key, const unsigned char *nonce,
                                   QByteArrayView plain, unsigned char *cipherOut,
                                   unsigned char *tagOut)
{
    const CipherContext context = gcmContext(true, key, nonce);
    if (!context)
        return cipherError(CipherSetupFailed);
    int finalBytes = 0;
    if (!runCipher(context.get(), true, bytesOf(plain), plain.size(), cipherOut) ||
        EVP_EncryptFinal_ex(context.get(), cipherOut + plain.size(), &finalBytes) != 1 ||
        finalBytes != 0 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, tagBytes, tagOut) != 1)
        return cipherError(EncryptionFailed);
    return std::nullopt;
}

// Opens `ciphertext` into `plainOut` (as long as `ciphertext`). GCM hands out clear text
// before it has checked the tag, so on any failure the caller must wipe `plainOut` unread.
std::optional<SyncError> openSealed(const SecretKey &key, QByteArrayView nonce,
                                    QByteArrayView ciphertext, QByteArrayView tag,
                                    unsigned char *plainOut)
{
    const CipherContext context = gcmContext(false, key, bytesOf(nonce));
    if (!context)
        return cipherError(CipherSetupFailed);
    std::array<unsigned char, tagBytes> expectedTag{};
    std::copy_n(bytesOf(tag), tagBytes, expectedTag.begin());
    if (!runCipher(context.get(), false, bytesOf(ciphertext), ciphertext.size(), plainOut) ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, tagBytes, expectedTag.data()) != 1)
        return cipherError(DecryptionFailed);
    int finalBytes = 0;
    if (EVP_DecryptFinal_ex(context.get(), plainOut + ciphertext.size(), &finalBytes) != 1 ||
        finalBytes != 0)
        return cipherError(AuthenticationFailed);
    return std::nullopt;
}

// Base64 goes through OpenSSL's block coder, several times faster than Qt's on a large
// stack, a chunk at a time through a small buffer: the coder works on bytes, the payload's
// text is a QString, and a chunk-sized buffer spares a copy of the whole text in Latin-1.
// Chunks hold whole quadruplets of text (triplets of bytes), so the chunks' outputs
// joined are the whole text's. A 7 MB payload is worth the second core: the two halves of
// a large text are coded side by side.
constexpr qsizetype base64ChunkChars = 16 * 1024;
constexpr qsizetype base64ChunkBytes = base64ChunkChars / 4 * 3;
constexpr qsizetype parallelBase64Bytes = 1024 * 1024;

// Runs `work` on another thread while this one runs `other`, both to the end. A machine
// without a thread to spare runs them one after the other.
template<typename Work, typename Other> void alongside(Work work, Other other)
{
    std::future<void> second;
    try {
        second = std::async(std::launch::async, std::move(work));
    } catch (const std::system_error &) {
        work();
        other();
        return;
    }
    other();
    second.get();
}

// The padding of `text` if it is standard base64 with its padding, and nothing else: no
// white space, no line breaks, no URL-safe alphabet. OpenSSL's decoder skips white space
// and Qt's takes text without its padding, so the shape is checked here first.
std::optional<qsizetype> strictBase64Padding(QStringView text)
{
    const qsizetype size = text.size();
    if (size % 4 != 0)
        return std::nullopt;
    qsizetype padding = 0;
    while (padding < 2 && padding < size && text.at(size - 1 - padding) == u'=')
        ++padding;
    // '+' is in the alphabet already: the alphabet and nothing else.
    if (!allBase64(text.first(size - padding), u'+'))
        return std::nullopt;
    return padding;
}

// Decodes checked base64 text, whole quadruplets, into `out` (3 bytes for each 4
// characters; padding comes out as zero bytes).
bool decodeBase64Quads(QStringView text, unsigned char *out)
{
    std::array<unsigned char, base64ChunkChars> ascii; // filled before it is read
    for (qsizetype start = 0; start < text.size(); start += base64ChunkChars) {
        const qsizetype count = std::min(text.size() - start, base64ChunkChars);
        const char16_t *in = text.utf16() + start;
        for (qsizetype i = 0; i < count; ++i)
            ascii[std::size_t(i)] = static_cast<unsigned char>(in[i]);
        const int produced = EVP_DecodeBlock(out, ascii.data(), int(count));
        if (produced != int(count / 4 * 3))
            return false;
        out += produced;
    }
    return true;
}

// Standard padded base64 of `bytes`, written into `out` (4 characters for each 3 bytes,
// rounded up).
void encodeBase64(QByteArrayView bytes, char16_t *out)
{
    std::array<unsigned char, base64ChunkChars + 1> ascii; // + 1 for the NUL it appends
    for (qsizetype start = 0; start < bytes.size(); start += base64ChunkBytes) {
        const qsizetype count = std::min(bytes.size() - start, base64ChunkBytes);
        const int written = EVP_EncodeBlock(ascii.data(), bytesOf(bytes.sliced(start)), int(count));
        for (int i = 0; i < written; ++i)
            out[i] = char16_t(ascii[std::size_t(i)]);
        out += written;
    }
}

QString toBase64Text(QByteArrayView bytes)
{
    QString text((bytes.size() + 2) / 3 * 4, Qt::Uninitialized);
    auto *out = reinterpret_cast<char16_t *>(text.data());
    if (bytes.size() < parallelBase64Bytes) {
        encodeBase64(bytes, out);
        return text;
    }
    const qsizetype firstBytes = bytes.size() / 2 / 3 * 3;
    alongside([&] { encodeBase64(bytes.sliced(firstBytes), out + firstBytes / 3 * 4); },
              [&] { encodeBase64(bytes.first(firstBytes), out); });
    return text;
}

// A JSON number without a fraction. Qt keeps every JSON number as a double (or a 64-bit
// integer it also reports as one), so 1 and 1.0 read alike; 1.5 is not an integer.
bool isInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::isfinite(number) && std::trunc(number) == number;
}

// The card reader quotes an unreadable date as it stands, which here would put a piece of the
// decrypted payload into a message. Such errors are replaced by the member's name.
QString cardProblem(const QJsonValue &value, const QString &error)
{
    if (!error.startsWith(u"Unparseable date: ") && !error.startsWith(u"Timestamp out of range: "))
        return error;
    const QJsonObject object = value.toObject();
    for (const auto key : {NoteCard::CodingKeys::createdAt, NoteCard::CodingKeys::updatedAt}) {
        const QString name = NoteCard::keyName(key);
        if (!NoteJSON::readTimestamp(object.value(name)))
            return u"member \""_s + name + u"\" is not a readable date"_s;
    }
    return u"a date is not readable"_s;
}

// The deletions a Pinlark adds to the envelope. They are a hint from another machine, not
// the user's text: an entry that cannot be read is left out, never a reason to refuse the
// cards.
QList<CardDeletion> readDeletions(const QJsonArray &array)
{
    QList<CardDeletion> deletions;
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        const QJsonValue id = object.value(u"id"_s);
        const auto deletedAt = NoteJSON::readTimestamp(object.value(u"deletedAt"_s));
        const auto updatedAt = NoteJSON::readTimestamp(object.value(u"updatedAt"_s));
        if (!id.isString() || id.toString().isEmpty() || !deletedAt || !updatedAt)
            continue;
        const QByteArray digest =
            QByteArray::fromBase64(object.value(u"digest"_s).toString().toLatin1());
        deletions.append(CardDeletion{id.toString(), deletedAt.value(), updatedAt.value(), digest});
    }
    return deletions;
}

// Reads the envelope as the clients write it: one object of the four members, each once,
// "version" a plain integer, "app" and "updatedAt" strings of printable ASCII without
// escapes, and "cards" an array the notes file's fast reader takes. It answers nothing for
// anything else, and QJsonDocument, the authority on what an envelope means and on the
// wording of its errors, reads it instead. Most of a payload is cards, and reading them
// without building a document first is several times faster.
class UsualEnvelope final
{
public:
    explicit UsualEnvelope(QByteArrayView json)
        : m_json(json)
    {}

    [[nodiscard]] std::optional<VaultStack> read()
    {
        skipSpace();
        if (!take('{'))
            return std::nullopt;
        bool version = false;
        bool app = false;
        bool updatedAt = false;
        std::optional<QList<NoteCard>> cards;
        std::optional<QByteArrayView> deletions;
        for (;;) {
            skipSpace();
            const std::optional<QByteArrayView> key = plainString();
            skipSpace();
            if (!key || !take(':'))
                return std::nullopt;
            skipSpace();
            if (*key == "version") {
                if (std::exchange(version, true) || !integer())
                    return std::nullopt;
            } else if (*key == "app") {
                if (std::exchange(app, true) || !plainString())
                    return std::nullopt;
            } else if (*key == "updatedAt") {
                if (std::exchange(updatedAt, true) || !plainString())
                    return std::nullopt;
            } else if (*key == "cards") {
                const std::optional<QByteArrayView> array = cards ? std::nullopt : arrayText();
                if (!array || !(cards = CardJsonReader::read(*array)))
                    return std::nullopt;
            } else if (*key == "deletions") {
                if (deletions || !(deletions = arrayText()))
                    return std::nullopt;
            } else {
                return std::nullopt;
            }
            skipSpace();
            if (take('}'))
                break;
            if (!take(','))
                return std::nullopt;
        }
        skipSpace();
        if (m_at != m_json.size() || !version || !app || !updatedAt || !cards)
            return std::nullopt;
        VaultStack stack{std::move(*cards), {}};
        if (deletions) {
            // Small next to the cards: Qt's parser reads them.
            const QJsonDocument document = QJsonDocument::fromJson(deletions->toByteArray());
            if (!document.isArray())
                return std::nullopt;
            stack.deletions = readDeletions(document.array());
        }
        return stack;
    }

private:
    [[nodiscard]] bool atEnd() const { return m_at >= m_json.size(); }
    [[nodiscard]] char peek() const { return m_json[m_at]; }

    void skipSpace()
    {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++m_at;
    }

    bool take(char c)
    {
        if (atEnd() || peek() != c)
            return false;
        ++m_at;
        return true;
    }

    std::optional<QByteArrayView> plainString()
    {
        if (!take('"'))
            return std::nullopt;
        const qsizetype start = m_at;
        for (; !atEnd(); ++m_at) {
            const auto c = static_cast<unsigned char>(peek());
            if (c == '"') {
                ++m_at;
                return m_json.sliced(start, m_at - 1 - start);
            }
            if (c < 0x20 || c >= 0x7f || c == '\\')
                return std::nullopt;
        }
        return std::nullopt;
    }

    // -?(0|[1-9][0-9]*), short enough to be exact as a double.
    bool integer()
    {
        take('-');
        const qsizetype start = m_at;
        while (!atEnd() && peek() >= '0' && peek() <= '9')
            ++m_at;
        const qsizetype digits = m_at - start;
        return digits > 0 && digits <= 15 && !(digits > 1 && m_json[start] == '0');
    }

    // The text of the array that starts here, up to its closing bracket.
    std::optional<QByteArrayView> arrayText()
    {
        if (atEnd() || peek() != '[')
            return std::nullopt;
        const qsizetype start = m_at;
        int depth = 0;
        bool inString = false;
        for (; !atEnd(); ++m_at) {
            const char c = peek();
            if (inString) {
                if (c == '\\')
                    ++m_at;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
            } else if (c == '[' || c == '{') {
                ++depth;
            } else if ((c == ']' || c == '}') && --depth == 0) {
                ++m_at;
                return m_json.sliced(start, m_at - start);
            }
        }
        return std::nullopt;
    }

    QByteArrayView m_json;
    qsizetype m_at = 0;
};

} // namespace

SecretKey::~SecretKey()
{
    OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
}

SecretKey::SecretKey(SecretKey &&other) noexcept
    : m_bytes(other.m_bytes)
{
    OPENSSL_cleanse(other.m_bytes.data(), other.m_bytes.size());
}

SecretKey &SecretKey::operator=(SecretKey &&other) noexcept
{
    if (this != &other) {
        m_bytes = other.m_bytes;
        OPENSSL_cleanse(other.m_bytes.data(), other.m_bytes.size());
    }
    return *this;
}

Result<SecretKey, SyncError> deriveKey(const QString &code, QByteArrayView salt)
{
    QByteArray password = normalizeCode(code).toUtf8();
    const WipeOnExit wipePassword(password);
    SecretKey key;
    if (password.size() > INT_MAX || salt.size() > INT_MAX ||
        PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()), bytesOf(salt),
                          int(salt.size()), kdfIterations, EVP_sha256(), keyBytes, key.data()) != 1)
        return KeyResult::failure(
            SyncError::pinlark(SyncError::KeyDerivationFailed, u"PBKDF2 derivation failed"_s));
    return KeyResult(std::move(key));
}

bool systemRandom(unsigned char *bytes, int count)
{
    return count >= 0 && RAND_bytes(bytes, count) == 1;
}

QByteArray encodeEnvelope(const QList<NoteCard> &cards, Timestamp updatedAt)
{
    return encodeEnvelope(VaultStack{cards, {}}, updatedAt);
}

QByteArray encodeEnvelope(const VaultStack &stack, Timestamp updatedAt)
{
    const QList<NoteCard> &cards = stack.cards;
    // The cards are written by the notes file's own writer, so they read exactly as in the
    // notes file: the same bytes Qt's writer gives for NoteJSON::cardsToJson(), except that a
    // text opening with U+FEFF has it escaped, so Qt's reader keeps it instead of dropping it.
    // Members in the order of the record; readers accept any order.
    QByteArray cardsJson = NoteJSON::encodeCards(cards);
    const WipeOnExit wipeCards(cardsJson);
    const QByteArray head = R"({"version":1,"app":"pinlark","updatedAt":")" +
                            NoteJSON::isoString(updatedAt).toLatin1() + R"(","cards":)";
    QByteArray deletionsJson;
    if (!stack.deletions.isEmpty()) {
        QJsonArray deletions;
        for (const CardDeletion &deletion : stack.deletions) {
            QJsonObject object{{u"id"_s, deletion.id},
                               {u"deletedAt"_s, NoteJSON::isoString(deletion.deletedAt)},
                               {u"updatedAt"_s, NoteJSON::isoString(deletion.updatedAt)}};
            if (!deletion.digest.isEmpty())
                object.insert(u"digest"_s, QString::fromLatin1(deletion.digest.toBase64()));
            deletions.append(object);
        }
        deletionsJson =
            R"(,"deletions":)" + QJsonDocument(deletions).toJson(QJsonDocument::Compact);
    }
    QByteArray json;
    json.reserve(head.size() + cardsJson.size() + deletionsJson.size() + 1);
    json.append(head).append(cardsJson).append(deletionsJson).append('}');
    return json;
}

Result<QList<NoteCard>, SyncError> decodeEnvelope(const QByteArray &json)
{
    auto stack = decodeEnvelopeStack(json);
    if (!stack)
        return CardsResult::failure(stack.error());
    return std::move(stack).value().cards;
}

Result<VaultStack, SyncError> decodeEnvelopeStack(const QByteArray &json)
{
    using StackResult = Result<VaultStack, SyncError>;
    if (auto stack = UsualEnvelope(json).read())
        return std::move(*stack);

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return StackResult::failure(unreadableEnvelope(u"not valid JSON ("_s +
                                                       parseError.errorString() + u" at offset "_s +
                                                       QString::number(parseError.offset) + u')'));
    if (!document.isObject())
        return StackResult::failure(unreadableEnvelope(u"the envelope is not a JSON object"_s));
    const QJsonObject envelope = document.object();

    const auto missing = [](const QString &name) -> QString {
        return u"missing member \""_s + name + u'"';
    };
    const auto wrongType = [](const QString &name, const QString &type) -> QString {
        return u"member \""_s + name + u"\" is not "_s + type;
    };
    struct Member
    {
        QString name;
        bool (*hasType)(const QJsonValue &);
        QString type;
    };
    const Member members[] = {
        {u"version"_s, &isInteger, u"an integer"_s},
        {u"app"_s, [](const QJsonValue &v) { return v.isString(); }, u"a string"_s},
        {u"updatedAt"_s, [](const QJsonValue &v) { return v.isString(); }, u"a string"_s},
        {u"cards"_s, [](const QJsonValue &v) { return v.isArray(); }, u"an array"_s},
    };
    for (const Member &member : members) {
        const auto it = envelope.constFind(member.name);
        if (it == envelope.constEnd())
            return StackResult::failure(unreadableEnvelope(missing(member.name)));
        if (!member.hasType(*it))
            return StackResult::failure(unreadableEnvelope(wrongType(member.name, member.type)));
    }

    // All or nothing, like the notes file: one bad card fails the whole stack.
    const QJsonArray array = envelope.value(u"cards"_s).toArray();
    QList<NoteCard> cards;
    cards.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonValue value = array.at(i);
        auto card = NoteCard::fromJson(value);
        if (!card)
            return StackResult::failure(unreadableEnvelope(
                u"card "_s + QString::number(i + 1) + u": "_s + cardProblem(value, card.error())));
        cards.append(std::move(card).value());
    }
    const QJsonValue deletions = envelope.value(u"deletions"_s);
    return VaultStack{std::move(cards), deletions.isArray() ? readDeletions(deletions.toArray())
                                                            : QList<CardDeletion>{}};
}

Result<SealingKey, SyncError> makeSealingKey(const QString &code, const RandomSource &random)
{
    // Never a weaker source instead: without a fresh salt there is no payload.
    SealingKey sealing;
    if (!random(sealing.salt.data(), saltBytes))
        return Result<SealingKey, SyncError>::failure(
            SyncError::pinlark(SyncError::SaltUnavailable));
    auto key = deriveKey(code, QByteArrayView(sealing.salt.data(), saltBytes));
    if (!key)
        return Result<SealingKey, SyncError>::failure(key.error());
    sealing.key = std::move(key).value();
    return Result<SealingKey, SyncError>(std::move(sealing));
}

Result<QString, SyncError> seal(const QList<NoteCard> &cards, const SealingKey &key,
                                const RandomSource &random, Timestamp now)
{
    return seal(VaultStack{cards, {}}, key, random, now);
}

Result<QString, SyncError> seal(const VaultStack &stack, const SealingKey &key,
                                const RandomSource &random, Timestamp now)
{
    QByteArray envelope = encodeEnvelope(stack, now);
    const WipeOnExit wipeEnvelope(envelope);

    // salt | nonce | ciphertext | tag, filled in place.
    QByteArray payload(minimumPayloadBytes + envelope.size(), Qt::Uninitialized);
    auto *salt = reinterpret_cast<unsigned char *>(payload.data());
    unsigned char *nonce = salt + saltBytes;
    unsigned char *ciphertext = nonce + nonceBytes;
    unsigned char *tag = ciphertext + envelope.size();

    std::copy(key.salt.cbegin(), key.salt.cend(), salt);
    if (!random(nonce, nonceBytes))
        return TextResult::failure(SyncError::pinlark(SyncError::NonceUnavailable));
    if (auto error = sealBytes(key.key, nonce, envelope, ciphertext, tag))
        return TextResult::failure(std::move(*error));
    return toBase64Text(payload);
}

Result<QString, SyncError> encrypt(const QList<NoteCard> &cards, const QString &code,
                                   const RandomSource &random, Timestamp now)
{
    const auto key = makeSealingKey(code, random);
    if (!key)
        return TextResult::failure(key.error());
    return seal(cards, key.value(), random, now);
}

Result<QList<NoteCard>, SyncError> decrypt(const QString &base64Data, const KeyForSalt &keyForSalt)
{
    auto stack = decryptStack(base64Data, keyForSalt);
    if (!stack)
        return CardsResult::failure(stack.error());
    return std::move(stack).value().cards;
}

Result<VaultStack, SyncError> decryptStack(const QString &base64Data, const KeyForSalt &keyForSalt)
{
    using StackResult = Result<VaultStack, SyncError>;
    // Everything that can be told without the key is checked first: a key costs 100000
    // rounds of HMAC-SHA-256.
    const QStringView text(base64Data);
    const std::optional<qsizetype> padding = strictBase64Padding(text);
    if (!padding || text.size() / 4 * 3 - *padding < minimumPayloadBytes)
        return StackResult::failure(corruptedPayload());

    // The salt and the nonce first, from the leading quadruplets, which a payload this long
    // never pads. The rest of the text is decoded on another thread while this one derives
    // the key: both take milliseconds on a large stack, and neither needs the other.
    constexpr qsizetype headerChars = (headerBytes + 2) / 3 * 4;
    QByteArray payload(text.size() / 4 * 3, Qt::Uninitialized);
    auto *decoded = reinterpret_cast<unsigned char *>(payload.data());
    if (!decodeBase64Quads(text.first(headerChars), decoded))
        return StackResult::failure(corruptedPayload());
    const QByteArrayView salt(payload.constData(), saltBytes);
    std::optional<KeyResult> key;
    bool restDecoded = false;
    alongside(
        [&] {
            restDecoded =
                decodeBase64Quads(text.sliced(headerChars), decoded + headerChars / 4 * 3);
        },
        [&] { key.emplace(keyForSalt(salt)); });
    if (!restDecoded)
        return StackResult::failure(corruptedPayload());
    if (!*key)
        return StackResult::failure(key->error());
    payload.chop(*padding); // the decoder writes the padding out as zero bytes

    const QByteArrayView bytes(payload);
    const QByteArrayView nonce = bytes.sliced(saltBytes, nonceBytes);
    const QByteArrayView ciphertext = bytes.sliced(headerBytes, bytes.size() - minimumPayloadBytes);
    const QByteArrayView tag = bytes.last(tagBytes);

    QByteArray plain(ciphertext.size(), Qt::Uninitialized);
    const WipeOnExit wipePlain(plain);
    if (auto error = openSealed(key->value(), nonce, ciphertext, tag,
                                reinterpret_cast<unsigned char *>(plain.data())))
        return StackResult::failure(std::move(*error));
    return decodeEnvelopeStack(plain);
}

} // namespace detail

Result<QString, SyncError> encrypt(const QList<NoteCard> &cards, const QString &code)
{
    return detail::encrypt(cards, code, detail::systemRandom, Timestamp::now());
}

Result<QList<NoteCard>, SyncError> decrypt(const QString &base64Data, const QString &code)
{
    return detail::decrypt(base64Data,
                           [&code](QByteArrayView salt) { return detail::deriveKey(code, salt); });
}

} // namespace PinlarkVaultSync
