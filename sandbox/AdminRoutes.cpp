#include "AdminRoutes.h"

#include "GraphError.h"
#include "JsonReply.h"
#include "SandboxServer.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <optional>

#include <dirent.h>
#include <unistd.h>

namespace {

// The user a "user=" value names: by login or by id.
std::optional<Store::User> namedUser(SandboxServer &sandbox, const std::string &value)
{
    if (value.empty())
        return std::nullopt;
    for (const char *id : { "100001234567890", "100009876543210" }) {
        const auto user = sandbox.store().user(id);
        if (user && user->login == value)
            return user;
    }
    return sandbox.store().user(value);
}

// The user of a control call: the default user without "user=" (or with an
// unknown one).
Store::User userParam(SandboxServer &sandbox, const httplib::Request &request)
{
    return namedUser(sandbox, request.get_param_value("user")).value_or(sandbox.store().defaultUser());
}

void refuse(httplib::Response &response, int status, const std::string &error)
{
    response.status = status;
    JsonReply::send(response, QJsonObject { { "error", JsonReply::text(error) } });
}

std::optional<long long> wholeNumber(const std::string &value)
{
    const bool digits =
        std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    if (value.empty() || value.size() > 12 || !digits)
        return std::nullopt;
    return std::stoll(value);
}

void removeStoredPhotos(const std::string &dir)
{
    if (DIR *folder = ::opendir(dir.c_str())) {
        while (const dirent *entry = ::readdir(folder)) {
            if (entry->d_name[0] != '.')
                ::unlink((dir + "/" + entry->d_name).c_str());
        }
        ::closedir(folder);
    }
}

bool flag(const httplib::Request &request, const char *name, bool current)
{
    if (!request.has_param(name))
        return current;
    const std::string value = request.get_param_value(name);
    return value == "1" || value == "true";
}

void reset(SandboxServer &sandbox, const httplib::Request &, httplib::Response &response)
{
    sandbox.store().reset();
    sandbox.faults().clear();
    sandbox.resetRequestCounts();
    sandbox.brokenUploads = 0;
    sandbox.uplink().reset();
    sandbox.loginPages = 0;
    removeStoredPhotos(sandbox.photoDir());
    JsonReply::send(response, QJsonObject { { "success", true } });
}

void addScript(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    std::string error;
    if (!sandbox.faults().addScript(request.body, &error)) {
        refuse(response, 400, error);
        return;
    }
    JsonReply::send(response, QJsonObject { { "success", true } });
}

void token(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const Store::User user = userParam(sandbox, request);
    std::vector<std::string> scopes;
    std::string scope = request.get_param_value("scope") + ",";
    for (size_t start = 0, comma; (comma = scope.find(',', start)) != std::string::npos; start = comma + 1) {
        if (comma > start)
            scopes.push_back(scope.substr(start, comma - start));
    }
    sandbox.store().grant(user.id, scopes);
    JsonReply::send(response, QJsonObject { { "access_token", JsonReply::text(sandbox.store().newToken(user.id, 5183999)) },
                                     { "user_id", JsonReply::text(user.id) } });
}

void expireTokens(SandboxServer &sandbox, const httplib::Request &, httplib::Response &response)
{
    sandbox.store().expireTokens();
    JsonReply::send(response, QJsonObject { { "success", true } });
}

void revokeTokens(SandboxServer &sandbox, const httplib::Request &, httplib::Response &response)
{
    sandbox.store().revokeTokens();
    JsonReply::send(response, QJsonObject { { "success", true } });
}

void revokePermission(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    sandbox.store().revoke(userParam(sandbox, request).id, request.get_param_value("name"));
    JsonReply::send(response, QJsonObject { { "success", true } });
}

void declinePermission(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    sandbox.store().decline(userParam(sandbox, request).id, request.get_param_value("name"));
    JsonReply::send(response, QJsonObject { { "success", true } });
}

// Unlike the other calls, an unknown "user=" is refused, not taken for the
// default user.
void renameUser(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const std::string name = request.get_param_value("name");
    if (name.empty()) {
        refuse(response, 400, "expected rename-user?user=..&name=.. with a name");
        return;
    }
    const std::optional<Store::User> user =
        request.has_param("user") ? namedUser(sandbox, request.get_param_value("user")) : sandbox.store().defaultUser();
    if (!user || !sandbox.store().renameUser(user->id, name)) {
        refuse(response, 404, "no such user: " + request.get_param_value("user"));
        return;
    }
    JsonReply::send(response, QJsonObject { { "success", true } });
}

void rateLimit(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const std::optional<long long> ms = wholeNumber(request.get_param_value("ms"));
    const std::optional<long long> code = request.has_param("code") ? wholeNumber(request.get_param_value("code")) : 4;
    const std::optional<GraphError> error = code && *code < 1000 ? GraphError::rateLimit(int(*code)) : std::nullopt;
    if (!ms || *ms > FaultInjector::maxLimitMs || !error) {
        refuse(response, 400, "expected rate-limit?ms=0 to " + std::to_string(FaultInjector::maxLimitMs)
                   + "&code=4, 17, 32 or 613");
        return;
    }
    sandbox.faults().limitUploads(*error, std::chrono::milliseconds(*ms));
    JsonReply::send(response, QJsonObject { { "success", true } });
}

void switches(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    SandboxSwitches &switches = sandbox.switches();
    switches.autoApprove = flag(request, "auto_approve", switches.autoApprove);
    switches.newPermissionsFormat = flag(request, "new_permissions", switches.newPermissionsFormat);
    switches.feedCancelWithError = flag(request, "feed_cancel_error", switches.feedCancelWithError);
    if (request.has_param("upload_limit"))
        switches.uploadLimit = std::stoll(request.get_param_value("upload_limit"));
    if (request.has_param("upload_answer_delay_ms"))
        switches.uploadAnswerDelayMs = std::clamp(std::stoi(request.get_param_value("upload_answer_delay_ms")), 0, 60000);
    if (request.has_param("uplink")) { // a new rate starts a new measure
        sandbox.uplink().setRate(std::stoll(request.get_param_value("uplink")));
        sandbox.uplink().reset();
    }
    JsonReply::send(response, QJsonObject { { "auto_approve", bool(switches.autoApprove) },
                                     { "new_permissions", bool(switches.newPermissionsFormat) },
                                     { "feed_cancel_error", bool(switches.feedCancelWithError) },
                                     { "upload_limit", qint64(switches.uploadLimit) },
                                     { "upload_answer_delay_ms", int(switches.uploadAnswerDelayMs) },
                                     { "uplink", qint64(sandbox.uplink().rate()) } });
}

void counters(SandboxServer &sandbox, const httplib::Request &, httplib::Response &response)
{
    QJsonObject requests;
    for (const auto &[path, count] : sandbox.requestCounts())
        requests.insert(JsonReply::text(path), count);
    JsonReply::send(response, QJsonObject { { "requests", requests },
                                     { "photos", int(sandbox.store().photos().size()) },
                                     { "posts", int(sandbox.store().posts().size()) },
                                     { "broken_uploads", sandbox.brokenUploads.load() },
                                     { "uplink_bytes", qint64(sandbox.uplink().bytes()) },
                                     { "uploads_under_way", sandbox.uplink().busyShare() },
                                     { "login_pages", sandbox.loginPages.load() } });
}

void photos(SandboxServer &sandbox, const httplib::Request &, httplib::Response &response)
{
    QJsonArray photos;
    for (const Store::Photo &photo : sandbox.store().photos()) {
        // Where a test finds the bytes the service kept.
        const QString storedFile =
            QFileInfo(JsonReply::text(sandbox.config().dataDir + "/" + photo.storedFile)).absoluteFilePath();
        photos.append(QJsonObject { { "id", JsonReply::text(photo.id) },
                                    { "album_id", JsonReply::text(photo.albumId) },
                                    { "album", JsonReply::text(photo.albumName) },
                                    { "message", JsonReply::text(photo.message) },
                                    { "file_name", JsonReply::text(photo.fileName) },
                                    { "mime", JsonReply::text(photo.mime) },
                                    { "size", qint64(photo.size) },
                                    { "privacy", JsonReply::text(photo.privacy) },
                                    { "backdated_time", photo.backdatedTime.empty()
                                          ? QJsonValue(QJsonValue::Null)
                                          : QJsonValue(JsonReply::text(photo.backdatedTime)) },
                                    { "stored_file", storedFile } });
    }
    JsonReply::send(response, photos);
}

void albums(SandboxServer &sandbox, const httplib::Request &, httplib::Response &response)
{
    QJsonArray albums;
    for (const Store::Album &album : sandbox.store().allAlbums()) {
        albums.append(QJsonObject { { "id", JsonReply::text(album.id) },
                                    { "user_id", JsonReply::text(album.userId) },
                                    { "name", JsonReply::text(album.name) },
                                    { "description", JsonReply::text(album.description) },
                                    { "privacy", JsonReply::text(album.privacy) },
                                    { "can_upload", album.canUpload },
                                    { "count", album.count } });
    }
    JsonReply::send(response, albums);
}

void posts(SandboxServer &sandbox, const httplib::Request &, httplib::Response &response)
{
    QJsonArray posts;
    for (const Store::Post &post : sandbox.store().posts()) {
        posts.append(QJsonObject { { "id", JsonReply::text(post.id) },
                                   { "name", JsonReply::text(post.name) },
                                   { "caption", JsonReply::text(post.caption) },
                                   { "description", JsonReply::text(post.description) },
                                   { "picture", JsonReply::text(post.picture) },
                                   { "link", JsonReply::text(post.link) },
                                   { "properties", JsonReply::text(post.properties) } });
    }
    JsonReply::send(response, posts);
}

} // namespace

