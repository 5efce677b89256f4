#ifndef UPLOADRECORD_H
#define UPLOADRECORD_H

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QLockFile>
#include <QString>

struct sqlite3;

// What the host has sent, so that running the same batch again sends
// nothing twice: a small SQLite database in the host's data folder, one row
// per photo and place, keyed by the account (the name the service gives
// it), the album (empty: the application's album) and the digest of the
// original file's content. Owner-only, like the other files that say who
// the user is.
class UploadRecord
{
public:
    // Ordered: a later, stronger piece of knowledge replaces a weaker one.
    enum class State { Failed = 0, Unknown = 1, Uploaded = 2 };

    struct Entry
    {
        State state = State::Failed;
        QDateTime at; // when it was noted
        QString file; // the path it was sent from
    };
    using Entries = QHash<QByteArray, Entry>; // by digest

    static QString defaultPath();
    // A hex SHA-256 of the file's content; empty when it cannot be read.
    static QByteArray digestOf(const QString &path);

    explicit UploadRecord(QString path = defaultPath());
    ~UploadRecord();
    UploadRecord(const UploadRecord &) = delete;
    UploadRecord &operator=(const UploadRecord &) = delete;

    // Creates the file (owner-only) and its table when missing. False, with
    // a one-line reason, for a file that is not this user's regular file or
    // not a record.
    bool open(QString *error);
    const QString &path() const { return m_path; }

    // One batch at a time: another host sending with the same record would
    // not see what this one is sending. False, with the reason, while
    // another process holds it.
    bool lock(QString *error);
    void unlock();

    // What is known at that place; false, with the reason, when the record
    // cannot be read (a batch must not start then: it would send again
    // what the record knows).
    bool entries(const QString &account, const QString &album, Entries *found, QString *error) const;
    // Replaces what is known of the photo at that place.
    bool note(const QString &account, const QString &album, const QByteArray &digest, const Entry &entry,
              QString *error = nullptr);

private:
    bool fail(QString *error, const QString &what) const;

    QString m_path;
    sqlite3 *m_db = nullptr;
    QLockFile m_lock;
};

#endif // UPLOADRECORD_H
