#include "GraphRoutes.h"

#include "GraphError.h"
#include "Images.h"
#include "PhotoReceiver.h"
#include "JsonReply.h"
#include "Privacy.h"
#include "SandboxServer.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTime>

#include <chrono>
#include <ctime>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

namespace {

constexpr int defaultPageSize = 25;
constexpr int maxAlbumName = 100; // characters
constexpr std::int64_t backdatedSlack = 24 * 3600; // the service allows for clocks and time zones

// The user the request's token belongs to, or the error already written.
std::optional<std::string> authenticate(SandboxServer &sandbox, const httplib::Request &request,
                                        httplib::Response &response)
{
    std::string userId;
    switch (sandbox.store().tokenState(request.get_param_value("access_token"), &userId)) {
    case Store::TokenState::Valid:
        return userId;
    case Store::TokenState::Missing:
        GraphError::missingToken().writeTo(response);
        break;
    case Store::TokenState::Unknown:
        GraphError::invalidToken().writeTo(response);
        break;
    case Store::TokenState::Expired:
        GraphError::expiredToken().writeTo(response);
        break;
    case Store::TokenState::Revoked:
        GraphError::revokedToken().writeTo(response);
        break;
    }
    return std::nullopt;
}

int intParam(const httplib::Request &request, const char *name, int fallback, int low, int high)
{
    if (!request.has_param(name))
        return fallback;
    try {
        return std::clamp(std::stoi(request.get_param_value(name)), low, high);
    } catch (const std::exception &) {
        return fallback;
    }
}

std::string encodeCursor(int offset)
{
    return QByteArray::number(offset).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).toStdString();
}

int decodeCursor(const std::string &cursor)
{
    bool ok = false;
    const int offset = QByteArray::fromBase64(QByteArray::fromStdString(cursor), QByteArray::Base64UrlEncoding).toInt(&ok);
    return ok && offset >= 0 ? offset : 0;
}

// A form's field, multipart or urlencoded, or else the query string's.
std::optional<std::string> formField(const httplib::Request &request, const char *name)
{
    if (request.has_file(name))
        return request.get_file_value(name).content;
    if (request.has_param(name))
        return request.get_param_value(name);
    return std::nullopt;
}

// The time a backdated_time names, in seconds since the epoch: a date and
// time "YYYY-MM-DDTHH:MM:SS" (UTC, or with "Z" or an offset "+HH:MM") or a
// Unix time in seconds; none for anything else.
std::optional<std::int64_t> backdatedSeconds(const std::string &value)
{
    static const std::regex unixTime(R"(\d{1,12})");
    static const std::regex dateTime(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(Z|([+-])(\d\d):(\d\d))?)");
    if (std::regex_match(value, unixTime))
        return std::stoll(value);
    std::smatch parts;
    if (!std::regex_match(value, parts, dateTime))
        return std::nullopt;
    const auto number = [&parts](int index) { return std::stoi(parts[index].str()); };
    const QDate date(number(1), number(2), number(3));
    const QTime time(number(4), number(5), number(6));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    std::int64_t offset = 0;
    if (parts[8].matched) {
        if (number(9) > 14 || number(10) > 59)
            return std::nullopt;
        offset = (number(9) * 60 + number(10)) * 60 * (parts[8] == "-" ? -1 : 1);
    }
    constexpr std::int64_t unixEpochDay = 2440588; // 1970-01-01 as a Julian day
    return (date.toJulianDay() - unixEpochDay) * 86400 + time.msecsSinceStartOfDay() / 1000 - offset;
}

void me(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const auto userId = authenticate(sandbox, request, response);
    if (!userId)
        return;
    const auto user = sandbox.store().user(*userId);
    JsonReply::send(response, QJsonObject { { "id", JsonReply::text(user->id) }, { "name", JsonReply::text(user->name) } });
}

void permissions(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const auto userId = authenticate(sandbox, request, response);
    if (!userId)
        return;
    const std::vector<std::string> granted = sandbox.store().permissions(*userId);
    QJsonArray data;
    if (sandbox.switches().newPermissionsFormat) {
        for (const std::string &name : granted)
            data.append(QJsonObject { { "permission", JsonReply::text(name) }, { "status", "granted" } });
    } else {
        QJsonObject row { { "installed", 1 } };
        for (const std::string &name : granted)
            row.insert(JsonReply::text(name), 1);
        data.append(row);
    }
    JsonReply::send(response, QJsonObject { { "data", data } });
}

