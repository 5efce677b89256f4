#ifndef GRAPHERROR_H
#define GRAPHERROR_H

#include <optional>
#include <string>

namespace httplib {
struct Response;
}

// The service's error object:
// {"error":{"message":...,"type":...,"code":...,"error_subcode":...,"fbtrace_id":...}}
// with "is_transient":true for the codes that a retry may cure.
struct GraphError
{
    int code = 1;
    std::string type = "OAuthException";
    std::string message;
    int subcode = 0;  // 0: none
    int status = 0;   // 0: the status the service uses for the code

    static GraphError missingToken();
    static GraphError invalidToken();
    static GraphError expiredToken();
    static GraphError revokedToken();
    static GraphError missingPermission(const std::string &permission);
    static GraphError invalidParameter(const std::string &message);
    // The service's rate limits: 4 (the application's), 17 (the user's),
    // 32 (a page's), 613 (one call's); none for another code.
    static std::optional<GraphError> rateLimit(int code);

    static bool isTransient(int code);
    int httpStatus() const;
    std::string json() const;
    void writeTo(httplib::Response &response) const;
};

#endif // GRAPHERROR_H
