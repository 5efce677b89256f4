#ifndef GRAPHROUTES_H
#define GRAPHROUTES_H

#include <httplib.h>

class SandboxServer;

// The Graph API: /me, /me/permissions, /me/albums (and new albums),
// /me/picture and photo uploads, each checking its access token (and
// permission) first.
namespace GraphRoutes {
void install(SandboxServer &sandbox, httplib::Server &http);
}

#endif // GRAPHROUTES_H
