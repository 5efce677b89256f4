#include "UploadRecord.h"

#include "utils/OwnerOnlyFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int busyWaitMs = 5000; // another process reading the record at the same moment
constexpr size_t notesPerTransaction = 256;

// Closes a statement however the function that prepared it returns.
struct Statement
{
    sqlite3_stmt *handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

void bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(statement, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
}

QString columnText(sqlite3_stmt *statement, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

// A link, a FIFO, a device or another user's file where a file of the
// record belongs: never opened (a FIFO would hang the reader, a link could
// lead the writes anywhere). Missing is fine: it is created.
QString notAPlainFile(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return errno == ENOENT ? QString() : QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISLNK(status.st_mode))
        return QStringLiteral("%1 is a symbolic link").arg(path);
    if (!S_ISREG(status.st_mode))
        return QStringLiteral("%1 is not a regular file").arg(path);
    if (status.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to another user").arg(path);
    return QString();
}

} // namespace

QString UploadRecord::defaultPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .absoluteFilePath(QStringLiteral("sent-photos.sqlite"));
}

UploadRecord::UploadRecord(QString path)
    : m_path(std::move(path))
{
}

UploadRecord::~UploadRecord()
{
    if (m_writer.joinable()) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_writer.join(); // what is queued is written first
    }
    sqlite3_close(m_db);
    delete m_lock;
}

bool UploadRecord::fail(QString *error, const QString &what) const
{
    if (error)
        *error = QStringLiteral("the record of sent photos: %1").arg(what);
    return false;
}

QString UploadRecord::sqliteError() const
{
    return m_path + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db));
}

bool UploadRecord::lock(QString *error)
{
    if (!m_lock)
        return fail(error, QStringLiteral("not open"));
    // QLockFile reads a lock it finds: a FIFO there would hang it.
    const QString odd = notAPlainFile(m_resolvedPath + QStringLiteral(".lock"));
    if (!odd.isEmpty())
        return fail(error, odd);
    if (m_lock->tryLock(0))
        return true;
    qint64 pid = 0;
    QString host, application;
    m_lock->getLockInfo(&pid, &host, &application);
    return fail(error, QStringLiteral("another batch is sending photos with it (process %1)").arg(pid));
}

void UploadRecord::unlock()
{
    if (m_lock)
        m_lock->unlock();
}

