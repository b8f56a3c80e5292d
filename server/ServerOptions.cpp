#include "server/ServerOptions.h"

#include <QCommandLineParser>
#include <QThread>

using namespace Qt::StringLiterals;

namespace VaultServer {

namespace {

struct Parser
{
    QCommandLineParser parser;
    const QCommandLineOption data{u"data"_s,
                                  u"Keep payloads in a SQLite database in <folder> (made when "
                                  u"missing)."_s,
                                  u"folder"_s};
    const QCommandLineOption postgres{u"postgres"_s,
                                      u"Keep payloads in PostgreSQL at <url> instead, so several "
                                      u"servers can share them."_s,
                                      u"url"_s};
    const QCommandLineOption listen{u"listen"_s,
                                    u"Address and port to serve on (default 127.0.0.1:8443; "
                                    u"[::1]:8443 for IPv6)."_s,
                                    u"host:port"_s, u"127.0.0.1:8443"_s};
    const QCommandLineOption cert{u"cert"_s, u"TLS certificate chain, PEM."_s, u"file"_s};
    const QCommandLineOption key{u"key"_s, u"TLS private key, PEM."_s, u"file"_s};
    const QCommandLineOption plainHttp{
        u"plain-http"_s,
        u"Serve plain HTTP, on a loopback address only, behind a reverse proxy that does TLS. "
        u"The client's address is then taken from X-Forwarded-For."_s};
    const QCommandLineOption maxPayload{u"max-payload"_s,
                                        u"Largest payload kept, in bytes (default 16777216)."_s,
                                        u"bytes"_s, u"16777216"_s};
    const QCommandLineOption answerMemory{
        u"answer-memory"_s,
        u"Memory for GET answers waiting for their clients, in bytes (default 268435456); one "
        u"copy per stored version is shared by all its requests. Beyond it GETs get 503."_s,
        u"bytes"_s, u"268435456"_s};
    const QCommandLineOption missLimit{
        u"miss-limit"_s,
        u"Requests for vaults that do not exist allowed to one client per window (default 20; "
        u"0: no limit)."_s,
        u"count"_s, u"20"_s};
    const QCommandLineOption missWindow{u"miss-window"_s,
                                        u"The window of --miss-limit, in seconds (default 600)."_s,
                                        u"seconds"_s, u"600"_s};
    const QCommandLineOption headerTimeout{
        u"header-timeout"_s,
        u"Time for a client to send a request head, in seconds (default 10)."_s, u"seconds"_s,
        u"10"_s};
    const QCommandLineOption bodyTimeout{
        u"body-timeout"_s,
        u"Time for a client to send a request body after its head, in seconds, on top of what "
        u"--min-body-rate earns it (default 10)."_s,
        u"seconds"_s, u"10"_s};
    const QCommandLineOption minBodyRate{
        u"min-body-rate"_s,
        u"Each this many bytes of a body give its client one more second (default 1024)."_s,
        u"bytes"_s, u"1024"_s};
    const QCommandLineOption idleTimeout{
        u"idle-timeout"_s, u"Time a connection may stay silent, in seconds (default 30)."_s,
        u"seconds"_s, u"30"_s};
    const QCommandLineOption threads{u"threads"_s,
                                     u"Request threads (default: the number of processors, at "
                                     u"least 2)."_s,
                                     u"count"_s};
    const QCommandLineOption maxConnections{
        u"max-connections"_s, u"Open connections at most (default 1024)."_s, u"count"_s, u"1024"_s};
    const QCommandLineOption maxPerClient{
        u"max-connections-per-client"_s,
        u"Open connections from one address at most (default 64)."_s, u"count"_s, u"64"_s};
    const QCommandLineOption help{{u"h"_s, u"help"_s}, u"Show this help."_s};
    const QCommandLineOption version{{u"v"_s, u"version"_s}, u"Show the version."_s};

