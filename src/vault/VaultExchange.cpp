#include "vault/VaultExchange.h"

#include "vault/Base64Check.h"
#include "vault/PinlarkVaultSync.h"
#include "vault/VaultPayload.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>
#include <future>
#include <memory>
#include <system_error>

using namespace Qt::StringLiterals;

namespace PinlarkVaultSync {

namespace detail {

namespace {

// The answer as the Vault writes it, {"data":"<base64 with / or \/>"}, read straight from
// the bytes. None for anything else, which QJsonDocument then reads: a payload is most of
// a large answer, and Qt's parser copies a string holding escapes one character at a time.
std::optional<QString> readCompactAnswer(QByteArrayView body)
{
    constexpr QByteArrayView head = R"({"data":")";
    constexpr QByteArrayView tail = R"("})";
    if (body.size() < head.size() + tail.size() || !body.startsWith(head) || !body.endsWith(tail))
        return std::nullopt;
    const QByteArrayView text = body.sliced(head.size(), body.size() - head.size() - tail.size());
    // One vectorised check of the whole text, then the pieces between two escapes widened
    // by a loop the compiler vectorises too, instead of a test and a copy per character:
    // the Vault escapes every "/", about one character in 64, and a payload is megabytes.
    if (!allBase64(text, '=', '\\'))
        return std::nullopt;
    QString data(text.size(), Qt::Uninitialized);
    auto *const begin = reinterpret_cast<char16_t *>(data.data());
    char16_t *out = begin;
    qsizetype start = 0;
    for (;;) {
        const qsizetype escape = text.indexOf('\\', start);
        const qsizetype end = escape < 0 ? text.size() : escape;
        const char *in = text.data() + start;
        for (qsizetype i = 0; i < end - start; ++i)
            out[i] = char16_t(static_cast<unsigned char>(in[i]));
        out += end - start;
        if (escape < 0)
            break;
        if (escape + 1 == text.size() || text[escape + 1] != '/')
            return std::nullopt;
        *out++ = u'/';
        start = escape + 2;
    }
    data.truncate(out - begin);
    return data;
}

} // namespace

Result<std::optional<QString>, SyncError> decodeGetAnswer(const QByteArray &body)
{
    using Answer = Result<std::optional<QString>, SyncError>;
    if (auto data = readCompactAnswer(body))
        return Answer(std::move(data));

    const auto failure = [](const QString &why) {
        return Answer::failure(
            SyncError{SyncError::jsonDomain, 2, u"The Vault's answer could not be read: "_s + why});
    };
    if (body.isEmpty())
        return failure(u"it is empty"_s);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failure(u"it is not JSON ("_s + parseError.errorString() + u" at offset "_s +
                       QString::number(parseError.offset) + u')');
    if (!document.isObject())
        return failure(u"it is not a JSON object"_s);
    const QJsonValue data = document.object().value(u"data"_s);
    if (data.isUndefined() || data.isNull())
        return Answer(std::nullopt);
    if (!data.isString())
        return failure(u"\"data\" is not a string"_s);
    return Answer(data.toString());
}

QByteArray encodePostBody(const QString &payload)
{
    // The other clients escape "/" as "\/"; both are the same JSON value. A base64 payload
    // needs no other escape, so it is written straight; anything else goes through Qt's
    // writer first.
    constexpr QByteArrayView head = R"({"data":")";
    constexpr QByteArrayView tail = R"("})";
    if (!allBase64(payload, u'=')) {
        QByteArray body =
            QJsonDocument(QJsonObject{{u"data"_s, payload}}).toJson(QJsonDocument::Compact);
        body.replace("/", "\\/");
        return body;
    }
    // Plain ASCII from here on. Between two slashes the text is narrowed by a loop the
    // compiler vectorises; a payload is megabytes, with a slash about every 64 characters.
    const QStringView text(payload);
    const qsizetype slashes = text.count(u'/');
    QByteArray body(head.size() + text.size() + slashes + tail.size(), Qt::Uninitialized);
    char *out = std::copy(head.begin(), head.end(), body.data());
    qsizetype start = 0;
    for (;;) {
        const qsizetype slash = text.indexOf(u'/', start);
        const qsizetype end = slash < 0 ? text.size() : slash;
        const char16_t *in = text.utf16() + start;
        for (qsizetype i = 0; i < end - start; ++i)
            out[i] = char(in[i]);
        out += end - start;
        if (slash < 0)
            break;
        *out++ = '\\';
        *out++ = '/';
        start = slash + 1;
    }
    std::copy(tail.begin(), tail.end(), out);
    return body;
}

} // namespace detail

