#include "Store.h"

#include "Privacy.h"

#include <sqlite3.h>

#include <sys/random.h>

#include <chrono>
#include <stdexcept>

namespace {

constexpr long long albumIdBase = 500000000000000LL;
constexpr long long photoIdBase = 600000000000000LL;
constexpr long long postIdBase = 700000000000000LL;
constexpr const char *applicationAlbumName = "Orvelle Photos";

std::int64_t now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Tokens and session ids are credentials: every character comes from the
// kernel's cryptographic source (62 is not a power of two, so bytes at or
// above 248 are drawn again instead of skewing the alphabet).
std::string randomToken(const char *prefix, int length)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr unsigned alphabetSize = sizeof alphabet - 1;
    constexpr unsigned unbiasedLimit = 256 - 256 % alphabetSize;
    std::string token = prefix;
    const std::size_t size = token.size() + std::size_t(length);
    unsigned char bytes[64];
    while (token.size() < size) {
        if (::getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes))
            throw std::runtime_error("no random bytes");
        for (std::size_t i = 0; i < sizeof bytes && token.size() < size; ++i) {
            if (bytes[i] < unbiasedLimit)
                token += alphabet[bytes[i] % alphabetSize];
        }
    }
    return token;
}

// One prepared statement; finalised with its scope.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, const std::string &text)
    {
        sqlite3_bind_text(m_stmt, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind(int index, long long value)
    {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    bool step() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_ROW; }
    bool run() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_DONE; }
    std::string text(int column) const
    {
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        return data ? std::string(data, size_t(sqlite3_column_bytes(m_stmt, column))) : std::string();
    }
    long long integer(int column) const { return sqlite3_column_int64(m_stmt, column); }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

} // namespace

Store::Store(const std::string &path)
{
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr)
        != SQLITE_OK) {
        m_error = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        return;
    }
    sqlite3_busy_timeout(m_db, 5000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA foreign_keys=ON");
    createSchema();
    Statement users(m_db, "SELECT COUNT(*) FROM users");
    if (users.step() && users.integer(0) == 0)
        seed();
}

Store::~Store()
{
    sqlite3_close(m_db);
}

bool Store::exec(const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        m_error = message ? message : "sqlite error";
        sqlite3_free(message);
        return false;
    }
    return true;
}

void Store::createSchema()
{
    exec(R"sql(
        CREATE TABLE IF NOT EXISTS users (id TEXT PRIMARY KEY, name TEXT, login TEXT UNIQUE, password TEXT);
        CREATE TABLE IF NOT EXISTS tokens (token TEXT PRIMARY KEY, user_id TEXT, expires_at INTEGER,
                                           revoked INTEGER DEFAULT 0);
        CREATE TABLE IF NOT EXISTS permissions (user_id TEXT, name TEXT, PRIMARY KEY (user_id, name));
        CREATE TABLE IF NOT EXISTS declined (user_id TEXT, name TEXT, PRIMARY KEY (user_id, name));
        CREATE TABLE IF NOT EXISTS albums (rowid INTEGER PRIMARY KEY, user_id TEXT, name TEXT,
                                           can_upload INTEGER, is_application INTEGER DEFAULT 0);
        CREATE TABLE IF NOT EXISTS photos (rowid INTEGER PRIMARY KEY, album_rowid INTEGER, user_id TEXT,
                                           message TEXT, file_name TEXT, stored_file TEXT, mime TEXT,
                                           size INTEGER, created INTEGER);
        CREATE TABLE IF NOT EXISTS posts (rowid INTEGER PRIMARY KEY, user_id TEXT, name TEXT, caption TEXT,
                                          description TEXT, picture TEXT, link TEXT, properties TEXT,
                                          created INTEGER);
        CREATE TABLE IF NOT EXISTS sessions (session TEXT PRIMARY KEY, user_id TEXT);
    )sql");
    // Data folders of earlier versions lack these; their albums took every
    // audience, and their photos had their album's.
    addMissingColumn("albums", "description", "TEXT DEFAULT ''");
    addMissingColumn("albums", "privacy", "TEXT DEFAULT 'EVERYONE'");
    addMissingColumn("photos", "privacy", "TEXT",
                     "UPDATE photos SET privacy = (SELECT a.privacy FROM albums a WHERE a.rowid = photos.album_rowid)");
    addMissingColumn("photos", "backdated_time", "TEXT DEFAULT ''");
}

