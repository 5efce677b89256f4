#include "GraphError.h"

#include <httplib.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <atomic>

GraphError GraphError::missingToken()
{
    return { 2500, "OAuthException", "An active access token must be used to query information about the current user.",
             0, 400 };
}

GraphError GraphError::invalidToken()
{
    return { 190, "OAuthException", "Invalid OAuth access token - Cannot parse access token", 0, 400 };
}

GraphError GraphError::expiredToken()
{
    return { 190, "OAuthException", "Error validating access token: Session has expired.", 463, 400 };
}

GraphError GraphError::revokedToken()
{
    return { 190, "OAuthException",
             "Error validating access token: The user has not authorized application.", 458, 400 };
}

GraphError GraphError::missingPermission(const std::string &permission)
{
    return { 200, "OAuthException", "(#200) Requires extended permission: " + permission, 0, 403 };
}

GraphError GraphError::invalidParameter(const std::string &message)
{
    return { 100, "OAuthException", "(#100) " + message, 0, 400 };
}

std::optional<GraphError> GraphError::rateLimit(int code)
{
    // Code 4 comes with a 403, the others with a 400.
    switch (code) {
    case 4:
        return GraphError { 4, "OAuthException", "(#4) Application request limit reached", 0, 403 };
    case 17:
        return GraphError { 17, "OAuthException", "(#17) User request limit reached", 0, 400 };
    case 32:
        return GraphError { 32, "OAuthException", "(#32) Page request limit reached", 0, 400 };
    case 613:
        return GraphError { 613, "OAuthException", "(#613) Calls to this api have exceeded the rate limit.", 0, 400 };
    }
    return std::nullopt;
}

bool GraphError::isTransient(int code)
{
    return code == 1 || code == 2 || code == 4 || code == 17;
}

int GraphError::httpStatus() const
{
    if (status)
        return status;
    if (code == 1 || code == 2)
        return 500;
    if (code == 4 || code == 17 || (code >= 200 && code <= 299) || code == 10)
        return 403;
    return 400;
}

std::string GraphError::json() const
{
    static std::atomic<unsigned> trace { 0x5a17 };
    QJsonObject error {
        { "message", QString::fromStdString(message) },
        { "type", QString::fromStdString(type) },
        { "code", code },
        { "fbtrace_id", QStringLiteral("Sbx%1").arg(++trace, 8, 16, QLatin1Char('0')) },
    };
    if (subcode)
        error.insert("error_subcode", subcode);
    if (isTransient(code))
        error.insert("is_transient", true);
    return QJsonDocument(QJsonObject { { "error", error } }).toJson(QJsonDocument::Compact).toStdString();
}

void GraphError::writeTo(httplib::Response &response) const
{
    response.status = httpStatus();
    response.set_content(json(), "application/json; charset=UTF-8");
}
