#include "server/PostgresVaultStorage.h"

#include <QtEndian>

#include <bit>
#include <chrono>
#include <cstring>
#include <libpq-fe.h>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

using namespace Qt::StringLiterals;

namespace VaultServer {

namespace {

// The key of the advisory lock that serialises making the table: "Pinlark" in ASCII.
const char *const schemaLockSql = "SELECT pg_advisory_xact_lock(22633921122497131)";

// bytea, not text: a JSON string may hold U+0000, which text refuses.
const char *const schemaSql = "CREATE TABLE IF NOT EXISTS pinlark_vaults ("
                              " id text PRIMARY KEY,"
                              " data bytea NOT NULL,"
                              " etag text NOT NULL,"
                              " updated_at timestamptz NOT NULL DEFAULT now())";

const char *const loadSql = "SELECT data, etag FROM pinlark_vaults WHERE id = $1";
// The text is stored out of line (TOAST) once it passes about 2 kB: the tag alone is read
// without it.
const char *const loadTagSql = "SELECT etag FROM pinlark_vaults WHERE id = $1";
const char *const lockTagSql = "SELECT etag FROM pinlark_vaults WHERE id = $1 FOR UPDATE";
const char *const insertSql = "INSERT INTO pinlark_vaults (id, data, etag) VALUES ($1, $2, $3)"
                              " ON CONFLICT (id) DO NOTHING";
const char *const upsertSql = "INSERT INTO pinlark_vaults (id, data, etag) VALUES ($1, $2, $3)"
                              " ON CONFLICT (id) DO UPDATE SET data = excluded.data,"
                              " etag = excluded.etag, updated_at = now()";

// A bucket per client key (4 bytes of IPv4, or an IPv6 /64): the misses it had left at
// updated_at. A client without a row has its whole budget. Times are the database's own, so
// the servers' clocks need not agree.
const char *const missesSchemaSql = "CREATE TABLE IF NOT EXISTS pinlark_misses ("
                                    " client bytea PRIMARY KEY,"
                                    " misses double precision NOT NULL,"
                                    " updated_at timestamptz NOT NULL)";

// $1 the client, $2 the burst, $3 the window in seconds. What a bucket holds now: what it held,
// refilled at burst / window per second since, up to the burst. clock_timestamp(), not now():
// a statement that waited for another server's row lock would otherwise refill from before
// that server's update.
// (A macro, so that the statements below are still literals.)
#define PINLARK_REFILLED                                                                           \
    "least($2::int4, m.misses + greatest(0, extract(epoch FROM clock_timestamp() - m.updated_at)"  \
    "::float8) * $2::int4 / $3::int4)"
const char *const missesLeftSql =
    "SELECT " PINLARK_REFILLED "::float8 FROM pinlark_misses AS m WHERE m.client = $1::bytea";
// One statement, so two servers taking a miss of one client at once both count: the second
// waits for the first's row lock, then refills and takes from what the first left.
const char *const takeMissSql = "INSERT INTO pinlark_misses AS m (client, misses, updated_at)"
                                " VALUES ($1::bytea, $2::int4 - 1, clock_timestamp())"
                                " ON CONFLICT (client) DO UPDATE SET"
                                " misses = greatest(0, " PINLARK_REFILLED " - 1),"
                                " updated_at = greatest(m.updated_at, clock_timestamp())"
                                " RETURNING misses::float8";
// Full buckets are as good as no row. $1 is there only so that every statement of the ledger
// takes the same parameters.
const char *const sweepMissesSql =
    "DELETE FROM pinlark_misses AS m"
    " WHERE $1::bytea IS NOT NULL AND " PINLARK_REFILLED " >= $2::int4";
#undef PINLARK_REFILLED

// Rows of full buckets are deleted at most this often, by a server that takes a miss.
constexpr std::chrono::minutes sweepInterval{1};

// Built-in type OIDs, fixed in every PostgreSQL release.
constexpr Oid byteaOid = 17;
constexpr Oid textOid = 25;
constexpr Oid varcharOid = 1043;

// Seconds to wait for a connection when the URL does not say (libpq waits forever).
const char *const defaultConnectTimeout = "10";

// A batch that lost a deadlock, or a connection the server dropped, is tried again; this many
// times in all.
constexpr int storeAttempts = 3;
constexpr std::chrono::milliseconds retryPause{50};

struct PgResultDeleter
{
    void operator()(PGresult *result) const { PQclear(result); }
};
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

QByteArray valueAt(const PGresult *result, int row, int column)
{
    return QByteArray(PQgetvalue(result, row, column), PQgetlength(result, row, column));
}

bool isRetryableState(const PGresult *result)
{
    // serialization_failure and deadlock_detected: the server rolled the transaction back and
    // the same batch may well succeed when tried again.
    const char *const state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return state && (std::strcmp(state, "40001") == 0 || std::strcmp(state, "40P01") == 0);
}

} // namespace

// One server connection. Used by one thread at a time. Every statement is sent with binary
// parameters and answered in binary, so payloads pass through unchanged, U+0000 included.
class PostgresVaultStorage::Connection
{
public:
    // What one try of a batch came to.
    struct Attempt
    {
        std::vector<WriteOutcome> outcomes; // when committed
        bool committed = false;
        // Nothing of the batch can have reached the database, and trying it again may work.
        bool mayRetry = false;
        QString error;
    };