bool UploadRecord::open(QString *error)
{
    if (m_db)
        return true;
    // The folders on the way may be links (a home on another disk); the
    // database opens by the path they lead to, and refuses a link at the
    // file itself.
    const QFileInfo given(m_path);
    if (!QDir().mkpath(given.absolutePath()))
        return fail(error, QStringLiteral("cannot create the folder of %1").arg(m_path));
    const QString folder = QFileInfo(given.absolutePath()).canonicalFilePath();
    if (folder.isEmpty())
        return fail(error, QStringLiteral("cannot find the folder of %1").arg(m_path));
    m_resolvedPath = QDir(folder).filePath(given.fileName());
    QString reason = notAPlainFile(m_resolvedPath);
    // Creates it owner-only; neither blocks on a FIFO planted there.
    if (!reason.isEmpty() || !OwnerOnlyFile::isSafeToRead(m_resolvedPath, &reason)
        || !OwnerOnlyFile::prepare(m_resolvedPath, &reason))
        return fail(error, reason);
    if (sqlite3_open_v2(QFile::encodeName(m_resolvedPath).constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        const QString what = sqliteError();
        sqlite3_close(m_db);
        m_db = nullptr;
        return fail(error, what);
    }
    sqlite3_busy_timeout(m_db, busyWaitMs);
    const char *schema = "CREATE TABLE IF NOT EXISTS photos ("
                         " service TEXT NOT NULL, account TEXT NOT NULL, album TEXT NOT NULL,"
                         " digest TEXT NOT NULL, state INTEGER NOT NULL, at INTEGER NOT NULL, file TEXT NOT NULL,"
                         " PRIMARY KEY (service, account, album, digest));"
                         "CREATE TABLE IF NOT EXISTS accounts ("
                         " service TEXT NOT NULL, account TEXT NOT NULL, name TEXT NOT NULL,"
                         " PRIMARY KEY (service, account));"
                         "CREATE TABLE IF NOT EXISTS album_photos ("
                         " service TEXT NOT NULL, account TEXT NOT NULL, album_id TEXT NOT NULL,"
                         " digest TEXT NOT NULL, state INTEGER NOT NULL, at INTEGER NOT NULL, file TEXT NOT NULL,"
                         " PRIMARY KEY (service, account, album_id, digest));"
                         "CREATE TABLE IF NOT EXISTS albums ("
                         " service TEXT NOT NULL, account TEXT NOT NULL, album_id TEXT NOT NULL, name TEXT NOT NULL,"
                         " PRIMARY KEY (service, account, album_id))";
    if (sqlite3_exec(m_db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        const QString what = sqliteError();
        sqlite3_close(m_db);
        m_db = nullptr;
        return fail(error, what);
    }
    m_lock = new QLockFile(m_resolvedPath + QStringLiteral(".lock"));
    m_lock->setStaleLockTime(0); // a lock is stale only when its process is gone
    m_writer = std::thread([this] { writeNotes(); });
    return true;
}

// Runs the statements of `work` as one transaction, after the writer's.
bool UploadRecord::inTransaction(const std::function<bool()> &work, QString *error)
{
    if (!m_db)
        return fail(error, QStringLiteral("not open"));
    // Its transaction and the writer's would share the connection.
    if (!flush(error))
        return false;
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail(error, sqliteError());
    if (!work() || sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const QString what = sqliteError();
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return fail(error, what);
    }
    return true;
}

bool UploadRecord::run(const char *sql, const QStringList &values)
{
    Statement statement;
    if (sqlite3_prepare_v2(m_db, sql, -1, &statement.handle, nullptr) != SQLITE_OK)
        return false;
    for (int i = 0; i < values.size(); ++i)
        bindText(statement.handle, i + 1, values.at(i));
    return sqlite3_step(statement.handle) == SQLITE_DONE;
}

bool UploadRecord::adopt(const Account &account, const QString &name, QString *error)
{
    return inTransaction(
        [&] {
            if (!run("INSERT OR IGNORE INTO accounts (service, account, name) VALUES (?1, ?2, ?3)",
                     { account.service, account.id, name }))
                return false;
            const bool firstSeen = sqlite3_changes(m_db) == 1;
            Statement legacy;
            const bool hasLegacy = sqlite3_prepare_v2(m_db,
                                                      "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'sent'",
                                                      -1, &legacy.handle, nullptr)
                    == SQLITE_OK
                && sqlite3_step(legacy.handle) == SQLITE_ROW;
            if (!firstSeen || !hasLegacy)
                return true;
            return run("INSERT OR REPLACE INTO photos (service, account, album, digest, state, at, file)"
                       " SELECT ?1, ?2, album, digest, state, at, file FROM sent WHERE account = ?3",
                       { account.service, account.id, name })
                && run("DELETE FROM sent WHERE account = ?1", { name });
        },
        error);
}

bool UploadRecord::adoptAlbum(const Account &account, const Album &album, QString *error)
{
    return inTransaction(
        [&] {
            if (!run("INSERT OR IGNORE INTO albums (service, account, album_id, name) VALUES (?1, ?2, ?3, ?4)",
                     { account.service, account.id, album.id, album.name }))
                return false;
            if (sqlite3_changes(m_db) != 1)
                return true;
            return run("INSERT OR REPLACE INTO album_photos (service, account, album_id, digest, state, at, file)"
                       " SELECT service, account, ?3, digest, state, at, file FROM photos"
                       " WHERE service = ?1 AND account = ?2 AND album = ?4",
                       { account.service, account.id, album.id, album.name })
                && run("DELETE FROM photos WHERE service = ?1 AND account = ?2 AND album = ?3",
                       { account.service, account.id, album.name });
        },
        error);
}

bool UploadRecord::entries(const Account &account, const Album &album, bool withOldRows, Entries *found,
                           QString *error) const
{
    found->clear();
    Statement statement;
    if (!m_db)
        return fail(error, QStringLiteral("not open"));
    // Rows keyed by the album's name count too until an album takes them:
    // the earlier rows first, so that the album's own replace them.
    if (sqlite3_prepare_v2(m_db,
                           "SELECT digest, state, at, file, 0 FROM photos"
                           " WHERE service = ?1 AND account = ?2 AND album = ?4"
                           " UNION ALL SELECT digest, state, at, file, 1 FROM album_photos"
                           " WHERE service = ?1 AND account = ?2 AND album_id = ?3 ORDER BY 5",
                           -1, &statement.handle, nullptr)
        != SQLITE_OK)
        return fail(error, sqliteError());
    bindText(statement.handle, 1, account.service);
    bindText(statement.handle, 2, account.id);
    bindText(statement.handle, 3, album.id);
    // A listed album without a name is not the application's album.
    if (withOldRows && (!album.name.isEmpty() || album.id.isEmpty()))
        bindText(statement.handle, 4, album.name);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.handle)) == SQLITE_ROW) {
        Entry entry;
        entry.state = State(qBound(0, sqlite3_column_int(statement.handle, 1), int(State::Uploaded)));
        entry.at = QDateTime::fromSecsSinceEpoch(sqlite3_column_int64(statement.handle, 2));
        entry.file = columnText(statement.handle, 3);
        found->insert(columnText(statement.handle, 0).toLatin1(), entry);
    }
    if (step != SQLITE_DONE) // busy past the wait, damaged: nothing half read counts
        return fail(error, sqliteError());
    return true;
}

