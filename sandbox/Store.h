#ifndef STORE_H
#define STORE_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

// The sandbox's state in SQLite: users, tokens, granted permissions, albums,
// photos, feed posts and login sessions. Safe to use from the server's
// worker threads: every operation holds the store's lock.
class Store
{
public:
    struct User
    {
        std::string id;
        std::string name;
        std::string login;
    };
    struct Album
    {
        std::string id;
        std::string userId;
        std::string name;
        bool canUpload = false;
        int count = 0;
        std::string description;
        std::string privacy; // SELF, ALL_FRIENDS, FRIENDS_OF_FRIENDS or EVERYONE
    };
    struct Photo
    {
        std::string id;
        std::string albumId;
        std::string albumName;
        std::string message;
        std::string fileName; // as the client sent it (display only)
        std::string storedFile; // relative to the data folder
        std::string mime;
        std::int64_t size = 0;
        std::string privacy;
        std::string backdatedTime; // as the client sent it; empty: none
        std::int64_t created = 0;  // seconds since the epoch
    };
    struct Post
    {
        std::string id; // "<user>_<post>"
        std::string name, caption, description, picture, link, properties;
    };
    enum class TokenState { Missing, Unknown, Expired, Revoked, Valid };

    // Opens (creating and seeding when new) the database at path.
    explicit Store(const std::string &path);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    bool isOpen() const { return m_db != nullptr; }
    std::string error() const { return m_error; }

    void reset(); // back to the seed data

    std::optional<User> user(const std::string &id);
    std::optional<User> userByLogin(const std::string &login, const std::string &password);
    User defaultUser();
    // The name /me gives from now on; false for an unknown id.
    bool renameUser(const std::string &id, const std::string &name);

    std::string newToken(const std::string &userId, std::int64_t lifetimeSeconds);
    TokenState tokenState(const std::string &token, std::string *userId);
    void expireTokens();
    void revokeTokens();

    void grant(const std::string &userId, const std::vector<std::string> &permissions);
    void revoke(const std::string &userId, const std::string &permission);
    std::vector<std::string> permissions(const std::string &userId);
    bool hasPermission(const std::string &userId, const std::string &permission);
    // A permission the user unticked: revoked, and left out of later dialogs
    // unless they ask again (auth_type=rerequest). A grant ends it.
    void decline(const std::string &userId, const std::string &permission);
    bool isDeclined(const std::string &userId, const std::string &permission);

    std::vector<Album> albums(const std::string &userId, int offset, int limit);
    std::vector<Album> allAlbums(); // every user's
    // The new album's id; empty if it could not be stored.
    std::string addAlbum(const std::string &userId, const std::string &name, const std::string &description,
                         const std::string &privacy);
    int albumCount(const std::string &userId);
    std::optional<Album> album(const std::string &id);
    Album applicationAlbum(const std::string &userId); // the target of /me/photos

    std::string addPhoto(const Photo &photo, const std::string &userId);
    std::optional<Photo> photo(const std::string &id);
    std::vector<Photo> photos();

    std::string addPost(const std::string &userId, const Post &post);
    std::vector<Post> posts();

    std::string newSession(const std::string &userId);
    std::optional<User> sessionUser(const std::string &session);

private:
    void createSchema();
    void addMissingColumn(const char *table, const char *column, const char *definition, const char *fill = nullptr);
    void seed();
    bool exec(const char *sql);

    std::mutex m_mutex;
    sqlite3 *m_db = nullptr;
    std::string m_error;
};

#endif // STORE_H