    static Result<std::unique_ptr<Connection>> open(const QByteArray &url)
    {
        using Opened = Result<std::unique_ptr<Connection>>;
        // Entries before the URL are defaults it may override; those after it are forced.
        const char *const keywords[] = {"connect_timeout", "dbname", "fallback_application_name",
                                        "client_encoding", nullptr};
        const char *const values[] = {defaultConnectTimeout, url.constData(), "pinlark-vault",
                                      "UTF8", nullptr};
        auto connection =
            std::unique_ptr<Connection>(new Connection(PQconnectdbParams(keywords, values, 1)));
        if (!connection->m_conn)
            return Opened::failure(u"cannot connect to PostgreSQL: out of memory"_s);
        if (PQstatus(connection->m_conn) != CONNECTION_OK)
            return Opened::failure(
                u"cannot connect to PostgreSQL: "_s +
                QString::fromUtf8(PQerrorMessage(connection->m_conn)).simplified());
        // Notices (such as "already exists, skipping") would go to stderr otherwise.
        PQsetNoticeReceiver(
            connection->m_conn, [](void *, const PGresult *) {}, nullptr);
        // A database or role may have turned synchronous_commit off; a 2xx answer promises the
        // payload is on disk, so such a session is put back to the default.
        const PgResult durable =
            connection->exec("SELECT set_config('synchronous_commit', 'on', false)"
                             " WHERE current_setting('synchronous_commit') = 'off'");
        if (!isOk(durable, PGRES_TUPLES_OK))
            return Opened::failure(u"cannot set up a PostgreSQL session: "_s +
                                   connection->describe(durable));
        return connection;
    }

    ~Connection() { PQfinish(m_conn); }

    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // False once the server dropped the connection, or when it was left inside a transaction.
    [[nodiscard]] bool usable() const
    {
        return PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) == PQTRANS_IDLE;
    }
    [[nodiscard]] bool lost() const { return PQstatus(m_conn) != CONNECTION_OK; }

    [[nodiscard]] QByteArray host() const { return PQhost(m_conn); }
    [[nodiscard]] QByteArray database() const { return PQdb(m_conn); }

    // The session's value of a run-time parameter; empty when it has none.
    [[nodiscard]] QByteArray setting(const QByteArray &name)
    {
        const PgResult result = exec("SELECT current_setting($1, true)", {name});
        if (!isOk(result, PGRES_TUPLES_OK) || PQntuples(result.get()) != 1)
            return {};
        return valueAt(result.get(), 0, 0);
    }