void UploadRecord::note(const Account &account, const QString &album, const QByteArray &digest, const Entry &entry)
{
    if (!m_db)
        return;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_pending.push_back({ account, album, digest, entry });
    }
    m_wake.notify_one();
}

bool UploadRecord::flush(QString *error)
{
    std::unique_lock<std::mutex> guard(m_mutex);
    m_written.wait(guard, [this] { return m_pending.empty() && !m_writing; });
    const QString failure = std::exchange(m_writeError, QString());
    return failure.isEmpty() || fail(error, failure);
}

void UploadRecord::writeNotes()
{
    std::unique_lock<std::mutex> guard(m_mutex);
    for (;;) {
        m_wake.wait(guard, [this] { return m_stopping || !m_pending.empty(); });
        if (m_pending.empty())
            return; // stopping, with nothing left to write
        std::deque<Note> batch;
        while (!m_pending.empty() && batch.size() < notesPerTransaction) {
            batch.push_back(std::move(m_pending.front()));
            m_pending.pop_front();
        }
        m_writing = true;
        guard.unlock();
        const QString error = writeBatch(batch);
        guard.lock();
        m_writing = false;
        if (!error.isEmpty() && m_writeError.isEmpty())
            m_writeError = error;
        m_written.notify_all();
    }
}

// One transaction: one wait on the disk for all the notes queued meanwhile.
// Empty, or why nothing of them was written.
QString UploadRecord::writeBatch(const std::deque<Note> &notes)
{
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return sqliteError();
    Statement statement;
    bool ok = sqlite3_prepare_v2(m_db,
                                 "INSERT OR REPLACE INTO album_photos"
                                 " (service, account, album_id, digest, state, at, file)"
                                 " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                                 -1, &statement.handle, nullptr)
        == SQLITE_OK;
    for (auto note = notes.cbegin(); ok && note != notes.cend(); ++note) {
        sqlite3_reset(statement.handle);
        bindText(statement.handle, 1, note->account.service);
        bindText(statement.handle, 2, note->account.id);
        bindText(statement.handle, 3, note->album);
        bindText(statement.handle, 4, QString::fromLatin1(note->digest));
        sqlite3_bind_int(statement.handle, 5, int(note->entry.state));
        sqlite3_bind_int64(statement.handle, 6, note->entry.at.toSecsSinceEpoch());
        bindText(statement.handle, 7, note->entry.file);
        ok = sqlite3_step(statement.handle) == SQLITE_DONE;
    }
    if (ok && sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return QString();
    const QString error = sqliteError();
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
}
