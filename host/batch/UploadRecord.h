#ifndef UPLOADRECORD_H
#define UPLOADRECORD_H

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QLockFile>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <deque>
#include <mutex>
#include <thread>

struct sqlite3;

// What the host has sent, so that running the same batch again sends
// nothing twice: a small SQLite database in the host's data folder, one row
// per photo and place, keyed by the service (its origin: the real one and a
// sandbox never share a row), the service's own id for the account (stable
// across renames), the album's id (empty: the application's album; names
// repeat) and the digest of the original file's content. Each row keeps the path the photo
// was sent from, so an edited photo is known by its path. Owner-only, like
// the other files that say who the user is.
//
// Rows written by earlier versions of the host are keyed by the account's
// display name, or by the album's; the first batch of an account, or of an
// album, with that name takes them over (adopt(), adoptAlbum()).
//
// Writes go to a thread of their own, a transaction for whatever has
// queued, so that neither a slow disk nor another process's lock holds the
// window; flush() waits for them and says whether they were written.
class UploadRecord
{
public:
    // Ordered: a later, stronger piece of knowledge replaces a weaker one.
    enum class State { Failed = 0, Unknown = 1, Uploaded = 2 };

    struct Entry
    {
        State state = State::Failed;
        QDateTime at; // when it was noted
        QString file; // the absolute path it was sent from
    };
    using Entries = QHash<QByteArray, Entry>; // by digest

    // Who sends where: the service's origin and its id for the account.
    struct Account
    {
        QString service;
        QString id;
    };

    static QString defaultPath();

    explicit UploadRecord(QString path = defaultPath());
    ~UploadRecord(); // after the writes still queued
    UploadRecord(const UploadRecord &) = delete;
    UploadRecord &operator=(const UploadRecord &) = delete;

    // Creates the file (owner-only) and its tables when missing. Folders on
    // the way may be links; the file itself must be this user's regular
    // file. False, with a one-line reason, otherwise or for a file that is
    // not a record.
    bool open(QString *error);
    const QString &path() const { return m_path; }

    // One batch at a time: another host sending with the same record would
    // not see what this one is sending. False, with the reason, while
    // another process holds it, or when the lock's place holds anything but
    // a regular file.
    bool lock(QString *error);
    void unlock();

    // Takes over, once for each account, the rows an earlier version wrote
    // under the account's display name.
    bool adopt(const Account &account, const QString &name, QString *error);

    // Where a batch goes: the album's id and name (both empty: the
    // application's album).
    struct Album
    {
        QString id;
        QString name;
    };
    // Takes over, once for each album, the rows an earlier version wrote
    // under the album's name: for an album that alone has that name and
    // was not made just now (the caller knows).
    bool adoptAlbum(const Account &account, const Album &album, QString *error);

    // What is known at that place (the album's id); withOldRows: what the
    // rows of earlier versions under its name say as well, until an album
    // takes them (two albums of one name both count them: neither is sent
    // what may be in the other). False, with the reason, when the record
    // cannot be read (a batch must not start then: it would send again
    // what the record knows).
    bool entries(const Account &account, const Album &album, bool withOldRows, Entries *found,
                 QString *error) const;
    // Replaces what is known of the photo at that place: queued, written in
    // order on the record's thread.
    void note(const Account &account, const QString &album, const QByteArray &digest, const Entry &entry);
    // Waits until every note so far is written; false, with the first
    // error since the last flush, when one could not be.
    bool flush(QString *error);

private:
    struct Note
    {
        Account account;
        QString album;
        QByteArray digest;
        Entry entry;
    };

    bool fail(QString *error, const QString &what) const;
    bool inTransaction(const std::function<bool()> &work, QString *error);
    bool run(const char *sql, const QStringList &values);
    QString sqliteError() const;
    void writeNotes();
    QString writeBatch(const std::deque<Note> &notes);

    QString m_path;
    QString m_resolvedPath; // through the folders' links
    sqlite3 *m_db = nullptr; // serialized: the writer shares it
    QLockFile *m_lock = nullptr;

    std::thread m_writer;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_written;
    std::deque<Note> m_pending;
    bool m_writing = false;
    bool m_stopping = false;
    QString m_writeError;
};

#endif // UPLOADRECORD_H