namespace {

using detail::decodeGetAnswer;
using detail::encodePostBody;
using detail::Precondition;

bool isLoopbackHost(const QString &host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// Why the Vault at `base` may not be asked, if it may not. `shown` names it in the message;
// by default the address itself.
std::optional<SyncError> refusal(const QUrl &base, const QString &shown)
{
    if (!base.isValid() || base.host().isEmpty())
        return SyncError::pinlark(SyncError::InsecureVaultUrl, u"The Vault address \u201c"_s +
                                                                   shown +
                                                                   u"\u201d is not a valid URL"_s);
    const QString scheme = base.scheme().toLower();
    if (scheme == u"https"_s)
        return std::nullopt;
    if (scheme == u"http"_s && isLoopbackHost(base.host()))
        return std::nullopt;
    return SyncError::pinlark(SyncError::InsecureVaultUrl,
                              u"The Vault address \u201c"_s + shown +
                                  u"\u201d does not use https; only a Vault on this computer "
                                  u"may use http"_s);
}

std::optional<SyncError> refusal(const QUrl &base)
{
    return refusal(base, base.toDisplayString());
}

// A redirect may lead only where a configured Vault address could: the same rule, checked
// before anything is sent there. The message names the server, not the vault's path.
std::optional<SyncError> redirectRefusal(const QUrl &target)
{
    return refusal(target, target
                               .adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath |
                                         QUrl::RemoveQuery | QUrl::RemoveFragment)
                               .toDisplayString());
}

// "1 second", "90 seconds", "5 minutes".
QString spokenDuration(int ms)
{
    if (ms >= 60'000 && ms % 60'000 == 0) {
        const int minutes = ms / 60'000;
        return QString::number(minutes) + (minutes == 1 ? u" minute"_s : u" minutes"_s);
    }
    return QString::number(ms / 1000.0) + (ms == 1000 ? u" second"_s : u" seconds"_s);
}

// How one request ended, before the Vault protocol judges it.
struct Reply
{
    std::optional<int> status; // none: no HTTP response at all
    QByteArray body;           // the GET's body; empty for a POST
    QByteArray entityTag;      // the answer's ETag, as sent; empty without one
};

// One network access manager for the pulls and pushes of one exchange, driven by a local
// event loop on the calling (worker) thread.
class Exchange final
{
public:
    Exchange(const VaultEndpoint &endpoint, const Cancellation *cancelled)
        : m_endpoint(endpoint)
        , m_cancelled(cancelled)
        , m_deadline(endpoint.deadlineMs)
    {}