    // Makes the table when missing and checks that it is one the Vault can use. Processes that
    // start together take turns through an advisory lock: two CREATE TABLE IF NOT EXISTS at
    // the same moment would otherwise fail one of them on the catalog's unique index.
    Result<void> prepareTable()
    {
        const PgResult exists = exec("SELECT to_regclass('pinlark_vaults') IS NOT NULL");
        if (!isOk(exists, PGRES_TUPLES_OK) || PQntuples(exists.get()) != 1)
            return Result<void>::failure(u"cannot look for the table pinlark_vaults: "_s +
                                         describe(exists));
        // Only a missing table is made: one made beforehand by an administrator needs no right
        // to create tables, so the Vault's role may have no more than SELECT, INSERT, UPDATE.
        const bool present = valueAt(exists.get(), 0, 0) == QByteArrayView("\x01", 1); // binary
        if (!present) {
            for (const char *const sql : {"BEGIN", schemaLockSql, schemaSql, "COMMIT"}) {
                const PgResult made = exec(sql);
                if (!isOk(made, PGRES_COMMAND_OK) && !isOk(made, PGRES_TUPLES_OK)) {
                    const QString why = describe(made);
                    rollback();
                    return Result<void>::failure(u"cannot make the table pinlark_vaults: "_s + why);
                }
            }
        }
        const PgResult probe = exec(loadSql, {QByteArrayView()});
        if (!isOk(probe, PGRES_TUPLES_OK))
            return Result<void>::failure(u"cannot read the table pinlark_vaults: "_s +
                                         describe(probe));
        const Oid etagType = PQftype(probe.get(), 1);
        if (PQftype(probe.get(), 0) != byteaOid || (etagType != textOid && etagType != varcharOid))
            return Result<void>::failure(u"the table pinlark_vaults is not one of pinlark-vault's"
                                         u" (data must be bytea, etag text)"_s);
        return {};
    }

    // Makes the table of miss budgets when missing. A failure leaves the Vault working,
    // each server counting misses alone; the ledger's calls then say why.
    void prepareMissTable()
    {
        const PgResult exists = exec("SELECT to_regclass('pinlark_misses') IS NOT NULL");
        if (!isOk(exists, PGRES_TUPLES_OK) || PQntuples(exists.get()) != 1 ||
            valueAt(exists.get(), 0, 0) == QByteArrayView("\x01", 1))
            return;
        for (const char *const sql : {"BEGIN", schemaLockSql, missesSchemaSql, "COMMIT"}) {
            const PgResult made = exec(sql);
            if (!isOk(made, PGRES_COMMAND_OK) && !isOk(made, PGRES_TUPLES_OK)) {
                rollback();
                return;
            }
        }
    }

