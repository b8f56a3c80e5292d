#include "server/SqliteVaultStorage.h"

#include <QDir>
#include <QFile>

#include <sqlite3.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace VaultServer {

namespace {

constexpr int busyTimeoutMs = 10'000;

const char *const schemaSql = "CREATE TABLE IF NOT EXISTS vaults ("
                              " id TEXT PRIMARY KEY NOT NULL,"
                              " data BLOB NOT NULL,"
                              " etag TEXT NOT NULL,"
                              " updated_at INTEGER NOT NULL)";

// The tags apart from the texts: a text of more than a few kilobytes spills onto overflow pages,
// and the tag, stored after it in the row, could only be reached through them. A GET reads
// the tag alone from this index, whose pages stay in the cache. Made on every start, so
// databases made before it get it too; processes without it keep it up to date all the same.
const char *const tagIndexSql =
    "CREATE UNIQUE INDEX IF NOT EXISTS vaults_tags ON vaults (id, etag)";

QString sqliteError(sqlite3 *db, const QString &what)
{
    return what + u": "_s + QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
}

struct Statement
{
    sqlite3_stmt *handle = nullptr;
    Statement() = default;
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    ~Statement() { finalize(); }
    void finalize()
    {
        sqlite3_finalize(handle);
        handle = nullptr;
    }
};

} // namespace