    ~Exchange()
    {
        // Replies and the manager's helpers are deleted later; this thread's loop may never
        // run again (a pool thread), so let those deletions happen now.
        m_manager.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    Q_DISABLE_COPY_MOVE(Exchange)

    // Checks the address and the certificate file once, before any request.
    [[nodiscard]] std::optional<SyncError> prepare()
    {
        if (auto refused = refusal(m_endpoint.baseUrl))
            return refused;
        m_tls = QSslConfiguration::defaultConfiguration();
        if (!m_endpoint.caFile.isEmpty()) {
            QFile file(m_endpoint.caFile);
            if (!file.open(QIODevice::ReadOnly))
                return SyncError::pinlark(SyncError::CertificateFile,
                                          u"Cannot read the Vault certificate file "_s +
                                              m_endpoint.caFile + u": "_s + file.errorString());
            const QList<QSslCertificate> certificates =
                QSslCertificate::fromDevice(&file, QSsl::Pem);
            if (certificates.isEmpty())
                return SyncError::pinlark(SyncError::CertificateFile,
                                          u"The Vault certificate file "_s + m_endpoint.caFile +
                                              u" holds no PEM certificate"_s);
            m_tls.addCaCertificates(certificates);
        }
        m_manager = std::make_unique<QNetworkAccessManager>();
        return std::nullopt;
    }

    [[nodiscard]] Result<Reply, SyncError> get(const QUrl &url) { return run(url, nullptr, {}); }

    [[nodiscard]] Result<Reply, SyncError> post(const QUrl &url, const QByteArray &body,
                                                const Precondition &precondition = {})
    {
        return run(url, &body, precondition);
    }

    [[nodiscard]] bool cancelled() const { return m_cancelled && m_cancelled->load(); }

private:
    enum class Ending { None, Cancelled, TooLarge, DeadlineExceeded, RedirectRefused };

    // A GET without `postBody`, else a POST of it.
    Result<Reply, SyncError> run(const QUrl &url, const QByteArray *postBody,
                                 const Precondition &precondition)
    {
        if (cancelled())
            return Result<Reply, SyncError>::failure(cancelledError());
        if (m_deadline.hasExpired())
            return Result<Reply, SyncError>::failure(deadlineError());

        QNetworkRequest request(url);
        request.setTransferTimeout(m_endpoint.timeoutMs);
        // Qt would follow an http redirect to any host; each target is judged first.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::UserVerifiedRedirectPolicy);
        request.setSslConfiguration(m_tls);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        const bool isPost = postBody != nullptr;
        if (isPost)
            request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
        if (precondition.kind == Precondition::Kind::IfMatch)
            request.setRawHeader("If-Match", precondition.entityTag);
        else if (precondition.kind == Precondition::Kind::IfNoneMatch)
            request.setRawHeader("If-None-Match", "*");

        QNetworkReply *reply =
            isPost ? m_manager->post(request, *postBody) : m_manager->get(request);
        const std::unique_ptr<QNetworkReply> owner(reply);

        Reply result;
        Ending ending = Ending::None;
        std::optional<SyncError> redirectRefused;
        QEventLoop loop;
        const auto stop = [&](Ending why) {
            if (ending != Ending::None)
                return;
            ending = why;
            reply->abort();
        };
        QObject::connect(reply, &QNetworkReply::redirected, &loop, [&](const QUrl &target) {
            redirectRefused = redirectRefusal(target);
            if (redirectRefused) {
                stop(Ending::RedirectRefused);
                return;
            }
            Q_EMIT reply->redirectAllowed();
        });
        QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
            // A new answer's head: whatever came before it was the body of a redirect
            // answer, which Qt 6.4 at times hands over as if it were this reply's ("caching
            // was enabled after some bytes had been written"). It is not the Vault's.
            result.body.clear();
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid() && length.toLongLong() > m_endpoint.maxAnswerBytes) {
                stop(Ending::TooLarge);
                return;
            }
            // Room for the whole announced body at once, instead of a copy each time the
            // pieces outgrow it; the limit above bounds what a server can make us reserve.
            if (!isPost && length.isValid() && length.toLongLong() > 0)
                result.body.reserve(qsizetype(length.toLongLong()));
        });
        QObject::connect(reply, &QIODevice::readyRead, &loop, [&] {
            // A push's answer is not read, but still drained, so it cannot pile up.
            const QByteArray piece = reply->readAll();
            if (isPost)
                return;
            if (result.body.size() + piece.size() > m_endpoint.maxAnswerBytes) {
                stop(Ending::TooLarge);
                return;
            }
            result.body += piece;
        });
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer watch;
        watch.setInterval(cancelPollMs);
        QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
            if (cancelled())
                stop(Ending::Cancelled);
            else if (m_deadline.hasExpired())
                stop(Ending::DeadlineExceeded);
        });
        watch.start();
        if (!reply->isFinished())
            loop.exec();
        watch.stop();

        if (ending == Ending::Cancelled)
            return Result<Reply, SyncError>::failure(cancelledError());
        if (ending == Ending::TooLarge)
            return Result<Reply, SyncError>::failure(tooLargeError());
        if (ending == Ending::DeadlineExceeded)
            return Result<Reply, SyncError>::failure(deadlineError());
        if (ending == Ending::RedirectRefused)
            return Result<Reply, SyncError>::failure(*redirectRefused);
        if (!isPost && reply->isOpen()) {
            const QByteArray rest = reply->readAll();
            if (result.body.size() + rest.size() > m_endpoint.maxAnswerBytes)
                return Result<Reply, SyncError>::failure(tooLargeError());
            result.body += rest;
        }

        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid()) {
            // An HTTP answer, whatever the reply's error says about its status.
            result.status = status.toInt();
            result.entityTag = reply->rawHeader("ETag");
            return result;
        }
        if (reply->error() == QNetworkReply::NoError)
            return result; // finished without an HTTP status: not an HTTP response
        return Result<Reply, SyncError>::failure(transportError(*reply));
    }

    [[nodiscard]] SyncError transportError(const QNetworkReply &reply) const
    {
        const QNetworkReply::NetworkError error = reply.error();
        // The transfer time-out aborts the reply; nothing else here cancels one unasked.
        if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError)
            return SyncError{SyncError::networkDomain, int(QNetworkReply::TimeoutError),
                             u"The Vault did not answer within "_s +
                                 QString::number(m_endpoint.timeoutMs / 1000.0) + u" seconds"_s};
        return SyncError{SyncError::networkDomain, int(error), reply.errorString()};
    }

    [[nodiscard]] SyncError tooLargeError() const
    {
        return SyncError::pinlark(SyncError::AnswerTooLarge,
                                  u"The Vault's answer is larger than "_s +
                                      QString::number(m_endpoint.maxAnswerBytes / (1024 * 1024)) +
                                      u" MiB"_s);
    }

    [[nodiscard]] SyncError deadlineError() const
    {
        return SyncError::pinlark(SyncError::DeadlineExceeded,
                                  u"The Vault did not finish within "_s +
                                      spokenDuration(m_endpoint.deadlineMs));
    }

    [[nodiscard]] static SyncError cancelledError()
    {
        return SyncError::pinlark(SyncError::Cancelled, u"The sync was stopped"_s);
    }

    // Also how often the deadline is looked at.
    static constexpr int cancelPollMs = 50;

    const VaultEndpoint &m_endpoint;
    const Cancellation *m_cancelled;
    const QDeadlineTimer m_deadline; // of the whole exchange, from its construction
    QSslConfiguration m_tls;
    std::unique_ptr<QNetworkAccessManager> m_manager;
};