    // One statement of the ledger; its single value, or none when it found no row.
    Result<std::optional<double>> missStatement(const char *sql, const QByteArray &client,
                                                int burst, std::chrono::seconds window)
    {
        using Answer = Result<std::optional<double>>;
        const auto int4 = [](qint64 value) {
            QByteArray bytes(4, Qt::Uninitialized);
            qToBigEndian(qint32(value), bytes.data());
            return bytes;
        };
        const PgResult result = exec(sql, {client, int4(burst), int4(window.count())});
        const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK)
            return std::optional<double>();
        if (status != PGRES_TUPLES_OK)
            return Answer::failure(u"cannot share a miss budget: "_s + describe(result));
        if (PQntuples(result.get()) == 0)
            return std::optional<double>();
        if (PQgetlength(result.get(), 0, 0) != 8)
            return Answer::failure(u"the table pinlark_misses is not one of pinlark-vault's"_s);
        return std::optional(
            std::bit_cast<double>(qFromBigEndian<quint64>(PQgetvalue(result.get(), 0, 0))));
    }

    LoadResult load(const QByteArray &id)
    {
        const PgResult result = exec(loadSql, {id});
        if (!isOk(result, PGRES_TUPLES_OK))
            return LoadResult::failure(u"cannot read a vault: "_s + describe(result));
        if (PQntuples(result.get()) == 0)
            return std::optional<StoredVault>();
        return std::optional(StoredVault{valueAt(result.get(), 0, 0), valueAt(result.get(), 0, 1)});
    }

    TagResult loadTag(const QByteArray &id)
    {
        const PgResult result = exec(loadTagSql, {id});
        if (!isOk(result, PGRES_TUPLES_OK))
            return TagResult::failure(u"cannot read a vault's tag: "_s + describe(result));
        if (PQntuples(result.get()) == 0)
            return std::optional<QByteArray>();
        return std::optional(valueAt(result.get(), 0, 0));
    }

    // One transaction in READ COMMITTED, whatever the database's default: every statement
    // then sees what other processes committed before it, which the loop below relies on.
    Attempt store(std::span<const VaultWrite> writes)
    {
        Attempt attempt;
        const auto fail = [&](const QString &what, const PgResult &result) {
            attempt.error = what + u": "_s + describe(result);
            // Before COMMIT, a lost connection means the server rolled the batch back.
            attempt.mayRetry = isRetryableState(result.get()) || lost();
            rollback();
            return std::move(attempt);
        };
        for (const VaultWrite &write : writes) {
            if (write.data.size() > std::numeric_limits<int>::max()) {
                attempt.error = u"a payload is too large for PostgreSQL"_s;
                return attempt;
            }
        }

        // A batch that an exception ended (an allocation failed) left its transaction open.
        rollback();
        const PgResult begin = exec("BEGIN ISOLATION LEVEL READ COMMITTED");
        if (!isOk(begin, PGRES_COMMAND_OK))
            return fail(u"cannot begin a transaction"_s, begin);
        attempt.outcomes.reserve(writes.size());
        for (const VaultWrite &write : writes) {
            std::optional<WriteOutcome> outcome;
            // Two rounds, unless rows are deleted meanwhile: a vault that was missing and is
            // there at the insert was created by another process, whose commit the second
            // round then sees and locks.
            for (int round = 0; !outcome; ++round) {
                if (round == 3) {
                    attempt.error = u"a vault kept appearing and disappearing during a write"_s;
                    rollback();
                    return attempt;
                }
                const PgResult locked = exec(lockTagSql, {write.id});
                if (!isOk(locked, PGRES_TUPLES_OK))
                    return fail(u"cannot read a vault's tag"_s, locked);
                std::optional<QByteArray> current;
                if (PQntuples(locked.get()) > 0)
                    current = valueAt(locked.get(), 0, 0);
                if (!preconditionsHold(write, current)) {
                    outcome = WriteOutcome::PreconditionFailed;
                } else if (current) {
                    const PgResult replaced = exec(upsertSql, {write.id, write.data, write.etag});
                    if (!isOk(replaced, PGRES_COMMAND_OK))
                        return fail(u"cannot store a vault"_s, replaced);
                    outcome = WriteOutcome::Replaced;
                } else {
                    // A missing row cannot be locked, so another process may insert the same
                    // vault meanwhile; the unique index makes this insert wait for it and then
                    // do nothing, and the next round replaces that vault instead.
                    const PgResult inserted = exec(insertSql, {write.id, write.data, write.etag});
                    if (!isOk(inserted, PGRES_COMMAND_OK))
                        return fail(u"cannot store a vault"_s, inserted);
                    if (std::strcmp(PQcmdTuples(inserted.get()), "1") == 0)
                        outcome = WriteOutcome::Created;
                }
            }
            attempt.outcomes.push_back(*outcome);
        }

        const PgResult commit = exec("COMMIT");
        if (!isOk(commit, PGRES_COMMAND_OK)) {
            attempt.error = u"cannot commit: "_s + describe(commit);
            // A connection lost during COMMIT leaves it unknown whether the batch was stored,
            // so only an answer that says it was rolled back allows another try.
            attempt.mayRetry = isRetryableState(commit.get());
            rollback();
            return attempt;
        }
        // The server answers COMMIT with ROLLBACK for a transaction it had already aborted.
        if (std::strcmp(PQcmdStatus(commit.get()), "COMMIT") != 0) {
            attempt.error = u"cannot commit: the server rolled the transaction back"_s;
            return attempt;
        }
        attempt.committed = true;
        return attempt;
    }

