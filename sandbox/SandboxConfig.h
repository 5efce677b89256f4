#ifndef SANDBOXCONFIG_H
#define SANDBOXCONFIG_H

#include <atomic>
#include <cstdint>
#include <string>

// Fixed at start-up.
struct SandboxConfig
{
    int port = SANDBOX_DEFAULT_PORT;
    std::string dataDir;
    std::string appId = SANDBOX_APP_ID;

    // Bytes a second every photo upload shares, as a user's uplink; 0: no limit.
    std::int64_t uplinkBytesPerSecond = 0;
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port); }
    std::string redirectUri() const { return origin() + "/connect/login_success.html"; }
};

// Switches that tests may flip while the server runs.
struct SandboxSwitches
{
    // Log in and grant every scope without showing a page.
    std::atomic<bool> autoApprove { false };
    // Answer /me/permissions as {"permission":..., "status":"granted"} rows.
    std::atomic<bool> newPermissionsFormat { false };
    // The feed dialog's Cancel reports error_code 4201 in the query.
    std::atomic<bool> feedCancelWithError { false };
    std::atomic<std::int64_t> uploadLimit { 25 * 1024 * 1024 };
    // How long a stored photo's answer takes, as a real service's processing.
    std::atomic<int> uploadAnswerDelayMs { 0 };
};

#endif // SANDBOXCONFIG_H
