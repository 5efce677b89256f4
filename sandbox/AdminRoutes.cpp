#include "AdminRoutes.h"

#include "SandboxServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <dirent.h>
#include <unistd.h>

namespace {

QString q(const std::string &text)
{
    return QString::fromStdString(text);
}

void sendJson(httplib::Response &response, const QJsonValue &value)
{
    const QJsonDocument document = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    response.set_content(document.toJson(QJsonDocument::Compact).toStdString(), "application/json; charset=UTF-8");
}

Store::User userParam(SandboxServer &sandbox, const httplib::Request &request)
{
    const std::string login = request.get_param_value("user");
    if (!login.empty()) {
        for (const char *id : { "100001234567890", "100009876543210" }) {
            const auto user = sandbox.store().user(id);
            if (user && user->login == login)
                return *user;
        }
    }
    return sandbox.store().defaultUser();
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

} // namespace

namespace AdminRoutes {

void install(SandboxServer &sandbox, httplib::Server &http)
{
    SandboxServer *s = &sandbox;
    const std::string p = prefix;
    http.Post(p + "reset", [s](const httplib::Request &, httplib::Response &response) {
        s->store().reset();
        s->faults().clear();
        s->resetRequestCounts();
        s->brokenUploads = 0;
        s->loginPages = 0;
        removeStoredPhotos(s->photoDir());
        sendJson(response, QJsonObject { { "success", true } });
    });
    http.Post(p + "script", [s](const httplib::Request &request, httplib::Response &response) {
        std::string error;
        if (!s->faults().addScript(request.body, &error)) {
            response.status = 400;
            sendJson(response, QJsonObject { { "error", q(error) } });
            return;
        }
        sendJson(response, QJsonObject { { "success", true } });
    });
    http.Post(p + "token", [s](const httplib::Request &request, httplib::Response &response) {
        const Store::User user = userParam(*s, request);
        std::vector<std::string> scopes;
        std::string scope = request.get_param_value("scope") + ",";
        for (size_t start = 0, comma; (comma = scope.find(',', start)) != std::string::npos; start = comma + 1) {
            if (comma > start)
                scopes.push_back(scope.substr(start, comma - start));
        }
        s->store().grant(user.id, scopes);
        sendJson(response, QJsonObject { { "access_token", q(s->store().newToken(user.id, 5183999)) },
                                         { "user_id", q(user.id) } });
    });
    http.Post(p + "expire-tokens", [s](const httplib::Request &, httplib::Response &response) {
        s->store().expireTokens();
        sendJson(response, QJsonObject { { "success", true } });
    });
    http.Post(p + "revoke-tokens", [s](const httplib::Request &, httplib::Response &response) {
        s->store().revokeTokens();
        sendJson(response, QJsonObject { { "success", true } });
    });
    http.Post(p + "revoke-permission", [s](const httplib::Request &request, httplib::Response &response) {
        s->store().revoke(userParam(*s, request).id, request.get_param_value("name"));
        sendJson(response, QJsonObject { { "success", true } });
    });
    http.Post(p + "decline-permission", [s](const httplib::Request &request, httplib::Response &response) {
        s->store().decline(userParam(*s, request).id, request.get_param_value("name"));
        sendJson(response, QJsonObject { { "success", true } });
    });
    http.Post(p + "switches", [s](const httplib::Request &request, httplib::Response &response) {
        SandboxSwitches &switches = s->switches();
        switches.autoApprove = flag(request, "auto_approve", switches.autoApprove);
        switches.newPermissionsFormat = flag(request, "new_permissions", switches.newPermissionsFormat);
        switches.feedCancelWithError = flag(request, "feed_cancel_error", switches.feedCancelWithError);
        if (request.has_param("upload_limit"))
            switches.uploadLimit = std::stoll(request.get_param_value("upload_limit"));
        sendJson(response, QJsonObject { { "auto_approve", bool(switches.autoApprove) },
                                         { "new_permissions", bool(switches.newPermissionsFormat) },
                                         { "feed_cancel_error", bool(switches.feedCancelWithError) },
                                         { "upload_limit", qint64(switches.uploadLimit) } });
    });
    http.Get(p + "counters", [s](const httplib::Request &, httplib::Response &response) {
        QJsonObject requests;
        for (const auto &[path, count] : s->requestCounts())
            requests.insert(q(path), count);
        sendJson(response, QJsonObject { { "requests", requests },
                                         { "photos", int(s->store().photos().size()) },
                                         { "posts", int(s->store().posts().size()) },
                                         { "broken_uploads", s->brokenUploads.load() },
                                         { "login_pages", s->loginPages.load() } });
    });
    http.Get(p + "photos", [s](const httplib::Request &, httplib::Response &response) {
        QJsonArray photos;
        for (const Store::Photo &photo : s->store().photos()) {
            photos.append(QJsonObject { { "id", q(photo.id) },
                                        { "album_id", q(photo.albumId) },
                                        { "album", q(photo.albumName) },
                                        { "message", q(photo.message) },
                                        { "file_name", q(photo.fileName) },
                                        { "mime", q(photo.mime) },
                                        { "size", qint64(photo.size) } });
        }
        sendJson(response, photos);
    });
    http.Get(p + "posts", [s](const httplib::Request &, httplib::Response &response) {
        QJsonArray posts;
        for (const Store::Post &post : s->store().posts()) {
            posts.append(QJsonObject { { "id", q(post.id) },
                                       { "name", q(post.name) },
                                       { "caption", q(post.caption) },
                                       { "description", q(post.description) },
                                       { "picture", q(post.picture) },
                                       { "link", q(post.link) },
                                       { "properties", q(post.properties) } });
        }
        sendJson(response, posts);
    });
}

} // namespace AdminRoutes