void Store::addMissingColumn(const char *table, const char *column, const char *definition, const char *fill)
{
    Statement columns(m_db, (std::string("PRAGMA table_info(") + table + ")").c_str());
    while (columns.step()) {
        if (columns.text(1) == column)
            return;
    }
    exec((std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + definition).c_str());
    if (fill)
        exec(fill);
}

// Two users, one with a name in Cyrillic; enough albums for a second page
// (25 per page), one that refuses uploads and two that share a name, told
// apart by their descriptions and audiences. The others take photos of any
// audience.
void Store::seed()
{
    exec("BEGIN");
    exec(R"sql(
        INSERT INTO users VALUES ('100001234567890', 'Ирина Соколова', 'irina', 'sandbox');
        INSERT INTO users VALUES ('100009876543210', 'Alex Martin', 'alex', 'sandbox');
        INSERT INTO permissions VALUES ('100001234567890', 'public_profile');
        INSERT INTO permissions VALUES ('100009876543210', 'public_profile');
    )sql");
    struct Seeded
    {
        const char *name, *description, *privacy;
    };
    const Seeded named[] = { { "Profile Pictures", "", "EVERYONE" },
                             { "Mobile Uploads", "", "EVERYONE" },
                             { "Timeline Photos", "", "EVERYONE" },
                             { "Лето на даче", "Дача под Тверью", "EVERYONE" },
                             { "東京 2026", "", "EVERYONE" },
                             { "Trips", "Lisbon, summer 2025", "EVERYONE" },
                             { "Trips", "Weekends in the Alps", "SELF" } };
    const auto addAlbum = [this](const std::string &user, const std::string &name, bool canUpload,
                                 const std::string &description, const std::string &privacy) {
        Statement insert(m_db, "INSERT INTO albums (user_id, name, can_upload, description, privacy) "
                               "VALUES (?, ?, ?, ?, ?)");
        insert.bind(1, user).bind(2, name).bind(3, canUpload ? 1LL : 0LL).bind(4, description).bind(5, privacy).run();
    };
    int index = 0;
    for (const Seeded &album : named) // profile pictures take no uploads
        addAlbum("100001234567890", album.name, index++ != 0, album.description, album.privacy);
    for (int i = 1; index < 30; ++i, ++index)
        addAlbum("100001234567890", "Album " + std::to_string(i), true, "", "EVERYONE");
    addAlbum("100009876543210", "Holidays", true, "", "EVERYONE");
    exec("COMMIT");
}

void Store::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    exec("BEGIN");
    exec("DELETE FROM users; DELETE FROM tokens; DELETE FROM permissions; DELETE FROM declined; DELETE FROM albums;"
         "DELETE FROM photos; DELETE FROM posts; DELETE FROM sessions;");
    exec("COMMIT");
    seed();
}

std::optional<Store::User> Store::user(const std::string &id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, "SELECT id, name, login FROM users WHERE id = ?");
    query.bind(1, id);
    if (!query.step())
        return std::nullopt;
    return User { query.text(0), query.text(1), query.text(2) };
}

std::optional<Store::User> Store::userByLogin(const std::string &login, const std::string &password)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, "SELECT id, name, login FROM users WHERE login = ? AND password = ?");
    query.bind(1, login).bind(2, password);
    if (!query.step())
        return std::nullopt;
    return User { query.text(0), query.text(1), query.text(2) };
}

Store::User Store::defaultUser()
{
    return user("100001234567890").value_or(User {});
}

bool Store::renameUser(const std::string &id, const std::string &name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement update(m_db, "UPDATE users SET name = ? WHERE id = ?");
    return update.bind(1, name).bind(2, id).run() && sqlite3_changes(m_db) == 1;
}

std::string Store::newToken(const std::string &userId, std::int64_t lifetimeSeconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string token = randomToken("EAAS", 60);
    Statement insert(m_db, "INSERT INTO tokens (token, user_id, expires_at) VALUES (?, ?, ?)");
    insert.bind(1, token).bind(2, userId).bind(3, now() + lifetimeSeconds).run();
    return token;
}

Store::TokenState Store::tokenState(const std::string &token, std::string *userId)
{
    if (token.empty())
        return TokenState::Missing;
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, "SELECT user_id, expires_at, revoked FROM tokens WHERE token = ?");
    query.bind(1, token);
    if (!query.step())
        return TokenState::Unknown;
    if (query.integer(2))
        return TokenState::Revoked;
    if (query.integer(1) <= now())
        return TokenState::Expired;
    if (userId)
        *userId = query.text(0);
    return TokenState::Valid;
}

