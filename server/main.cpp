#include "server/PostgresVaultStorage.h"
#include "server/ServerOptions.h"
#include "server/SqliteVaultStorage.h"
#include "server/VaultHttpServer.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace VaultServer;

namespace {

// Every line goes to standard error with the program's name; a service manager keeps it.
void logLine(const QString &line)
{
    std::fprintf(stderr, "pinlark-vault: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

Result<QByteArray> readPem(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Result<QByteArray>::failure(u"cannot read "_s + path + u": "_s + file.errorString());
    QByteArray pem = file.readAll();
    if (!pem.contains("-----BEGIN "))
        return Result<QByteArray>::failure(path + u" holds no PEM text"_s);
    return pem;
}

// Either kind of storage, as the server takes it.
template<typename Storage>
Result<std::unique_ptr<VaultStorage>> asVaultStorage(Result<std::unique_ptr<Storage>> opened)
{
    if (!opened)
        return Result<std::unique_ptr<VaultStorage>>::failure(opened.error());
    return std::unique_ptr<VaultStorage>(std::move(opened).value());
}

} // namespace

int main(int argc, char *argv[])
{
    // Signals are taken by sigwait() below, never by a handler: blocked here, before any thread
    // starts, they stay blocked in every thread the server makes.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP); // the terminal it ran in went away
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Payloads and answers of up to many MiB come and go. glibc serves those from mmap and
    // unmaps them on free, but only until the first such free, after which it raises its
    // threshold and keeps the next ones in the heap of each thread, where they stay resident
    // once the clients that held them have gone. A fixed threshold keeps them all in mmap.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    umask(077);

    const QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(u"pinlark-vault"_s);
    QCoreApplication::setApplicationVersion(QString::fromUtf8(PINLARK_VERSION));

    const Result<ServerOptions> parsed = parseServerOptions(QCoreApplication::arguments().mid(1));
    if (!parsed) {
        logLine(parsed.error());
        std::fputs("Try 'pinlark-vault --help'.\n", stderr);
        return 2;
    }
    const ServerOptions &options = parsed.value();
    if (options.showHelp) {
        std::fputs(qPrintable(serverHelpText()), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("pinlark-vault %s\n", PINLARK_VERSION);
        return 0;
    }

    HttpSettings http = options.http;
    if (!options.plainHttp) {
        Result<QByteArray> certificate = readPem(options.certificateFile);
        if (!certificate) {
            logLine(certificate.error());
            return 1;
        }
        Result<QByteArray> key = readPem(options.keyFile);
        if (!key) {
            logLine(key.error());
            return 1;
        }
        http.certificatePem = std::move(certificate).value();
        http.keyPem = std::move(key).value();
    }

    Result<std::unique_ptr<VaultStorage>> opened =
        options.dataFolder.isEmpty()
            ? asVaultStorage(PostgresVaultStorage::open(options.postgresUrl))
            : asVaultStorage(SqliteVaultStorage::open(options.dataFolder));
    if (!opened) {
        logLine(opened.error());
        return 1;
    }
    std::unique_ptr<VaultStorage> storage = std::move(opened).value();

    Result<std::unique_ptr<VaultHttpServer>> started =
        VaultHttpServer::start(http, *storage, &logLine);
    if (!started) {
        logLine(started.error());
        return 1;
    }
    std::unique_ptr<VaultHttpServer> server = std::move(started).value();
    logLine(u"version "_s + QString::fromUtf8(PINLARK_VERSION) + u" serving "_s + server->url() +
            u" from "_s + storage->description());

    int received = 0;
    sigwait(&stopSignals, &received);
    server->stop();
    server.reset();
    storage.reset();
    logLine(u"stopped on "_s + (received == SIGTERM  ? u"SIGTERM"_s
                                : received == SIGINT ? u"SIGINT"_s
                                                     : u"SIGHUP"_s));
    return 0;
}
