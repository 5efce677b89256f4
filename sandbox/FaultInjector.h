#ifndef FAULTINJECTOR_H
#define FAULTINJECTOR_H

#include <httplib.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

struct GraphError;

// Scripted replies for tests: the next requests to a path get the scripted
// answers, in order, before the path answers normally again.
class FaultInjector
{
public:
    struct Reply
    {
        std::string method;      // empty: any
        int status = 0;          // 0 with an error: the service's status for the code
        bool hasError = false;
        int code = 0;
        int subcode = 0;
        std::string type = "OAuthException";
        std::string message = "Scripted error";
        std::string body;
        std::string contentType = "application/json; charset=UTF-8";
        std::string location;    // for redirects
        bool outagePage = false; // the front end's HTML error page
        bool drop = false;       // close the connection without answering
        bool early = false;      // on uploads: before the body is read (drop, or wait delay_ms)
        bool cut = false;        // status and headers, half the body, then close
        bool stall = false;      // status and headers, then nothing for delay_ms, then close
        bool endless = false;    // status 200 and a body that never ends
        bool pass = false;       // after the delay, answer normally
        bool stored = false;     // on uploads: store the photo first, then this reply (a lost answer)
        int delayMs = 0;
    };

    static constexpr int maxTimes = 1000;
    static constexpr int maxDelayMs = 60000;

    // Parses {"path":..., "method":..., "replies":[{...}, ...]}; false on
    // malformed scripts, with the reason in error.
    bool addScript(const std::string &json, std::string *error);
    void clear();

    // Called before routing: answers the request from the script if one is
    // due. Returns true when the request has been answered (or dropped).
    bool intercept(const httplib::Request &request, httplib::Response &response, int serverPort);
    // The reply due for this request, taken from the script at once, so
    // that requests running side by side never share one; then answered
    // (false for a "pass", which lets the route answer).
    std::optional<Reply> take(const httplib::Request &request);
    bool answer(const Reply &reply, const httplib::Request &request, httplib::Response &response, int serverPort);
    // For routes that read a body, if an early reply is due: waits its
    // delay before reading, then drops the connection while the client is
    // still sending, or goes on. True when it dropped.
    bool beforeBody(const httplib::Request &request, int serverPort);

    // A rate limit that lasts a time: until it is up, every photo upload, to
    // any album, is refused with error once its body is read, before its
    // scripted answer (which waits) and before anything is stored. A new limit replaces the one
    // running; a duration of 0 ends it, and so does clear().
    static constexpr long long maxLimitMs = 3600 * 1000;
    void limitUploads(const GraphError &error, std::chrono::milliseconds duration);
    // The limit's reply while it lasts.
    std::optional<Reply> uploadLimit();

private:
    std::mutex m_mutex;
    std::map<std::string, std::deque<Reply>> m_scripts;
    std::optional<Reply> m_uploadLimit;
    std::chrono::steady_clock::time_point m_uploadLimitEnd;
};

#endif // FAULTINJECTOR_H
