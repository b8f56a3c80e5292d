#pragma once

#include "model/Result.h"
#include "server/ReaderPool.h"
#include "server/VaultStorage.h"

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>

namespace VaultServer {

// Payloads in the PostgreSQL table pinlark_vaults, made on first start. Several pinlark-vault
// processes may serve one database: a write locks its vault's row, so batches of different
// processes serialise per vault. synchronous_commit stays on, so a payload is on the server's
// disk before store() returns. Readers take connections from a small pool; a connection the
// server dropped (a restart, an administrator ending the session) is replaced at once.
//
// The processes also share their miss budgets, in the table pinlark_misses (one row per client
// that missed lately), through reader connections too. That table is made on start when
// missing; where it cannot be (a role without the right to create tables), the Vault still
// starts, and the ledger's failures say why.
class PostgresVaultStorage final : public VaultStorage, public MissLedger
{
public:
    // Connects once with the URL (a postgresql:// URL or any libpq connection string) and
    // makes the table when missing. Fails when the URL cannot be read, the server cannot be
    // reached or its table is not one the Vault can use. Error messages never hold the URL's
    // password.
    [[nodiscard]] static Result<std::unique_ptr<PostgresVaultStorage>> open(const QString &url);
    ~PostgresVaultStorage() override;

    // "PostgreSQL <host>/<database>", without user or password.
    [[nodiscard]] QString description() const override;
    [[nodiscard]] LoadResult load(const QByteArray &id) override;
    [[nodiscard]] TagResult loadTag(const QByteArray &id) override;
    [[nodiscard]] Result<std::vector<WriteOutcome>>
    store(std::span<const VaultWrite> writes) override;
    [[nodiscard]] MissLedger *missLedger() override { return this; }

    [[nodiscard]] Result<double> missesLeft(const QByteArray &client, int burst,
                                            std::chrono::seconds window) override;
    [[nodiscard]] Result<double> takeMiss(const QByteArray &client, int burst,
                                          std::chrono::seconds window) override;

    // The writing session's current value of a run-time parameter (SHOW <name>): parameters
    // such as synchronous_commit are per session, so only the writer's own tell how commits
    // are made. Empty when the writer is not connected (it reconnects at the next store()) or
    // has no such parameter. Not while store() runs.
    [[nodiscard]] QByteArray writerSetting(const QByteArray &name);

private:
    PostgresVaultStorage(QByteArray url, QByteArray password);

    class Connection;
    [[nodiscard]] QString withoutPassword(QString message) const;
    // Runs `use` on a reader connection, once more on a new one when the server had dropped
    // a pooled one.
    template<typename T, typename Use> Result<T> withReader(Use &&use);

    QByteArray m_url;
    QByteArray m_password; // kept only to keep it out of error messages
    QString m_description;
    std::unique_ptr<Connection> m_writer;
    ReaderPool<Connection> m_readers;
    // When rows of refilled buckets were last deleted, in steady-clock nanoseconds.
    std::atomic<qint64> m_lastSweep{std::numeric_limits<qint64>::min()};
};

} // namespace VaultServer
