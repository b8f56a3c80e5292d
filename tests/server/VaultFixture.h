#pragma once

#include "server/SqliteVaultStorage.h"
#include "server/VaultHttpServer.h"
#include "tests/server/TestHttpClient.h"
#include "tests/support/TestCertificates.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A Vault on a free loopback port over TLS (or plain HTTP), backed by SQLite in a temporary
// folder or by a storage the test gives, with its log lines kept.
struct VaultFixture
{
    explicit VaultFixture(VaultServer::HttpSettings settings = {}, bool tls = true,
                          VaultServer::VaultStorage *given = nullptr)
    {
        if (tls) {
            material = TestCertificates::makeTlsMaterial();
            if (!material.error.isEmpty()) {
                error = material.error;
                return;
            }
            settings.certificatePem = material.certificatePem;
            settings.keyPem = material.keyPem;
        }
        settings.port = 0;
        if (!given) {
            auto opened = VaultServer::SqliteVaultStorage::open(dir.path());
            if (!opened) {
                error = opened.error();
                return;
            }
            sqlite = std::move(opened).value();
            given = sqlite.get();
        }
        storage = given;
        auto started =
            VaultServer::VaultHttpServer::start(settings, *storage, [this](const QString &line) {
                const QMutexLocker lock(&logMutex);
                log.append(line);
            });
        if (started)
            server = std::move(started).value();
        else
            error = started.error();
    }

    [[nodiscard]] TestHttpClient client() const
    {
        return TestHttpClient(server ? server->port() : 0, material.caPem);
    }

    [[nodiscard]] QStringList logLines()
    {
        const QMutexLocker lock(&logMutex);
        return log;
    }

    QTemporaryDir dir;
    TestCertificates::TlsMaterial material;
    std::unique_ptr<VaultServer::SqliteVaultStorage> sqlite;
    VaultServer::VaultStorage *storage = nullptr;
    std::unique_ptr<VaultServer::VaultHttpServer> server;
    QString error;
    QMutex logMutex;
    QStringList log;
};
