#pragma once

#include "model/Result.h"
#include "server/ReaderPool.h"
#include "server/VaultStorage.h"

#include <memory>

struct sqlite3;

namespace VaultServer {

// Payloads in one SQLite database in WAL mode, "vaults.sqlite3" in the data folder. Commits
// are synchronous=FULL, so a stored payload is on disk before store() returns. Readers take
// connections from a small pool; WAL lets them read while the writer commits.
class SqliteVaultStorage final : public VaultStorage
{
public:
    // Creates the folder (0700) and the database when missing. Fails when the database cannot
    // be opened or is not one of ours.
    [[nodiscard]] static Result<std::unique_ptr<SqliteVaultStorage>> open(const QString &folder);
    ~SqliteVaultStorage() override;

    [[nodiscard]] QString description() const override;
    [[nodiscard]] LoadResult load(const QByteArray &id) override;
    [[nodiscard]] TagResult loadTag(const QByteArray &id) override;
    [[nodiscard]] Result<std::vector<WriteOutcome>>
    store(std::span<const VaultWrite> writes) override;

    [[nodiscard]] QString databasePath() const { return m_path; }
    // What "PRAGMA <name>" answers on the writer's connection, as text (synchronous=FULL is
    // "2"); empty when it answers nothing. Settings such as synchronous are per connection, so
    // only the writer's own tell how commits are made. Not while store() runs.
    [[nodiscard]] QByteArray writerPragma(QByteArrayView name);

private:
    explicit SqliteVaultStorage(QString path);

    class Connection;
    // Runs `use` on a pooled reader connection, or on a new one when none is idle.
    template<typename T, typename Use> Result<T> withReader(Use &&use);

    QString m_path;
    std::unique_ptr<Connection> m_writer;
    ReaderPool<Connection> m_readers;
};

} // namespace VaultServer
