#ifndef TASKFAILURE_H
#define TASKFAILURE_H

#include <QString>

// Why a task ended without its result, as data: what happened, and whether
// the service may have acted on the request all the same. Hosts decide from
// the kind and maybeActedOn; text() is the one line for the user, built
// only where a callback is made. Header only: hosts compile it too.
struct TaskFailure
{
    enum class Kind {
        ServiceError,    // the service's own error: serviceCode, detail = its message
        HttpFailure,     // no usable answer of the service's: no connection, or a status
                         // or page not its own (status, reason, detail = the error string)
        NoAnswer,        // the whole request went out and no answer came back
        FileUnreadable,  // the photo could not be opened: detail = its path
        UnsupportedType, // the photo's type is not taken: detail = its suffix
        BadAlbumId,      // no album can have this id: detail = the id
        LoginCanceled,   // the user closed the login window
        LoginFailed,     // the service refused the login
        TimedOut,        // every attempt failed before the service could act on it
        PluginUnloaded,  // the plug-in went before the task could run
        UnsupportedOption, // the host asked for what this plug-in cannot do: detail = its name
        RateLimited,     // the service refused the request unprocessed because too many
                         // came too fast: serviceCode, detail = its message
        BadValue,        // a value the host gave cannot be sent: detail = why, one line
    };

    TaskFailure() = default;
    explicit TaskFailure(Kind kind, QString detail = QString())
        : kind(kind)
        , maybeActedOn(kind == Kind::NoAnswer)
        , detail(std::move(detail))
    {
    }

    Kind kind = Kind::HttpFailure;
    // The request's body went out whole before it failed, and nothing the
    // service said rules out that it acted on it: a photo may have been
    // published. Always true for NoAnswer.
    bool maybeActedOn = false;
    int status = 0;      // HTTP status; 0 without one
    int serviceCode = 0; // the service's error code (ServiceError)
    QString reason;      // HTTP reason phrase
    QString detail;

    // A local check failed: nothing was sent.
    bool sentNothing() const
    {
        return kind == Kind::FileUnreadable || kind == Kind::UnsupportedType || kind == Kind::BadAlbumId
            || kind == Kind::PluginUnloaded || kind == Kind::UnsupportedOption || kind == Kind::BadValue;
    }
    bool isLoginRefusal() const { return kind == Kind::LoginCanceled || kind == Kind::LoginFailed; }

    // The text hosts of the photo upload interface hear. Its opening is the
    // one they know ("Http #...", "Facebook API error: ..."); what may have
    // been published says so after it.
    QString text() const
    {
        QString text;
        switch (kind) {
        case Kind::ServiceError:
            text = QStringLiteral("Facebook API error: %1").arg(detail);
            break;
        case Kind::HttpFailure:
            text = QStringLiteral("Http #") + QString::number(status);
            if (!reason.isEmpty())
                text += QLatin1Char('(') + reason + QLatin1Char(')');
            if (!detail.isEmpty())
                text += QStringLiteral("<br>Error: ") + detail;
            break;
        case Kind::NoAnswer:
            return QStringLiteral("No answer after the photo was sent: it may have been published");
        case Kind::FileUnreadable:
            return QStringLiteral("Can't find %1").arg(detail);
        case Kind::UnsupportedType:
            return QStringLiteral("Facebook does not support .%1 images").arg(detail);
        case Kind::BadAlbumId:
            return QStringLiteral("No album can have the id \"%1\"").arg(detail);
        case Kind::LoginCanceled:
            return QStringLiteral("Authorisation canceled");
        case Kind::LoginFailed:
            return QStringLiteral("Authorisation failed");
        case Kind::TimedOut:
            text = QStringLiteral("Request timed out");
            break;
        case Kind::PluginUnloaded:
            return QStringLiteral("Facebook plug-in unloaded");
        case Kind::UnsupportedOption:
            return QStringLiteral("This version of the plug-in cannot honour \"%1\": nothing was sent").arg(detail);
        case Kind::RateLimited:
            return QStringLiteral("rate limited by the service: %1").arg(detail);
        case Kind::BadValue:
            return QStringLiteral("Nothing was sent: %1").arg(detail);
        }
        if (maybeActedOn)
            text += QStringLiteral(" (after the whole photo was sent: it may have been published)");
        return text;
    }
};

#endif // TASKFAILURE_H