using Pulled = Result<std::optional<QList<NoteCard>>, SyncError>;
using Pushed = Result<bool, SyncError>;
using detail::PayloadKeys;
using detail::VaultTransport;
using PulledStack = Result<std::pair<std::optional<VaultStack>, Precondition>, SyncError>;

// The vault's URL. vaultHash() gives no identity only when libcrypto cannot hash at all, and
// then no request may go out under a wrong name.
Result<QUrl, SyncError> vaultUrlFor(const QUrl &base, const QString &code)
{
    if (vaultHash(code).isEmpty())
        return Result<QUrl, SyncError>::failure(
            SyncError{SyncError::cipherDomain, 5, u"SHA-256 is not available"_s});
    return vaultURL(base, code);
}

// The vault of one code over HTTP, through one exchange.
class HttpVault final : public detail::VaultTransport
{
public:
    HttpVault(Exchange &exchange, QUrl url)
        : m_exchange(exchange)
        , m_url(std::move(url))
    {}

    Result<Answer, SyncError> get() override { return convert(m_exchange.get(m_url)); }
    Result<Answer, SyncError> post(const QByteArray &body,
                                   const Precondition &precondition) override
    {
        return convert(m_exchange.post(m_url, body, precondition));
    }
    bool cancelled() const override { return m_exchange.cancelled(); }

private:
    static Result<Answer, SyncError> convert(Result<Reply, SyncError> reply)
    {
        if (!reply)
            return Result<Answer, SyncError>::failure(reply.error());
        return Answer{reply.value().status, std::move(reply.value().body),
                      std::move(reply.value().entityTag)};
    }

    Exchange &m_exchange;
    QUrl m_url;
};

// The vault's stack, none when it holds nothing yet, and what a push that means to replace
// exactly this version must ask for.
PulledStack pullThrough(detail::VaultTransport &vault, const detail::PayloadKeys &keys)
{
    auto reply = vault.get();
    if (!reply)
        return PulledStack::failure(reply.error());
    const std::optional<int> status = reply.value().status;
    if (!status)
        return PulledStack::failure(SyncError::pinlark(SyncError::PullNotHttp));
    if (*status == 404) // nothing there yet: the push may only create it
        return std::pair(std::optional<VaultStack>(),
                         Precondition{Precondition::Kind::IfNoneMatch, {}});
    if (*status < 200 || *status > 299)
        return PulledStack::failure(
            SyncError::pinlark(*status, u"Vault pull HTTP "_s + QString::number(*status)));
    // Without a tag the Vault keeps none, and a push replaces whatever it holds.
    Precondition precondition;
    if (!reply.value().entityTag.isEmpty())
        precondition = {Precondition::Kind::IfMatch, reply.value().entityTag};
    auto data = decodeGetAnswer(reply.value().body);
    reply.value().body.clear();
    if (!data)
        return PulledStack::failure(data.error());
    if (!data.value())
        return std::pair(std::optional<VaultStack>(), precondition);
    auto stack = detail::decryptStack(*data.value(), keys.forSalt);
    if (!stack)
        return PulledStack::failure(stack.error());
    return std::pair(std::optional<VaultStack>(std::move(stack).value()), precondition);
}