void Store::expireTokens()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement update(m_db, "UPDATE tokens SET expires_at = ?");
    update.bind(1, now() - 1).run();
}

void Store::revokeTokens()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    exec("UPDATE tokens SET revoked = 1");
}

void Store::grant(const std::string &userId, const std::vector<std::string> &permissions)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string &name : permissions) {
        Statement insert(m_db, "INSERT OR IGNORE INTO permissions VALUES (?, ?)");
        insert.bind(1, userId).bind(2, name).run();
        Statement undecline(m_db, "DELETE FROM declined WHERE user_id = ? AND name = ?");
        undecline.bind(1, userId).bind(2, name).run();
    }
}

void Store::decline(const std::string &userId, const std::string &permission)
{
    revoke(userId, permission);
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement insert(m_db, "INSERT OR IGNORE INTO declined VALUES (?, ?)");
    insert.bind(1, userId).bind(2, permission).run();
}

bool Store::isDeclined(const std::string &userId, const std::string &permission)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, "SELECT 1 FROM declined WHERE user_id = ? AND name = ?");
    query.bind(1, userId).bind(2, permission);
    return query.step();
}

void Store::revoke(const std::string &userId, const std::string &permission)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement remove(m_db, "DELETE FROM permissions WHERE user_id = ? AND name = ?");
    remove.bind(1, userId).bind(2, permission).run();
}

std::vector<std::string> Store::permissions(const std::string &userId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, "SELECT name FROM permissions WHERE user_id = ? ORDER BY name");
    query.bind(1, userId);
    std::vector<std::string> names;
    while (query.step())
        names.push_back(query.text(0));
    return names;
}

bool Store::hasPermission(const std::string &userId, const std::string &permission)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, "SELECT 1 FROM permissions WHERE user_id = ? AND name = ?");
    query.bind(1, userId).bind(2, permission);
    return query.step();
}

static const char *const albumColumns =
    "SELECT a.rowid, a.user_id, a.name, a.can_upload, "
    "(SELECT COUNT(*) FROM photos p WHERE p.album_rowid = a.rowid), a.description, a.privacy FROM albums a ";

static Store::Album readAlbum(const Statement &row)
{
    return { std::to_string(albumIdBase + row.integer(0)), row.text(1), row.text(2), row.integer(3) != 0,
             int(row.integer(4)), row.text(5), row.text(6) };
}

std::vector<Store::Album> Store::albums(const std::string &userId, int offset, int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, (std::string(albumColumns) + "WHERE a.user_id = ? ORDER BY a.rowid LIMIT ? OFFSET ?").c_str());
    query.bind(1, userId).bind(2, (long long)limit).bind(3, (long long)offset);
    std::vector<Album> result;
    while (query.step())
        result.push_back(readAlbum(query));
    return result;
}

std::vector<Store::Album> Store::allAlbums()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, (std::string(albumColumns) + "ORDER BY a.rowid").c_str());
    std::vector<Album> result;
    while (query.step())
        result.push_back(readAlbum(query));
    return result;
}

std::string Store::addAlbum(const std::string &userId, const std::string &name, const std::string &description,
                            const std::string &privacy)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement insert(m_db,
                     "INSERT INTO albums (user_id, name, can_upload, description, privacy) VALUES (?, ?, 1, ?, ?)");
    if (!insert.bind(1, userId).bind(2, name).bind(3, description).bind(4, privacy).run())
        return {};
    return std::to_string(albumIdBase + sqlite3_last_insert_rowid(m_db));
}

int Store::albumCount(const std::string &userId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, "SELECT COUNT(*) FROM albums WHERE user_id = ?");
    query.bind(1, userId);
    return query.step() ? int(query.integer(0)) : 0;
}

std::optional<Store::Album> Store::album(const std::string &id)
{
    long long rowid = 0;
    try {
        size_t used = 0;
        rowid = std::stoll(id, &used) - albumIdBase;
        if (used != id.size() || rowid <= 0)
            return std::nullopt;
    } catch (const std::exception &) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, (std::string(albumColumns) + "WHERE a.rowid = ?").c_str());
    query.bind(1, rowid);
    if (!query.step())
        return std::nullopt;
    return readAlbum(query);
}

