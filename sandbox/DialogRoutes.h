#ifndef DIALOGROUTES_H
#define DIALOGROUTES_H

#include <httplib.h>

class SandboxServer;

// The web dialogs a person sees in the plug-in's browser window: login,
// OAuth consent (implicit grant: the token comes back after '#'), the feed
// dialog, and the page both dialogs end on.
//
//   /dialog/oauth --(no session)--> login form --POST /login--> back
//        |--(scope granted or auto-approve)--> redirect_uri#access_token=...
//        '--> consent page --Allow--> redirect_uri#access_token=...
//                          '--Cancel--> redirect_uri?error=access_denied...#_=_
namespace DialogRoutes {
void install(SandboxServer &sandbox, httplib::Server &http);
}

#endif // DIALOGROUTES_H