using SealingKeyResult = Result<detail::SealingKey, SyncError>;

// The key of a push needs only the code and a fresh salt, so it is derived on another thread
// while the pull waits for the Vault and derives its own: the two derivations are nearly all
// of a sync's work. Invalid when no thread was to be had; the push then derives it itself.
std::future<SealingKeyResult> deriveSealingKeyAside(const QString &code)
{
    try {
        return std::async(std::launch::async,
                          [code] { return detail::makeSealingKey(code, detail::systemRandom); });
    } catch (const std::system_error &) {
        return {};
    }
}

// Keys derived from the code: the pull's for its salt, the push's taken from `aside` when
// it was derived during the pull, else made then.
PayloadKeys derivedKeys(const QString &code, std::future<SealingKeyResult> *aside)
{
    PayloadKeys keys;
    keys.forSalt = [code](QByteArrayView salt) { return detail::deriveKey(code, salt); };
    keys.sealing = [code, aside]() -> SealingKeyResult {
        if (aside && aside->valid())
            return aside->get();
        return detail::makeSealingKey(code, detail::systemRandom);
    };
    return keys;
}

Pulled pullWith(Exchange &exchange, const QUrl &base, const QString &code)
{
    const auto url = vaultUrlFor(base, code);
    if (!url)
        return Pulled::failure(url.error());
    HttpVault vault(exchange, url.value());
    auto pulled = pullThrough(vault, derivedKeys(code, nullptr));
    if (!pulled)
        return Pulled::failure(pulled.error());
    if (!pulled.value().first)
        return Pulled(std::nullopt);
    return Pulled(std::move(pulled.value().first->cards));
}

// Seals with `key` where the caller derived it already, else with a fresh one.
Pushed pushWith(Exchange &exchange, const QUrl &base, const QList<NoteCard> &cards,
                const QString &code, const detail::SealingKey *key = nullptr)
{
    const auto url = vaultUrlFor(base, code);
    if (!url)
        return Pushed::failure(url.error());
    auto payload = key ? detail::seal(cards, *key, detail::systemRandom, Timestamp::now())
                       : encrypt(cards, code);
    if (!payload)
        return Pushed::failure(payload.error());
    if (exchange.cancelled())
        return Pushed::failure(SyncError::pinlark(SyncError::Cancelled, u"The sync was stopped"_s));
    auto reply = exchange.post(url.value(), encodePostBody(payload.value()));
    if (!reply)
        return Pushed::failure(reply.error());
    const std::optional<int> status = reply.value().status;
    if (!status || *status < 200 || *status > 299)
        return Pushed::failure(SyncError::pinlark(SyncError::PushFailed, u"Vault push failed"_s));
    return Pushed(true);
}

} // namespace

Result<std::optional<QList<NoteCard>>, SyncError>
pull(const VaultEndpoint &from, const QString &code, const Cancellation *cancelled)
{
    Exchange exchange(from, cancelled);
    if (auto refused = exchange.prepare())
        return Pulled::failure(*refused);
    return pullWith(exchange, from.baseUrl, code);
}

Result<bool, SyncError> push(const VaultEndpoint &to, const QList<NoteCard> &cards,
                             const QString &code, const Cancellation *cancelled)
{
    Exchange exchange(to, cancelled);
    if (auto refused = exchange.prepare())
        return Pushed::failure(*refused);
    return pushWith(exchange, to.baseUrl, cards, code);
}