// One database connection with its prepared statements. Used by one thread at a time.
class SqliteVaultStorage::Connection
{
public:
    static Result<std::unique_ptr<Connection>> open(const QString &path, bool create)
    {
        using Opened = Result<std::unique_ptr<Connection>>;
        auto connection = std::unique_ptr<Connection>(new Connection);
        const int flags =
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &connection->m_db, flags,
                            nullptr) != SQLITE_OK)
            return Opened::failure(sqliteError(connection->m_db, u"cannot open "_s + path));
        sqlite3_busy_timeout(connection->m_db, busyTimeoutMs);
        if (const Result<void> ready = connection->setUp(create); !ready)
            return Opened::failure(ready.error());
        if (connection->pragma("journal_mode").toLower() != "wal")
            return Opened::failure(u"cannot put "_s + path + u" in WAL mode"_s);
        return connection;
    }

    ~Connection()
    {
        m_select.finalize();
        m_selectTag.finalize();
        m_upsert.finalize();
        sqlite3_close_v2(m_db);
    }

    LoadResult load(const QByteArray &id)
    {
        LoadResult result = std::optional<StoredVault>();
        sqlite3_stmt *const statement = m_select.handle;
        sqlite3_reset(statement);
        sqlite3_bind_text(statement, 1, id.constData(), int(id.size()), SQLITE_STATIC);
        switch (sqlite3_step(statement)) {
        case SQLITE_ROW:
            result = std::optional(StoredVault{blobColumn(statement, 0), blobColumn(statement, 1)});
            break;
        case SQLITE_DONE:
            break;
        default:
            result = LoadResult::failure(sqliteError(m_db, u"cannot read a vault"_s));
            break;
        }
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        return result;
    }

    TagResult loadTag(const QByteArray &id)
    {
        TagResult result = std::optional<QByteArray>();
        sqlite3_stmt *const statement = m_selectTag.handle;
        sqlite3_reset(statement);
        sqlite3_bind_text(statement, 1, id.constData(), int(id.size()), SQLITE_STATIC);
        switch (sqlite3_step(statement)) {
        case SQLITE_ROW:
            result = std::optional(blobColumn(statement, 0));
            break;
        case SQLITE_DONE:
            break;
        default:
            result = TagResult::failure(sqliteError(m_db, u"cannot read a vault's tag"_s));
            break;
        }
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        return result;
    }

    Result<std::vector<WriteOutcome>> store(std::span<const VaultWrite> writes)
    {
        std::vector<WriteOutcome> outcomes;
        outcomes.reserve(writes.size());
        // The reason is taken before the rollback, which would replace the connection's message.
        const auto fail = [this](QString error) {
            static_cast<void>(exec("ROLLBACK"));
            return Result<std::vector<WriteOutcome>>::failure(std::move(error));
        };
        // A batch that an exception ended (an allocation failed) left its transaction open.
        if (!sqlite3_get_autocommit(m_db))
            static_cast<void>(exec("ROLLBACK"));
        if (const Result<void> begun = exec("BEGIN IMMEDIATE"); !begun)
            return fail(begun.error());
        for (const VaultWrite &write : writes) {
            std::optional<QByteArray> current;
            sqlite3_stmt *const select = m_selectTag.handle;
            sqlite3_reset(select);
            sqlite3_bind_text(select, 1, write.id.constData(), int(write.id.size()), SQLITE_STATIC);
            const int step = sqlite3_step(select);
            if (step == SQLITE_ROW)
                current = blobColumn(select, 0);
            sqlite3_reset(select);
            if (step != SQLITE_ROW && step != SQLITE_DONE)
                return fail(sqliteError(m_db, u"cannot read a vault's tag"_s));
            if (!preconditionsHold(write, current)) {
                outcomes.push_back(WriteOutcome::PreconditionFailed);
                continue;
            }
            sqlite3_stmt *const upsert = m_upsert.handle;
            sqlite3_reset(upsert);
            sqlite3_bind_text(upsert, 1, write.id.constData(), int(write.id.size()), SQLITE_STATIC);
            sqlite3_bind_blob64(upsert, 2, write.data.constData(),
                                sqlite3_uint64(write.data.size()), SQLITE_STATIC);
            sqlite3_bind_text(upsert, 3, write.etag.constData(), int(write.etag.size()),
                              SQLITE_STATIC);
            const int stored = sqlite3_step(upsert);
            sqlite3_reset(upsert);
            sqlite3_clear_bindings(upsert);
            if (stored != SQLITE_DONE)
                return fail(sqliteError(m_db, u"cannot store a vault"_s));
            outcomes.push_back(current ? WriteOutcome::Replaced : WriteOutcome::Created);
        }
        if (const Result<void> committed = exec("COMMIT"); !committed)
            return fail(committed.error());
        return outcomes;
    }

    // The first value "PRAGMA <name>" answers, as text; empty when it answers nothing.
    [[nodiscard]] QByteArray pragma(QByteArrayView name)
    {
        const QByteArray sql = "PRAGMA " + name.toByteArray();
        Statement statement;
        if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &statement.handle, nullptr) !=
                SQLITE_OK ||
            sqlite3_step(statement.handle) != SQLITE_ROW)
            return {};
        return blobColumn(statement.handle, 0);
    }

