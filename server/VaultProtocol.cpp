#include "server/VaultProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <openssl/evp.h>

using namespace Qt::StringLiterals;

namespace VaultServer {

namespace {

constexpr qsizetype vaultIdLength = 64;

bool isLowerHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text = text.sliced(1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}

} // namespace

std::optional<QByteArray> vaultIdFromPath(QByteArrayView path)
{
    if (!path.startsWith(vaultPathPrefix))
        return std::nullopt;
    const QByteArrayView id = path.sliced(vaultPathPrefix.size());
    if (id.size() != vaultIdLength || !std::all_of(id.begin(), id.end(), isLowerHex))
        return std::nullopt;
    return id.toByteArray();
}

std::optional<QByteArray> vaultIdFromTarget(QByteArrayView target)
{
    if (const qsizetype query = target.indexOf('?'); query >= 0)
        target = target.first(query);
    for (const QByteArrayView scheme : {QByteArrayView("http://"), QByteArrayView("https://")}) {
        if (target.size() > scheme.size() &&
            target.first(scheme.size()).compare(scheme, Qt::CaseInsensitive) == 0) {
            // The authority is whatever this server was reached by; only the path counts.
            const QByteArrayView rest = target.sliced(scheme.size());
            const qsizetype slash = rest.indexOf('/');
            if (slash <= 0)
                return std::nullopt;
            target = rest.sliced(slash);
            break;
        }
    }
    for (qsizetype i = 0; i + 2 < target.size(); ++i) {
        if (target[i] != '%')
            continue;
        const char high = target[i + 1];
        const char low = char(target[i + 2] | 0x20);
        if ((high == '0' && low == '0') || (high == '2' && low == 'f'))
            return std::nullopt;
    }
    return vaultIdFromPath(QByteArray::fromPercentEncoding(target.toByteArray()));
}

Result<QByteArray> dataFromBody(const QByteArray &body)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return Result<QByteArray>::failure(u"The body is not JSON: "_s + parseError.errorString());
    if (!document.isObject())
        return Result<QByteArray>::failure(u"The body must be a JSON object"_s);
    const QJsonValue data = document.object().value("data"_L1);
    if (!data.isString())
        return Result<QByteArray>::failure(u"The body's member \"data\" must be a string"_s);
    const QString text = data.toString();
    if (!QStringView(text).isValidUtf16())
        return Result<QByteArray>::failure(
            u"The body's member \"data\" holds a lone surrogate, which is not Unicode text"_s);
    return text.toUtf8();
}

QByteArray getAnswer(const QByteArray &data)
{
    // Written directly, not through QJsonDocument, which would turn the text into UTF-16 and
    // back: a third of the time of a GET, and three copies of a large payload at once. The
    // bytes are those QJsonDocument writes: for valid UTF-8 it escapes only '"', '\\' and the
    // controls below 0x20 (the five with a short form, the rest as \u00xx in lower case) and
    // copies every other character as UTF-8. Text that is not valid UTF-8 (never stored by this
    // server, but a shared database may hold anything) is left to QJsonDocument, which
    // replaces what it cannot decode.
    if (!QByteArrayView(data).isValidUtf8())
        return QJsonDocument(QJsonObject{{"data"_L1, QString::fromUtf8(data)}})
            .toJson(QJsonDocument::Compact);
    static constexpr char hex[] = "0123456789abcdef";
    static constexpr QByteArrayView head = R"({"data":")";
    static constexpr QByteArrayView tail = R"("})";
    qsizetype escapes = 0;
    for (const char c : data) {
        const auto u = uchar(c);
        if (u == '"' || u == '\\' || u == '\b' || u == '\f' || u == '\n' || u == '\r' || u == '\t')
            escapes += 1;
        else if (u < 0x20)
            escapes += 5;
    }
    QByteArray answer;
    answer.reserve(head.size() + data.size() + escapes + tail.size());
    answer.append(head);
    qsizetype plain = 0; // start of the run of bytes copied as they are
    const auto flush = [&](qsizetype end) { answer.append(data.constData() + plain, end - plain); };
    for (qsizetype i = 0; i < data.size(); ++i) {
        const auto u = uchar(data[i]);
        if (u >= 0x20 && u != '"' && u != '\\')
            continue;
        flush(i);
        plain = i + 1;
        answer.append('\\');
        switch (u) {
        case '"':
            answer.append('"');
            break;
        case '\\':
            answer.append('\\');
            break;
        case '\b':
            answer.append('b');
            break;
        case '\f':
            answer.append('f');
            break;
        case '\n':
            answer.append('n');
            break;
        case '\r':
            answer.append('r');
            break;
        case '\t':
            answer.append('t');
            break;
        default:
            answer.append("u00").append(hex[u >> 4]).append(hex[u & 0xf]);
        }
    }
    flush(data.size());
    answer.append(tail);
    return answer;
}

QByteArray entityTag(QByteArrayView data)
{
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), size_t(data.size()), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    const QByteArray raw(reinterpret_cast<const char *>(digest), qsizetype(length));
    return '"' + raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) + '"';
}

std::vector<QByteArray> parseIfMatch(QByteArrayView header)
{
    // Commas may appear inside a quoted tag, so items are split outside quotes only.
    std::vector<QByteArray> tags;
    qsizetype start = 0;
    bool quoted = false;
    for (qsizetype i = 0; i <= header.size(); ++i) {
        if (i < header.size() && header[i] == '"')
            quoted = !quoted;
        if (i == header.size() || (header[i] == ',' && !quoted)) {
            const QByteArrayView item = trimmed(header.sliced(start, i - start));
            if (!item.isEmpty())
                tags.push_back(item.toByteArray());
            start = i + 1;
        }
    }
    return tags;
}

bool acceptsContentType(std::optional<QByteArrayView> contentType)
{
    if (!contentType)
        return true;
    QByteArrayView type = *contentType;
    if (const qsizetype semicolon = type.indexOf(';'); semicolon >= 0)
        type = type.first(semicolon);
    return trimmed(type).compare("application/json", Qt::CaseInsensitive) == 0;
}

} // namespace VaultServer