namespace AdminRoutes {

void install(SandboxServer &sandbox, httplib::Server &http)
{
    using Handler = void (*)(SandboxServer &, const httplib::Request &, httplib::Response &);
    struct Route
    {
        const char *method;
        const char *name;
        Handler handler;
    };
    static const Route routes[] = {
        { "POST", "reset", reset },
        { "POST", "script", addScript },
        { "POST", "token", token },
        { "POST", "expire-tokens", expireTokens },
        { "POST", "revoke-tokens", revokeTokens },
        { "POST", "revoke-permission", revokePermission },
        { "POST", "decline-permission", declinePermission },
        { "POST", "rename-user", renameUser },
        { "POST", "rate-limit", rateLimit },
        { "POST", "switches", switches },
        { "GET", "counters", counters },
        { "GET", "photos", photos },
        { "GET", "albums", albums },
        { "GET", "posts", posts },
    };
    for (const Route &route : routes) {
        const auto call = [&sandbox, handler = route.handler](const httplib::Request &request,
                                                               httplib::Response &response) {
            handler(sandbox, request, response);
        };
        if (qstrcmp(route.method, "GET") == 0)
            http.Get(prefix + std::string(route.name), call);
        else
            http.Post(prefix + std::string(route.name), call);
    }
}

} // namespace AdminRoutes
