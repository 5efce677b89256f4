#ifndef SANDBOXSERVER_H
#define SANDBOXSERVER_H

#include "FaultInjector.h"
#include "Uplink.h"
#include "SandboxConfig.h"
#include "Store.h"

#include <httplib.h>

#include <map>
#include <mutex>

// The sandbox service on 127.0.0.1: owns the HTTP server, the state and
// the fault injector, and wires the route groups to them.
class SandboxServer
{
public:
    explicit SandboxServer(SandboxConfig config);

    // False with a message when the data folder or the port is unusable.
    bool start(std::string *error);
    void run();  // serves until stop()
    void stop();

    const SandboxConfig &config() const { return m_config; }
    SandboxSwitches &switches() { return m_switches; }
    Store &store() { return *m_store; }
    FaultInjector &faults() { return m_faults; }
    Uplink &uplink() { return m_uplink; }
    std::string photoDir() const { return m_config.dataDir + "/photos"; }

    std::map<std::string, int> requestCounts();
    void resetRequestCounts();
    // Uploads that broke off or were not well-formed multipart.
    std::atomic<int> brokenUploads { 0 };
    std::atomic<int> loginPages { 0 }; // login forms shown: a dialog found no session

    // Every body but a photo upload's.
    static constexpr long long maxBodyBytes = 1 << 20;

private:
    // Why a request is not served (with its status), or null.
    const char *refusalOf(const httplib::Request &request, int *status) const;

    SandboxConfig m_config;
    SandboxSwitches m_switches;
    std::unique_ptr<Store> m_store;
    FaultInjector m_faults;
    Uplink m_uplink;
    httplib::Server m_http;
    std::mutex m_countsMutex;
    std::map<std::string, int> m_requestCounts;
};

#endif // SANDBOXSERVER_H
