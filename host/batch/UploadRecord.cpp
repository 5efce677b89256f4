#include "UploadRecord.h"

#include "utils/OwnerOnlyFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sqlite3.h>

namespace {

constexpr int busyWaitMs = 5000; // another host noting its batch at the same moment

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

} // namespace

QString UploadRecord::defaultPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .absoluteFilePath(QStringLiteral("sent-photos.sqlite"));
}

QByteArray UploadRecord::digestOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

UploadRecord::UploadRecord(QString path)
    : m_path(std::move(path))
    , m_lock(m_path + QStringLiteral(".lock"))
{
    m_lock.setStaleLockTime(0); // a lock is stale only when its process is gone
}

bool UploadRecord::lock(QString *error)
{
    if (m_lock.tryLock(0))
        return true;
    qint64 pid = 0;
    QString host, application;
    m_lock.getLockInfo(&pid, &host, &application);
    return fail(error, QStringLiteral("another batch is sending photos with it (process %1)").arg(pid));
}

void UploadRecord::unlock()
{
    m_lock.unlock();
}

UploadRecord::~UploadRecord()
{
    sqlite3_close(m_db);
}

bool UploadRecord::fail(QString *error, const QString &what) const
{
    if (error)
        *error = QStringLiteral("the record of sent photos: %1").arg(what);
    return false;
}

bool UploadRecord::open(QString *error)
{
    if (m_db)
        return true;
    QString reason;
    // Creates it owner-only; neither blocks on a FIFO planted there.
    if (!OwnerOnlyFile::isSafeToRead(m_path, &reason) || !OwnerOnlyFile::prepare(m_path, &reason))
        return fail(error, reason);
    if (sqlite3_open_v2(QFile::encodeName(m_path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        const QString what = m_path + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return fail(error, what);
    }
    sqlite3_busy_timeout(m_db, busyWaitMs);
    const char *schema = "CREATE TABLE IF NOT EXISTS sent ("
                         " account TEXT NOT NULL, album TEXT NOT NULL, digest TEXT NOT NULL,"
                         " state INTEGER NOT NULL, at INTEGER NOT NULL, file TEXT NOT NULL,"
                         " PRIMARY KEY (account, album, digest))";
    if (sqlite3_exec(m_db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        const QString what = m_path + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return fail(error, what);
    }
    return true;
}

bool UploadRecord::entries(const QString &account, const QString &album, Entries *found, QString *error) const
{
    found->clear();
    Statement statement;
    if (!m_db)
        return fail(error, QStringLiteral("not open"));
    if (sqlite3_prepare_v2(m_db, "SELECT digest, state, at, file FROM sent WHERE account = ?1 AND album = ?2", -1,
                           &statement.handle, nullptr)
        != SQLITE_OK)
        return fail(error, m_path + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db)));
    bindText(statement.handle, 1, account);
    bindText(statement.handle, 2, album);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.handle)) == SQLITE_ROW) {
        Entry entry;
        entry.state = State(qBound(0, sqlite3_column_int(statement.handle, 1), int(State::Uploaded)));
        entry.at = QDateTime::fromSecsSinceEpoch(sqlite3_column_int64(statement.handle, 2));
        entry.file = columnText(statement.handle, 3);
        found->insert(columnText(statement.handle, 0).toLatin1(), entry);
    }
    if (step != SQLITE_DONE) // busy past the wait, damaged: nothing half read counts
        return fail(error, m_path + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db)));
    return true;
}

bool UploadRecord::note(const QString &account, const QString &album, const QByteArray &digest, const Entry &entry,
                        QString *error)
{
    Statement statement;
    if (!m_db)
        return fail(error, QStringLiteral("not open"));
    if (sqlite3_prepare_v2(m_db,
                           "INSERT OR REPLACE INTO sent (account, album, digest, state, at, file)"
                           " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                           -1, &statement.handle, nullptr)
        != SQLITE_OK)
        return fail(error, m_path + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db)));
    bindText(statement.handle, 1, account);
    bindText(statement.handle, 2, album);
    bindText(statement.handle, 3, QString::fromLatin1(digest));
    sqlite3_bind_int(statement.handle, 4, int(entry.state));
    sqlite3_bind_int64(statement.handle, 5, entry.at.toSecsSinceEpoch());
    bindText(statement.handle, 6, entry.file);
    if (sqlite3_step(statement.handle) != SQLITE_DONE)
        return fail(error, m_path + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db)));
    return true;
}