void albums(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const auto userId = authenticate(sandbox, request, response);
    if (!userId)
        return;
    if (!sandbox.store().hasPermission(*userId, "user_photos")) {
        GraphError::missingPermission("user_photos").writeTo(response);
        return;
    }
    const int limit = intParam(request, "limit", defaultPageSize, 1, 100);
    const int offset = request.has_param("after") ? decodeCursor(request.get_param_value("after")) : 0;
    const int total = sandbox.store().albumCount(*userId);
    QJsonArray data;
    for (const Store::Album &album : sandbox.store().albums(*userId, offset, limit)) {
        data.append(QJsonObject { { "id", JsonReply::text(album.id) },
                                  { "name", JsonReply::text(album.name) },
                                  { "can_upload", album.canUpload },
                                  { "count", album.count },
                                  { "description", JsonReply::text(album.description) },
                                  { "privacy", JsonReply::text(album.privacy) } });
    }
    QJsonObject result { { "data", data } };
    if (!data.isEmpty()) {
        QJsonObject paging { { "cursors", QJsonObject { { "before", JsonReply::text(encodeCursor(offset)) },
                                                         { "after", JsonReply::text(encodeCursor(offset + data.size())) } } } };
        if (offset + data.size() < total) {
            paging.insert("next", JsonReply::text(sandbox.config().origin() + "/me/albums?access_token="
                                    + request.get_param_value("access_token") + "&limit=" + std::to_string(limit)
                                    + "&after=" + encodeCursor(offset + data.size())));
        }
        if (offset > 0) {
            paging.insert("previous", JsonReply::text(sandbox.config().origin() + "/me/albums?access_token="
                                        + request.get_param_value("access_token") + "&limit="
                                        + std::to_string(limit) + "&before=" + encodeCursor(offset)));
        }
        result.insert("paging", paging);
    }
    JsonReply::send(response, result);
}

// A new album of the token's user, from a form: "name" (1 to 100
// characters), "message" (its description) and "privacy".
void createAlbum(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const auto userId = authenticate(sandbox, request, response);
    if (!userId)
        return;
    // Whoever may upload photos may make albums for them.
    if (!sandbox.store().hasPermission(*userId, "photo_upload")) {
        GraphError::missingPermission("photo_upload").writeTo(response);
        return;
    }
    // As for uploads: a scripted answer makes no album, unless the script
    // loses the answer of one that was made.
    const std::optional<FaultInjector::Reply> scripted = sandbox.faults().take(request);
    const bool answerLost = scripted && scripted->stored;
    if (scripted && !answerLost && sandbox.faults().answer(*scripted, request, response, sandbox.config().port))
        return;
    const QString name = QString::fromStdString(formField(request, "name").value_or(std::string())).trimmed();
    const auto length = name.toUcs4().size();
    if (length == 0) {
        GraphError::invalidParameter("The parameter name is required").writeTo(response);
        return;
    }
    if (length > maxAlbumName) {
        GraphError::invalidParameter("Param name must be at most " + std::to_string(maxAlbumName) + " characters")
            .writeTo(response);
        return;
    }
    std::string privacy = Privacy::newAlbumDefault;
    if (const std::optional<std::string> given = formField(request, "privacy")) {
        const std::optional<std::string> parsed = Privacy::parse(*given);
        if (!parsed) {
            GraphError::invalidParameter(Privacy::malformed("privacy")).writeTo(response);
            return;
        }
        privacy = *parsed;
    }
    const std::string id = sandbox.store().addAlbum(*userId, name.toStdString(),
                                                    formField(request, "message").value_or(std::string()), privacy);
    if (id.empty()) {
        GraphError { 2, "OAuthException", "Service temporarily unavailable", 0, 500 }.writeTo(response);
        return;
    }
    if (answerLost && sandbox.faults().answer(*scripted, request, response, sandbox.config().port))
        return;
    JsonReply::send(response, QJsonObject { { "id", JsonReply::text(id) } });
}

