#ifndef ADMINROUTES_H
#define ADMINROUTES_H

#include <httplib.h>

class SandboxServer;

// Control of the sandbox for tests, under a prefix the service never uses,
// each call with the header "X-Sandbox-Control: 1" (a web page cannot send it
// to us); "user=" takes a login or an id:
//   POST /__sandbox/reset                 seed data back, scripts and counters cleared
//   POST /__sandbox/script                {"path":..,"method":..,"replies":[..]}, each reply
//        {"status":..,"error":{"code":..,"type":..,"message":..,"error_subcode":..},
//         "body":..,"content_type":..,"location":..,"html":true,"drop":true,
//         "delay_ms":..,"pass":true,"times":..,"cut":true (half the body, then
//         close),"early":true (on uploads, before the body is read: with drop,
//         while the body comes; with pass and delay_ms, a slow reader),
//         "stall":true (headers, then nothing for delay_ms), "endless":true
//         (a 200 whose body never ends), "stored":true (on uploads: the photo
//         is stored first, then the reply: with drop, an answer lost)}
//        (Qt's network manager re-sends a GET once when its connection closes
//        unanswered: script two drops to make one request fail)
//        (a /me without a name: {"path":"/me","replies":[{"body":"{\"id\":\"1\"}"}]})
//   POST /__sandbox/token?scope=a,b&user= a token without the dialog
//   POST /__sandbox/expire-tokens         every token expires (190/463)
//   POST /__sandbox/revoke-tokens         every token is revoked (190/458)
//   POST /__sandbox/revoke-permission?name=..&user=..
//   POST /__sandbox/decline-permission?name=..&user=..  as if unticked in the
//        dialog: later dialogs leave it out unless auth_type=rerequest
//   POST /__sandbox/rename-user?user=..&name=..  /me answers the new name
//        (the default user without "user="; an unknown user is a 404, an
//        empty name a 400)
//   POST /__sandbox/rate-limit?ms=..&code=..  for ms milliseconds (0 ends it),
//        every photo upload is refused with the rate limit's error, code 4
//        (the default, status 403), 17, 32 or 613 (status 400); its body is
//        read, nothing stored, a scripted answer waits
//   POST /__sandbox/switches?auto_approve=&new_permissions=&feed_cancel_error=&upload_limit=&upload_answer_delay_ms=&uplink=
//   GET  /__sandbox/counters              requests per path, photos, posts
//   GET  /__sandbox/photos, /__sandbox/posts, /__sandbox/albums (every user's;
//        photos with their privacy, backdated_time or null, and stored_file,
//        the stored copy's absolute path)
namespace AdminRoutes {
constexpr const char *prefix = "/__sandbox/";
// Every control call carries this header with the value "1".
constexpr const char *controlHeader = "X-Sandbox-Control";
void install(SandboxServer &sandbox, httplib::Server &http);
}

#endif // ADMINROUTES_H
