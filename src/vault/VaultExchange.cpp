#include "vault/VaultExchange.h"

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

bool isBase64Byte(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

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
    QString data(text.size(), Qt::Uninitialized);
    QChar *out = data.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '/')
            ++i;
        else if (!isBase64Byte(c))
            return std::nullopt;
        *out++ = QLatin1Char(text[i]);
    }
    data.truncate(out - data.constData());
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
    qsizetype slashes = 0;
    for (const QChar c : payload) {
        if (c.unicode() >= 0x80 || !isBase64Byte(char(c.unicode()))) {
            QByteArray body =
                QJsonDocument(QJsonObject{{u"data"_s, payload}}).toJson(QJsonDocument::Compact);
            body.replace("/", "\\/");
            return body;
        }
        slashes += c == u'/';
    }
    QByteArray body(head.size() + payload.size() + slashes + tail.size(), Qt::Uninitialized);
    char *out = std::copy(head.begin(), head.end(), body.data());
    for (const QChar c : payload) {
        if (c == u'/')
            *out++ = '\\';
        *out++ = char(c.unicode());
    }
    std::copy(tail.begin(), tail.end(), out);
    return body;
}

} // namespace detail

namespace {

using detail::decodeGetAnswer;
using detail::encodePostBody;

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

// What a push may replace: anything (a Vault without entity tags), only the version pulled,
// or only nothing at all.
struct Precondition
{
    enum class Kind { None, IfMatch, IfNoneMatch };
    Kind kind = Kind::None;
    QByteArray entityTag; // for IfMatch
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
            if (length.isValid() && length.toLongLong() > m_endpoint.maxAnswerBytes)
                stop(Ending::TooLarge);
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

// The vault's URL. vaultHash() gives no identity only when libcrypto cannot hash at all, and
// then no request may go out under a wrong name.
Result<QUrl, SyncError> vaultUrlFor(const QUrl &base, const QString &code)
{
    if (vaultHash(code).isEmpty())
        return Result<QUrl, SyncError>::failure(
            SyncError{SyncError::cipherDomain, 5, u"SHA-256 is not available"_s});
    return vaultURL(base, code);
}

// A pull: the vault's stack, none when it holds nothing yet, and what a push that means to
// replace exactly this version must ask for.
struct PulledStack
{
    std::optional<VaultStack> stack;
    Precondition precondition;
};
using PulledResult = Result<PulledStack, SyncError>;

PulledResult pullStack(Exchange &exchange, const QUrl &base, const QString &code)
{
    const auto url = vaultUrlFor(base, code);
    if (!url)
        return PulledResult::failure(url.error());
    auto reply = exchange.get(url.value());
    if (!reply)
        return PulledResult::failure(reply.error());
    const std::optional<int> status = reply.value().status;
    if (!status)
        return PulledResult::failure(SyncError::pinlark(SyncError::PullNotHttp));
    PulledStack pulled;
    if (*status == 404) {
        // Nothing there yet: the push may only create it.
        pulled.precondition.kind = Precondition::Kind::IfNoneMatch;
        return pulled;
    }
    if (*status < 200 || *status > 299)
        return PulledResult::failure(
            SyncError::pinlark(*status, u"Vault pull HTTP "_s + QString::number(*status)));
    // Without a tag the Vault keeps none, and a push replaces whatever it holds.
    if (!reply.value().entityTag.isEmpty())
        pulled.precondition = {Precondition::Kind::IfMatch, reply.value().entityTag};
    auto data = decodeGetAnswer(reply.value().body);
    reply.value().body.clear();
    if (!data)
        return PulledResult::failure(data.error());
    if (!data.value())
        return pulled;
    auto stack = detail::decryptStack(
        *data.value(), [&code](QByteArrayView salt) { return detail::deriveKey(code, salt); });
    if (!stack)
        return PulledResult::failure(stack.error());
    pulled.stack = std::move(stack).value();
    return pulled;
}

Pulled pullWith(Exchange &exchange, const QUrl &base, const QString &code)
{
    auto pulled = pullStack(exchange, base, code);
    if (!pulled)
        return Pulled::failure(pulled.error());
    if (!pulled.value().stack)
        return Pulled(std::nullopt);
    return Pulled(std::move(pulled.value().stack->cards));
}

// How a push ended when it reached the Vault.
enum class PushOutcome { Stored, Refused }; // Refused: 412, the vault changed since the pull
using PushResult = Result<PushOutcome, SyncError>;

// Seals with `key` where the caller derived it already, else with a fresh one.
PushResult pushStack(Exchange &exchange, const QUrl &base, const VaultStack &stack,
                     const QString &code, const detail::SealingKey *key,
                     const Precondition &precondition)
{
    const auto url = vaultUrlFor(base, code);
    if (!url)
        return PushResult::failure(url.error());
    const Timestamp now = Timestamp::now();
    std::optional<detail::SealingKey> fresh;
    if (!key) {
        auto made = detail::makeSealingKey(code, detail::systemRandom);
        if (!made)
            return PushResult::failure(made.error());
        fresh.emplace(std::move(made).value());
        key = &*fresh;
    }
    auto payload = detail::seal(stack, *key, detail::systemRandom, now);
    if (!payload)
        return PushResult::failure(payload.error());
    if (exchange.cancelled())
        return PushResult::failure(
            SyncError::pinlark(SyncError::Cancelled, u"The sync was stopped"_s));
    auto reply = exchange.post(url.value(), encodePostBody(payload.value()), precondition);
    if (!reply)
        return PushResult::failure(reply.error());
    const std::optional<int> status = reply.value().status;
    if (status == 412 && precondition.kind != Precondition::Kind::None)
        return PushOutcome::Refused;
    if (!status || *status < 200 || *status > 299)
        return PushResult::failure(
            SyncError::pinlark(SyncError::PushFailed, u"Vault push failed"_s));
    return PushOutcome::Stored;
}

Pushed pushWith(Exchange &exchange, const QUrl &base, const QList<NoteCard> &cards,
                const QString &code, const detail::SealingKey *key = nullptr)
{
    auto pushed = pushStack(exchange, base, VaultStack{cards, {}}, code, key, {});
    if (!pushed)
        return Pushed::failure(pushed.error());
    return Pushed(true);
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

Result<SyncedStack, SyncError> syncStack(const VaultEndpoint &vault, const VaultStack &local,
                                         const QHash<QString, ExchangedCard> &base,
                                         const QString &code, const QString &machine,
                                         const Cancellation *cancelled)
{
    using Synced = Result<SyncedStack, SyncError>;
    Exchange exchange(vault, cancelled);
    if (auto refused = exchange.prepare())
        return Synced::failure(*refused);

    SyncedStack synced;
    for (synced.attempts = 1;; ++synced.attempts) {
        std::future<SealingKeyResult> pushKey = deriveSealingKeyAside(code);
        auto remote = pullStack(exchange, vault.baseUrl, code);
        std::optional<SealingKeyResult> sealingKey;
        if (pushKey.valid())
            sealingKey.emplace(pushKey.get());
        if (!remote)
            return Synced::failure(remote.error());
        if (sealingKey && !*sealingKey)
            return Synced::failure(sealingKey->error());

        const Timestamp now = Timestamp::now();
        const std::optional<VaultStack> &theirs = remote.value().stack;
        Reconciled merged = reconcile(local, theirs ? *theirs : VaultStack{}, base, now, machine);
        // A vault without cards is not merged with: the local stack goes up as it stands, in
        // its own order, as every client does. Unless it carries deletions: those still
        // remove the local copies of the cards they name.
        if (!theirs || (theirs->cards.isEmpty() && theirs->deletions.isEmpty()))
            merged.stack.cards = local.cards;
        synced.stack = std::move(merged.stack);
        synced.counts = merged.counts;

        auto pushed =
            pushStack(exchange, vault.baseUrl, synced.stack, code,
                      sealingKey ? &sealingKey->value() : nullptr, remote.value().precondition);
        if (!pushed)
            return Synced::failure(pushed.error());
        if (pushed.value() == PushOutcome::Stored)
            return synced;
        // Another machine pushed after our pull: merge with what it stored, not over it.
        if (synced.attempts >= maxPushAttempts)
            return Synced::failure(SyncError::pinlark(
                SyncError::VaultKeptChanging, u"The vault changed during each of "_s +
                                                  QString::number(maxPushAttempts) +
                                                  u" tries; nothing was lost, try again later"_s));
    }
}

} // namespace PinlarkVaultSync