private:
    explicit Connection(PGconn *connection)
        : m_conn(connection)
    {}

    static bool isOk(const PgResult &result, ExecStatusType expected)
    {
        return result && PQresultStatus(result.get()) == expected;
    }

    // One statement with binary parameters, answered in binary.
    PgResult exec(const char *sql, std::initializer_list<QByteArrayView> parameters = {})
    {
        std::vector<const char *> values;
        std::vector<int> lengths;
        const std::vector<int> formats(parameters.size(), 1);
        for (const QByteArrayView parameter : parameters) {
            // A null pointer would send SQL NULL; an empty payload is an empty bytea.
            values.push_back(parameter.data() ? parameter.data() : "");
            lengths.push_back(int(parameter.size()));
        }
        return PgResult(PQexecParams(m_conn, sql, int(parameters.size()), nullptr, values.data(),
                                     lengths.data(), formats.data(), 1));
    }

    void rollback()
    {
        if (PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_IDLE)
            exec("ROLLBACK");
    }

    // Why a statement failed, for the log. Only the server's primary message and SQLSTATE:
    // its DETAIL may quote the row (a vault's id, its payload).
    QString describe(const PgResult &result) const
    {
        if (result) {
            const char *const primary = PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY);
            if (primary) {
                const char *const state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
                QString message = QString::fromUtf8(primary).simplified();
                if (state)
                    message += u" (SQLSTATE "_s + QString::fromLatin1(state) + u')';
                return message;
            }
            // Messages libpq makes itself (a lost connection) carry no fields and no data.
            const QString own = QString::fromUtf8(PQresultErrorMessage(result.get())).simplified();
            if (!own.isEmpty())
                return own;
            if (PQresultStatus(result.get()) != PGRES_FATAL_ERROR)
                return u"unexpected answer "_s +
                       QString::fromUtf8(PQresStatus(PQresultStatus(result.get())));
        }
        const QString message = QString::fromUtf8(PQerrorMessage(m_conn)).simplified();
        return message.isEmpty() ? u"no answer from the server"_s : message;
    }

    PGconn *m_conn = nullptr;
};

Result<std::unique_ptr<PostgresVaultStorage>> PostgresVaultStorage::open(const QString &url)
{
    using Opened = Result<std::unique_ptr<PostgresVaultStorage>>;
    const QByteArray conninfo = url.toUtf8();
    if (conninfo.trimmed().isEmpty())
        return Opened::failure(u"no PostgreSQL URL given"_s);
    char *parseError = nullptr;
    PQconninfoOption *const options = PQconninfoParse(conninfo.constData(), &parseError);
    if (!options) {
        // libpq's message quotes the part it could not read, which may be the password.
        PQfreemem(parseError);
        return Opened::failure(
            u"cannot read the PostgreSQL URL; expected"_s +
            u" postgresql://[user[:password]@]host[:port]/database[?parameter=value...]"_s);
    }
    QByteArray password;
    for (const PQconninfoOption *option = options; option->keyword; ++option) {
        if (std::strcmp(option->keyword, "password") == 0 && option->val)
            password = option->val;
    }
    PQconninfoFree(options);

    auto storage =
        std::unique_ptr<PostgresVaultStorage>(new PostgresVaultStorage(conninfo, password));
    Result<std::unique_ptr<Connection>> writer = Connection::open(conninfo);
    if (!writer)
        return Opened::failure(storage->withoutPassword(writer.error()));
    storage->m_writer = std::move(writer).value();
    if (const Result<void> table = storage->m_writer->prepareTable(); !table)
        return Opened::failure(storage->withoutPassword(table.error()));
    storage->m_writer->prepareMissTable();
    storage->m_description = u"PostgreSQL "_s + QString::fromUtf8(storage->m_writer->host()) +
                             u'/' + QString::fromUtf8(storage->m_writer->database());
    return storage;
}

PostgresVaultStorage::PostgresVaultStorage(QByteArray url, QByteArray password)
    : m_url(std::move(url))
    , m_password(std::move(password))
{}

PostgresVaultStorage::~PostgresVaultStorage() = default;

QString PostgresVaultStorage::description() const
{
    return m_description;
}

template<typename T, typename Use> Result<T> PostgresVaultStorage::withReader(Use &&use)
{
    std::unique_ptr<Connection> reader = m_readers.take();
    const bool reused = reader != nullptr;
    if (!reader) {
        Result<std::unique_ptr<Connection>> opened = Connection::open(m_url);
        if (!opened)
            return Result<T>::failure(withoutPassword(opened.error()));
        reader = std::move(opened).value();
    }
    Result<T> result = use(*reader);
    if (!result && reader->lost()) {
        // The server dropped the connection, and with it most likely every idle one (it
        // restarted, or an administrator ended the sessions). A pooled connection gets one
        // more try on a new connection; a new one failing means the server is not there.
        m_readers.clear();
        reader.reset();
        if (reused) {
            Result<std::unique_ptr<Connection>> opened = Connection::open(m_url);
            if (!opened)
                return Result<T>::failure(withoutPassword(opened.error()));
            reader = std::move(opened).value();
            result = use(*reader);
        }
    }
    // A connection that failed is dropped, so a damaged one is never handed out again.
    if (result && reader->usable())
        m_readers.give(std::move(reader));
    if (!result)
        return Result<T>::failure(withoutPassword(result.error()));
    return result;
}