void picture(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const auto userId = authenticate(sandbox, request, response);
    if (!userId)
        return;
    const int width = intParam(request, "width", 50, 1, 2048);
    const int height = intParam(request, "height", 50, 1, 2048);
    const std::string url = sandbox.config().origin() + "/pictures/" + *userId + ".png?width=" + std::to_string(width)
        + "&height=" + std::to_string(height);
    if (request.get_param_value("redirect") != "false" && request.get_param_value("redirect") != "0") {
        response.set_redirect(url);
        return;
    }
    JsonReply::send(response, QJsonObject { { "data", QJsonObject { { "height", height },
                                                 { "is_silhouette", false },
                                                 { "url", JsonReply::text(url) },
                                                 { "width", width } } } });
}

void pictureFile(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const std::string userId = request.matches[1];
    if (!sandbox.store().user(userId)) {
        response.status = 404;
        return;
    }
    const int width = intParam(request, "width", 50, 1, 2048);
    const int height = intParam(request, "height", 50, 1, 2048);
    response.set_content(Images::profilePicture(width, height, userId), "image/png");
}

void photoFile(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const auto photo = sandbox.store().photo(request.matches[1]);
    std::ifstream file(sandbox.config().dataDir + "/" + (photo ? photo->storedFile : ""), std::ios::binary);
    if (!photo || !file) {
        response.status = 404;
        return;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    response.set_content(bytes.str(), photo->mime.c_str());
}

void upload(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response,
            const httplib::ContentReader &reader, const std::string &albumPathId)
{
    const Uplink::Upload underWay(sandbox.uplink());
    const auto userId = authenticate(sandbox, request, response);
    if (!userId || !sandbox.store().hasPermission(*userId, "photo_upload")) {
        PhotoReceiver::discard(request, reader);
        if (userId)
            GraphError::missingPermission("photo_upload").writeTo(response);
        return;
    }
    if (!request.is_multipart_form_data()) {
        PhotoReceiver::discard(request, reader);
        GraphError::invalidParameter("The request must be multipart/form-data").writeTo(response);
        return;
    }
    if (sandbox.faults().beforeBody(request, sandbox.config().port)) {
        response.status = 500; // never sent: the connection is gone
        return;
    }
    PhotoReceiver receiver(sandbox.photoDir(), sandbox.switches().uploadLimit, &sandbox.uplink());
    if (!receiver.receive(reader)) {
        ++sandbox.brokenUploads;
        GraphError::invalidParameter("Malformed multipart body").writeTo(response);
        return;
    }
    if (const std::optional<FaultInjector::Reply> limited = sandbox.faults().uploadLimit()) {
        sandbox.faults().answer(*limited, request, response, sandbox.config().port);
        return;
    }
    // A scripted answer: nothing is stored, unless the script loses the
    // answer of a photo that was.
    const std::optional<FaultInjector::Reply> scripted = sandbox.faults().take(request);
    const bool answerLost = scripted && scripted->stored;
    if (scripted && !answerLost && sandbox.faults().answer(*scripted, request, response, sandbox.config().port))
        return;
    if (!receiver.hasSource()) {
        GraphError { 324, "OAuthException", "(#324) Requires upload file", 0, 400 }.writeTo(response);
        return;
    }
    if (receiver.tooLarge()) {
        // For good, as the service refuses a photo it will not take: a
        // transient code would have the client send the whole file again.
        const std::int64_t limit = sandbox.switches().uploadLimit;
        const std::string size = limit >= 1024 * 1024 ? std::to_string(limit / (1024 * 1024)) + " MB"
                                                       : std::to_string(limit) + " bytes";
        GraphError::invalidParameter("The photo is larger than the upload limit of " + size).writeTo(response);
        return;
    }
    const std::string mime = receiver.mime();
    if (mime.empty()) {
        GraphError { 324, "OAuthException", "(#324) Missing or invalid image file", 0, 400 }.writeTo(response);
        return;
    }
    // Every parameter is checked before anything is stored: a refused photo
    // leaves no trace, not even the application's album.
    const auto uploadField = [&receiver, &request](const char *name) -> std::optional<std::string> {
        if (receiver.hasField(name))
            return receiver.field(name);
        if (request.has_param(name)) // the query string's
            return request.get_param_value(name);
        return std::nullopt;
    };
    std::optional<std::string> privacy;
    if (const std::optional<std::string> given = uploadField("privacy")) {
        privacy = Privacy::parse(*given);
        if (!privacy) {
            GraphError::invalidParameter(Privacy::malformed("privacy")).writeTo(response);
            return;
        }
    }
    std::string backdatedTime;
    if (const std::optional<std::string> given = uploadField("backdated_time")) {
        backdatedTime = *given;
        const std::optional<std::int64_t> seconds = backdatedSeconds(backdatedTime);
        if (!seconds) {
            GraphError::invalidParameter("Param backdated_time must be a date and time (YYYY-MM-DDTHH:MM:SS, "
                                         "optionally with Z or +HH:MM) or a Unix time in seconds")
                .writeTo(response);
            return;
        }
        if (*seconds > std::int64_t(std::time(nullptr)) + backdatedSlack) {
            GraphError::invalidParameter("Param backdated_time cannot be in the future").writeTo(response);
            return;
        }
    }
    Store::Album album;
    if (albumPathId == "me") {
        album = sandbox.store().applicationAlbum(*userId);
    } else {
        const auto found = sandbox.store().album(albumPathId);
        if (!found || found->userId != *userId) {
            GraphError { 100, "GraphMethodException",
                         "Unsupported post request. Object with ID '" + albumPathId + "' does not exist", 33, 400 }
                .writeTo(response);
            return;
        }
        if (!found->canUpload) {
            GraphError { 120, "OAuthException", "(#120) Invalid album id", 0, 400 }.writeTo(response);
            return;
        }
        // The application's album (above) takes any audience.
        if (privacy && Privacy::isWider(*privacy, found->privacy)) {
            GraphError::invalidParameter("The photo's privacy (" + *privacy + ") cannot be wider than its album's ("
                                         + found->privacy + ")")
                .writeTo(response);
            return;
        }
        album = *found;
    }
    Store::Photo photo;
    photo.albumId = album.id;
    photo.message = receiver.message();
    photo.fileName = receiver.fileName();
    photo.mime = mime;
    photo.size = receiver.size();
    photo.privacy = privacy.value_or(album.privacy);
    photo.backdatedTime = backdatedTime;
    // Stored under a name of our own: the client's file name never reaches the disk.
    static std::atomic<unsigned> sequence { 0 };
    photo.storedFile = "photos/" + std::to_string(std::time(nullptr)) + "-" + std::to_string(++sequence) + "."
        + Images::extensionFor(mime);
    if (!receiver.commit(sandbox.config().dataDir + "/" + photo.storedFile)) {
        GraphError { 2, "OAuthException", "Service temporarily unavailable", 0, 500 }.writeTo(response);
        return;
    }
    const std::string id = sandbox.store().addPhoto(photo, *userId);
    if (answerLost && sandbox.faults().answer(*scripted, request, response, sandbox.config().port))
        return;
    if (const int delayMs = sandbox.switches().uploadAnswerDelayMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    JsonReply::send(response, QJsonObject { { "id", JsonReply::text(id) }, { "post_id", JsonReply::text(*userId + "_" + id) } });
}

} // namespace

namespace GraphRoutes {

void install(SandboxServer &sandbox, httplib::Server &http)
{
    SandboxServer *s = &sandbox;
    http.Get("/me", [s](const httplib::Request &rq, httplib::Response &rs) { me(*s, rq, rs); });
    http.Get("/me/permissions", [s](const httplib::Request &rq, httplib::Response &rs) { permissions(*s, rq, rs); });
    http.Get("/me/albums", [s](const httplib::Request &rq, httplib::Response &rs) { albums(*s, rq, rs); });
    http.Post("/me/albums", [s](const httplib::Request &rq, httplib::Response &rs) { createAlbum(*s, rq, rs); });
    http.Get("/me/picture", [s](const httplib::Request &rq, httplib::Response &rs) { picture(*s, rq, rs); });
    http.Get(R"(/pictures/(\d+)\.png)",
             [s](const httplib::Request &rq, httplib::Response &rs) { pictureFile(*s, rq, rs); });
    http.Get(R"(/photos/(\d+))", [s](const httplib::Request &rq, httplib::Response &rs) { photoFile(*s, rq, rs); });
    http.Post(R"(/(me|\d+)/photos)",
              [s](const httplib::Request &rq, httplib::Response &rs, const httplib::ContentReader &reader) {
                  upload(*s, rq, rs, reader, rq.matches[1]);
              });
}

} // namespace GraphRoutes