    Parser()
    {
        parser.setApplicationDescription(
            u"The Pinlark Vault: keeps the encrypted payloads that Pinlark clients sync through. "
            u"It never sees a card or a passport code."_s);
        parser.addOptions({data, postgres, listen, cert, key, plainHttp, maxPayload, answerMemory,
                           missLimit, missWindow, headerTimeout, bodyTimeout, minBodyRate,
                           idleTimeout, threads, maxConnections, maxPerClient, help, version});
    }
};

// A whole number in [minimum, maximum] from an option's value.
Result<qint64> number(const QCommandLineParser &parser, const QCommandLineOption &option,
                      qint64 minimum, qint64 maximum)
{
    bool ok = false;
    const QString text = parser.value(option);
    const qint64 value = text.toLongLong(&ok);
    if (ok && value >= minimum && value <= maximum)
        return value;
    return Result<qint64>::failure(u"--"_s + option.names().constLast() +
                                   u" wants a whole number from "_s + QString::number(minimum) +
                                   u" to "_s + QString::number(maximum) + u", not \""_s + text +
                                   u'"');
}

Result<void> parseListen(const QString &text, HttpSettings &http)
{
    const qsizetype colon = text.lastIndexOf(u':');
    QString host = colon > 0 ? text.first(colon) : QString();
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.sliced(1, host.size() - 2);
    bool ok = false;
    const uint port = colon > 0 ? text.sliced(colon + 1).toUInt(&ok) : 0;
    if (host.isEmpty() || !ok || port > 65535)
        return Result<void>::failure(
            u"--listen wants host:port, such as 127.0.0.1:8443 or [::1]:8443, not \""_s + text +
            u'"');
    http.host = host.toUtf8();
    http.port = quint16(port);
    return {};
}

} // namespace

Result<ServerOptions> parseServerOptions(const QStringList &arguments)
{
    using Parsed = Result<ServerOptions>;
    Parser p;
    if (!p.parser.parse(QStringList{u"pinlark-vault"_s} + arguments))
        return Parsed::failure(p.parser.errorText());
    ServerOptions options;
    options.showHelp = p.parser.isSet(p.help);
    options.showVersion = p.parser.isSet(p.version);
    if (options.showHelp || options.showVersion)
        return options;
    if (!p.parser.positionalArguments().isEmpty())
        return Parsed::failure(u"unexpected argument \""_s +
                               p.parser.positionalArguments().constFirst() + u"\""_s);

    options.dataFolder = p.parser.value(p.data);
    options.postgresUrl = p.parser.value(p.postgres);
    if (options.dataFolder.isEmpty() == options.postgresUrl.isEmpty())
        return Parsed::failure(u"give either --data <folder> or --postgres <url>"_s);
    options.certificateFile = p.parser.value(p.cert);
    options.keyFile = p.parser.value(p.key);
    options.plainHttp = p.parser.isSet(p.plainHttp);
    const bool tls = !options.certificateFile.isEmpty() || !options.keyFile.isEmpty();
    if (options.plainHttp ? tls : (options.certificateFile.isEmpty() || options.keyFile.isEmpty()))
        return Parsed::failure(u"give --cert <file> and --key <file>, or --plain-http behind a "
                               u"reverse proxy on this machine"_s);

    HttpSettings &http = options.http;
    if (const Result<void> listen = parseListen(p.parser.value(p.listen), http); !listen)
        return Parsed::failure(listen.error());
    const Result<qint64> maxPayload = number(p.parser, p.maxPayload, 1, qint64(1) << 30);
    const Result<qint64> answerMemory =
        number(p.parser, p.answerMemory, qint64(1) << 20, qint64(1) << 40);
    const Result<qint64> missLimit = number(p.parser, p.missLimit, 0, 1'000'000);
    const Result<qint64> missWindow = number(p.parser, p.missWindow, 1, 7 * 24 * 3600);
    const Result<qint64> headerTimeout = number(p.parser, p.headerTimeout, 1, 3600);
    const Result<qint64> bodyTimeout = number(p.parser, p.bodyTimeout, 1, 3600);
    const Result<qint64> minBodyRate = number(p.parser, p.minBodyRate, 1, qint64(1) << 30);
    const Result<qint64> idleTimeout = number(p.parser, p.idleTimeout, 1, 3600);
    const Result<qint64> maxConnections = number(p.parser, p.maxConnections, 1, 1'000'000);
    const Result<qint64> maxPerClient = number(p.parser, p.maxPerClient, 1, 1'000'000);
    const Result<qint64> threads = p.parser.isSet(p.threads)
                                       ? number(p.parser, p.threads, 1, 256)
                                       : Result<qint64>(std::max(2, QThread::idealThreadCount()));
    for (const Result<qint64> *checked :
         {&maxPayload, &answerMemory, &missLimit, &missWindow, &headerTimeout, &bodyTimeout,
          &minBodyRate, &idleTimeout, &maxConnections, &maxPerClient, &threads}) {
        if (!*checked)
            return Parsed::failure(checked->error());
    }
    http.maxPayloadBytes = maxPayload.value();
    http.answerMemoryBytes = answerMemory.value();
    http.missRule =
        MissLimiter::Rule{int(missLimit.value()), std::chrono::seconds(missWindow.value())};
    http.headerTimeout = std::chrono::seconds(headerTimeout.value());
    http.bodyTimeout = std::chrono::seconds(bodyTimeout.value());
    http.minBodyRate = minBodyRate.value();
    http.idleTimeout = std::chrono::seconds(idleTimeout.value());
    http.maxConnections = int(maxConnections.value());
    http.maxConnectionsPerClient = int(maxPerClient.value());
    http.threads = int(threads.value());
    http.trustForwardedFor = options.plainHttp;
    return options;
}

QString serverHelpText()
{
    Parser p;
    return p.parser.helpText();
}

} // namespace VaultServer
