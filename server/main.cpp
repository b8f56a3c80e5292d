#include "server/PostgresVaultStorage.h"
#include "server/ServerOptions.h"
#include "server/SqliteVaultStorage.h"
#include "server/VaultHttpServer.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
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

QByteArray readPem(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = u"cannot read "_s + path + u": "_s + file.errorString();
        return {};
    }
    QByteArray pem = file.readAll();
    if (!pem.contains("-----BEGIN "))
        *error = path + u" holds no PEM text"_s;
    return pem;
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
    umask(077);

    const QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(u"pinlark-vault"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(PINLARK_VERSION));

    QString error;
    const std::optional<ServerOptions> options =
        parseServerOptions(QCoreApplication::arguments().mid(1), &error);
    if (!options) {
        logLine(error);
        std::fputs("Try 'pinlark-vault --help'.\n", stderr);
        return 2;
    }
    if (options->showHelp) {
        std::fputs(qPrintable(serverHelpText()), stdout);
        return 0;
    }
    if (options->showVersion) {
        std::printf("pinlark-vault %s\n", PINLARK_VERSION);
        return 0;
    }

    HttpSettings http = options->http;
    if (!options->plainHttp) {
        http.certificatePem = readPem(options->certificateFile, &error);
        if (error.isEmpty())
            http.keyPem = readPem(options->keyFile, &error);
        if (!error.isEmpty()) {
            logLine(error);
            return 1;
        }
    }

    std::unique_ptr<VaultStorage> storage;
    if (!options->dataFolder.isEmpty())
        storage = SqliteVaultStorage::open(options->dataFolder, &error);
    else
        storage = PostgresVaultStorage::open(options->postgresUrl, &error);
    if (!storage) {
        logLine(error);
        return 1;
    }

    std::unique_ptr<VaultHttpServer> server =
        VaultHttpServer::start(http, *storage, &logLine, &error);
    if (!server) {
        logLine(error);
        return 1;
    }
    logLine(u"version "_s + QStringLiteral(PINLARK_VERSION) + u" serving "_s + server->url() +
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