private:
    Connection() = default;

    static QByteArray blobColumn(sqlite3_stmt *statement, int column)
    {
        const void *const bytes = sqlite3_column_blob(statement, column);
        const int size = sqlite3_column_bytes(statement, column);
        return bytes ? QByteArray(static_cast<const char *>(bytes), size) : QByteArray("");
    }

    // WAL lets readers go on while the writer commits; FULL syncs the log at every commit, so
    // a 2xx answer is only ever given for a payload that is on disk.
    Result<void> setUp(bool create)
    {
        Result<void> step = exec("PRAGMA journal_mode=WAL", SQLITE_ROW);
        if (step)
            step = exec("PRAGMA synchronous=FULL");
        if (step && create)
            step = exec(schemaSql);
        if (step && create)
            step = exec(tagIndexSql);
        if (step)
            step = prepare(m_select, "SELECT data, etag FROM vaults WHERE id = ?1");
        if (step)
            // Named, as for an equality on the primary key the planner takes the key's own
            // index without weighing one that holds the tag too. open() made it, before any
            // reader.
            step = prepare(m_selectTag,
                           "SELECT etag FROM vaults INDEXED BY vaults_tags WHERE id = ?1");
        if (step)
            step = prepare(m_upsert, "INSERT INTO vaults (id, data, etag, updated_at)"
                                     " VALUES (?1, ?2, ?3, unixepoch())"
                                     " ON CONFLICT (id) DO UPDATE SET data = excluded.data,"
                                     " etag = excluded.etag, updated_at = excluded.updated_at");
        return step;
    }

    Result<void> prepare(Statement &statement, const char *sql)
    {
        if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement.handle,
                               nullptr) == SQLITE_OK)
            return {};
        return Result<void>::failure(sqliteError(m_db, u"cannot prepare a statement"_s));
    }

    // Runs one statement to its end; `expected` is SQLITE_ROW for a PRAGMA that answers.
    Result<void> exec(const char *sql, int expected = SQLITE_DONE)
    {
        Statement statement;
        if (sqlite3_prepare_v2(m_db, sql, -1, &statement.handle, nullptr) == SQLITE_OK) {
            int step = sqlite3_step(statement.handle);
            if (step == expected) {
                while (step == SQLITE_ROW)
                    step = sqlite3_step(statement.handle);
                if (step == SQLITE_DONE)
                    return {};
            }
        }
        return Result<void>::failure(sqliteError(m_db, QString::fromUtf8(sql)));
    }

    sqlite3 *m_db = nullptr;
    Statement m_select;
    Statement m_selectTag;
    Statement m_upsert;
};

Result<std::unique_ptr<SqliteVaultStorage>> SqliteVaultStorage::open(const QString &folder)
{
    using Opened = Result<std::unique_ptr<SqliteVaultStorage>>;
    const QString absolute = QDir(folder).absolutePath();
    if (!QDir().mkpath(absolute))
        return Opened::failure(u"cannot make the data folder "_s + absolute);
    // Ciphertext only, but nobody else on the machine needs to read it.
    QFile::setPermissions(absolute, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString path = QDir(absolute).filePath(u"vaults.sqlite3"_s);
    Result<std::unique_ptr<Connection>> writer = Connection::open(path, true);
    if (!writer)
        return Opened::failure(writer.error());
    auto storage = std::unique_ptr<SqliteVaultStorage>(new SqliteVaultStorage(path));
    storage->m_writer = std::move(writer).value();
    return storage;
}

SqliteVaultStorage::SqliteVaultStorage(QString path)
    : m_path(std::move(path))
{}

SqliteVaultStorage::~SqliteVaultStorage() = default;

QString SqliteVaultStorage::description() const
{
    return u"SQLite "_s + m_path;
}

template<typename T, typename Use> Result<T> SqliteVaultStorage::withReader(Use &&use)
{
    std::unique_ptr<Connection> reader = m_readers.take();
    if (!reader) {
        Result<std::unique_ptr<Connection>> opened = Connection::open(m_path, false);
        if (!opened)
            return Result<T>::failure(opened.error());
        reader = std::move(opened).value();
    }
    Result<T> result = use(*reader);
    // A connection that failed is dropped, so a damaged one is never handed out again.
    if (result)
        m_readers.give(std::move(reader));
    return result;
}

LoadResult SqliteVaultStorage::load(const QByteArray &id)
{
    return withReader<std::optional<StoredVault>>(
        [&id](Connection &reader) { return reader.load(id); });
}

TagResult SqliteVaultStorage::loadTag(const QByteArray &id)
{
    return withReader<std::optional<QByteArray>>(
        [&id](Connection &reader) { return reader.loadTag(id); });
}

QByteArray SqliteVaultStorage::writerPragma(QByteArrayView name)
{
    return m_writer->pragma(name);
}

Result<std::vector<WriteOutcome>> SqliteVaultStorage::store(std::span<const VaultWrite> writes)
{
    return m_writer->store(writes);
}

} // namespace VaultServer