LoadResult PostgresVaultStorage::load(const QByteArray &id)
{
    return withReader<std::optional<StoredVault>>(
        [&id](Connection &reader) { return reader.load(id); });
}

TagResult PostgresVaultStorage::loadTag(const QByteArray &id)
{
    return withReader<std::optional<QByteArray>>(
        [&id](Connection &reader) { return reader.loadTag(id); });
}

Result<double> PostgresVaultStorage::missesLeft(const QByteArray &client, int burst,
                                                std::chrono::seconds window)
{
    const Result<std::optional<double>> left =
        withReader<std::optional<double>>([&](Connection &reader) {
            return reader.missStatement(missesLeftSql, client, burst, window);
        });
    if (!left)
        return Result<double>::failure(left.error());
    return left.value().value_or(double(burst));
}

Result<double> PostgresVaultStorage::takeMiss(const QByteArray &client, int burst,
                                              std::chrono::seconds window)
{
    const Result<std::optional<double>> left =
        withReader<std::optional<double>>([&](Connection &reader) {
            return reader.missStatement(takeMissSql, client, burst, window);
        });
    if (!left)
        return Result<double>::failure(left.error());
    if (!left.value())
        return Result<double>::failure(u"the table pinlark_misses answered no row"_s);

    // Misses are rare, so the one server that takes the first after a quiet minute also clears
    // out the rows of buckets that have refilled: the table holds the clients that missed
    // within about one window, however long the Vault runs. Its failure changes nothing.
    const qint64 now = std::chrono::steady_clock::now().time_since_epoch().count();
    qint64 last = m_lastSweep.load();
    const qint64 interval = std::chrono::nanoseconds(sweepInterval).count();
    if ((last == std::numeric_limits<qint64>::min() || now - last >= interval) &&
        m_lastSweep.compare_exchange_strong(last, now)) {
        (void)withReader<std::optional<double>>([&](Connection &reader) {
            return reader.missStatement(sweepMissesSql, client, burst, window);
        });
    }
    return *left.value();
}

QByteArray PostgresVaultStorage::writerSetting(const QByteArray &name)
{
    return m_writer ? m_writer->setting(name) : QByteArray();
}

Result<std::vector<WriteOutcome>> PostgresVaultStorage::store(std::span<const VaultWrite> writes)
{
    if (writes.empty())
        return std::vector<WriteOutcome>();
    QString message;
    for (int attempt = 1;; ++attempt) {
        const bool reused = m_writer != nullptr;
        if (!m_writer) {
            Result<std::unique_ptr<Connection>> opened = Connection::open(m_url);
            if (!opened) {
                message = opened.error();
                break;
            }
            m_writer = std::move(opened).value();
        }
        Connection::Attempt tried = m_writer->store(writes);
        if (tried.committed)
            return std::move(tried.outcomes);
        message = std::move(tried.error);
        const bool lost = m_writer->lost();
        if (!m_writer->usable()) {
            m_writer.reset();
            if (lost)
                m_readers.clear();
        }
        // A lost connection is worth another try only when it had been open for a while: a
        // new one failing at once means the server is not there.
        if (!tried.mayRetry || attempt == storeAttempts || (lost && !reused))
            break;
        // After a deadlock, the batch that won needs a moment to take the rows it waited for;
        // tried again at once, this one could lock them first and deadlock with it again.
        if (!lost)
            std::this_thread::sleep_for(retryPause * attempt);
    }
    return Result<std::vector<WriteOutcome>>::failure(withoutPassword(message));
}

QString PostgresVaultStorage::withoutPassword(QString message) const
{
    if (!m_password.isEmpty())
        message.replace(QString::fromUtf8(m_password), u"********"_s);
    return message;
}

} // namespace VaultServer