Store::Album Store::applicationAlbum(const std::string &userId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string select = std::string(albumColumns) + "WHERE a.user_id = ? AND a.is_application = 1";
    {
        Statement query(m_db, select.c_str());
        query.bind(1, userId);
        if (query.step())
            return readAlbum(query);
    }
    // New albums' audience; photos sent to it may have any (see the upload).
    Statement insert(m_db, "INSERT INTO albums (user_id, name, can_upload, is_application, privacy) "
                           "VALUES (?, ?, 1, 1, ?)");
    insert.bind(1, userId).bind(2, std::string(applicationAlbumName)).bind(3, std::string(Privacy::newAlbumDefault));
    insert.run();
    Statement query(m_db, select.c_str());
    query.bind(1, userId);
    query.step();
    return readAlbum(query);
}

std::string Store::addPhoto(const Photo &photo, const std::string &userId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement insert(m_db, "INSERT INTO photos (album_rowid, user_id, message, file_name, stored_file, mime, size, "
                           "created, privacy, backdated_time) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, std::stoll(photo.albumId) - albumIdBase)
        .bind(2, userId)
        .bind(3, photo.message)
        .bind(4, photo.fileName)
        .bind(5, photo.storedFile)
        .bind(6, photo.mime)
        .bind(7, (long long)photo.size)
        .bind(8, (long long)now())
        .bind(9, photo.privacy)
        .bind(10, photo.backdatedTime);
    if (!insert.run())
        return {};
    return std::to_string(photoIdBase + sqlite3_last_insert_rowid(m_db));
}

static const char *const photoColumns =
    "SELECT p.rowid, p.album_rowid, a.name, p.message, p.file_name, p.stored_file, p.mime, p.size, p.privacy, "
    "p.backdated_time, p.created FROM photos p LEFT JOIN albums a ON a.rowid = p.album_rowid ";

static Store::Photo readPhoto(const Statement &row)
{
    return { std::to_string(photoIdBase + row.integer(0)), std::to_string(albumIdBase + row.integer(1)),
             row.text(2), row.text(3), row.text(4), row.text(5), row.text(6), row.integer(7), row.text(8),
             row.text(9), row.integer(10) };
}

std::optional<Store::Photo> Store::photo(const std::string &id)
{
    long long rowid = 0;
    try {
        size_t used = 0;
        rowid = std::stoll(id, &used) - photoIdBase;
        if (used != id.size())
            return std::nullopt;
    } catch (const std::exception &) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, (std::string(photoColumns) + "WHERE p.rowid = ?").c_str());
    query.bind(1, rowid);
    if (!query.step())
        return std::nullopt;
    return readPhoto(query);
}

std::vector<Store::Photo> Store::photos()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, (std::string(photoColumns) + "ORDER BY p.rowid").c_str());
    std::vector<Photo> result;
    while (query.step())
        result.push_back(readPhoto(query));
    return result;
}

std::string Store::addPost(const std::string &userId, const Post &post)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement insert(m_db, "INSERT INTO posts (user_id, name, caption, description, picture, link, properties, "
                           "created) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, userId)
        .bind(2, post.name)
        .bind(3, post.caption)
        .bind(4, post.description)
        .bind(5, post.picture)
        .bind(6, post.link)
        .bind(7, post.properties)
        .bind(8, (long long)now());
    if (!insert.run())
        return {};
    return userId + "_" + std::to_string(postIdBase + sqlite3_last_insert_rowid(m_db));
}

std::vector<Store::Post> Store::posts()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db, "SELECT rowid, user_id, name, caption, description, picture, link, properties "
                          "FROM posts ORDER BY rowid");
    std::vector<Post> result;
    while (query.step()) {
        result.push_back({ query.text(1) + "_" + std::to_string(postIdBase + query.integer(0)), query.text(2),
                           query.text(3), query.text(4), query.text(5), query.text(6), query.text(7) });
    }
    return result;
}

std::string Store::newSession(const std::string &userId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string session = randomToken("s", 32);
    Statement insert(m_db, "INSERT INTO sessions VALUES (?, ?)");
    insert.bind(1, session).bind(2, userId).run();
    return session;
}

std::optional<Store::User> Store::sessionUser(const std::string &session)
{
    std::string userId;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Statement query(m_db, "SELECT user_id FROM sessions WHERE session = ?");
        query.bind(1, session);
        if (!query.step())
            return std::nullopt;
        userId = query.text(0);
    }
    return user(userId);
}