Result<QList<NoteCard>, SyncError> sync(const VaultEndpoint &vault, const QList<NoteCard> &cards,
                                        const QString &code, const Cancellation *cancelled)
{
    using Synced = Result<QList<NoteCard>, SyncError>;
    Exchange exchange(vault, cancelled);
    if (auto refused = exchange.prepare())
        return Synced::failure(*refused);

    std::future<SealingKeyResult> pushKey = deriveSealingKeyAside(code);
    auto remote = pullWith(exchange, vault.baseUrl, code);
    std::optional<SealingKeyResult> sealingKey;
    if (pushKey.valid())
        sealingKey.emplace(pushKey.get());
    if (!remote)
        return Synced::failure(remote.error());
    if (sealingKey && !*sealingKey)
        return Synced::failure(sealingKey->error());
    const bool mergeWanted = remote.value() && !remote.value()->isEmpty();
    QList<NoteCard> result = mergeWanted ? merge(cards, *remote.value()) : cards;
    remote.value().reset();

    auto pushed = pushWith(exchange, vault.baseUrl, result, code,
                           sealingKey ? &sealingKey->value() : nullptr);
    if (!pushed)
        return Synced::failure(pushed.error());
    return Synced(std::move(result));
}

namespace detail {

Result<SyncedStack, SyncError> syncStackVia(VaultTransport &vault, const PayloadKeys &keys,
                                            const VaultStack &local,
                                            const QHash<QString, ExchangedCard> &base,
                                            const QString &machine, Timestamp now)
{
    using Synced = Result<SyncedStack, SyncError>;
    SyncedStack synced;
    for (synced.attempts = 1;; ++synced.attempts) {
        auto remote = pullThrough(vault, keys);
        if (!remote)
            return Synced::failure(remote.error());
        const std::optional<VaultStack> &theirs = remote.value().first;
        Reconciled merged = reconcile(local, theirs ? *theirs : VaultStack{}, base, now, machine);
        // A vault without cards is not merged with: the local stack goes up as it stands, in
        // its own order, as every client does. Unless it carries deletions: those still
        // remove the local copies of the cards they name.
        if (!theirs || (theirs->cards.isEmpty() && theirs->deletions.isEmpty()))
            merged.stack.cards = local.cards;
        synced.stack = std::move(merged.stack);
        synced.counts = merged.counts;

        auto key = keys.sealing();
        if (!key)
            return Synced::failure(key.error());
        auto payload = seal(synced.stack, key.value(), systemRandom, now);
        if (!payload)
            return Synced::failure(payload.error());
        if (vault.cancelled())
            return Synced::failure(
                SyncError::pinlark(SyncError::Cancelled, u"The sync was stopped"_s));
        const Precondition &precondition = remote.value().second;
        auto reply = vault.post(encodePostBody(payload.value()), precondition);
        if (!reply)
            return Synced::failure(reply.error());
        const std::optional<int> status = reply.value().status;
        if (status && *status >= 200 && *status <= 299)
            return synced;
        if (status != 412 || precondition.kind == Precondition::Kind::None)
            return Synced::failure(
                SyncError::pinlark(SyncError::PushFailed, u"Vault push failed"_s));
        // Another machine pushed after our pull: merge with what it stored, not over it.
        if (synced.attempts >= maxPushAttempts)
            return Synced::failure(SyncError::pinlark(
                SyncError::VaultKeptChanging, u"The vault changed during each of "_s +
                                                  QString::number(maxPushAttempts) +
                                                  u" tries; nothing was lost, try again later"_s));
    }
}

} // namespace detail

Result<SyncedStack, SyncError> syncStack(const VaultEndpoint &vault, const VaultStack &local,
                                         const QHash<QString, ExchangedCard> &base,
                                         const QString &code, const QString &machine,
                                         const Cancellation *cancelled)
{
    using Synced = Result<SyncedStack, SyncError>;
    Exchange exchange(vault, cancelled);
    if (auto refused = exchange.prepare())
        return Synced::failure(*refused);
    const auto url = vaultUrlFor(vault.baseUrl, code);
    if (!url)
        return Synced::failure(url.error());
    HttpVault transport(exchange, url.value());
    // The first push's key is derived during the first pull; a push refused with 412 is
    // rare, and the next one derives its key after its pull.
    std::future<SealingKeyResult> pushKey = deriveSealingKeyAside(code);
    return detail::syncStackVia(transport, derivedKeys(code, &pushKey), local, base, machine,
                                Timestamp::now());
}

} // namespace PinlarkVaultSync
