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
            sqlite = VaultServer::SqliteVaultStorage::open(dir.path(), &error);
            if (!sqlite)
                return;
            given = sqlite.get();
        }
        storage = given;
        server = VaultServer::VaultHttpServer::start(
            settings, *storage,
            [this](const QString &line) {
                const QMutexLocker lock(&logMutex);
                log.append(line);
            },
            &error);
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
