#include "DialogRoutes.h"

#include "Html.h"
#include "SandboxServer.h"

#include <optional>
#include <sstream>

namespace {

constexpr const char *sessionCookie = "sbx_session";
constexpr int tokenLifetime = 5183999; // about 60 days, as the service gives

std::vector<std::string> splitScope(const std::string &scope)
{
    std::vector<std::string> names;
    std::string current;
    for (const char c : scope + ",") {
        if (c == ',' || c == ' ') {
            if (!current.empty())
                names.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return names;
}

// Logged in: the browser keeps the session for 30 days, as the service's does.
void startSession(SandboxServer &sandbox, const Store::User &user, httplib::Response &response)
{
    response.set_header("Set-Cookie", std::string(sessionCookie) + "=" + sandbox.store().newSession(user.id)
                                          + "; Max-Age=2592000; Path=/; HttpOnly; SameSite=Lax");
}

std::optional<Store::User> sessionUser(SandboxServer &sandbox, const httplib::Request &request)
{
    std::istringstream cookies(request.get_header_value("Cookie"));
    std::string item;
    while (std::getline(cookies, item, ';')) {
        const auto start = item.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        item = item.substr(start);
        const std::string prefix = std::string(sessionCookie) + "=";
        if (item.rfind(prefix, 0) == 0)
            return sandbox.store().sessionUser(item.substr(prefix.size()));
    }
    return std::nullopt;
}

void errorPage(httplib::Response &response, const std::string &title, const std::string &text)
{
    response.status = 400;
    response.set_content(Html::page(title, "<h2>" + Html::escape(title) + "</h2><p>" + Html::escape(text) + "</p>"),
                         "text/html; charset=utf-8");
}

// The dialog's own checks: the application and where it may send the browser.
bool checkClient(SandboxServer &sandbox, const httplib::Request &request, const char *idParam,
                 httplib::Response &response)
{
    if (request.get_param_value(idParam) != sandbox.config().appId) {
        errorPage(response, "Invalid App ID", "The provided app ID does not look like a valid app ID.");
        return false;
    }
    if (request.get_param_value("redirect_uri") != sandbox.config().redirectUri()) {
        errorPage(response, "URL blocked",
                  "This redirect failed because the redirect URI is not whitelisted in the app's settings.");
        return false;
    }
    return true;
}

void loginPage(SandboxServer &sandbox, httplib::Response &response, const std::string &next,
               const std::string &problem = {})
{
    ++sandbox.loginPages;
    response.set_content(
        Html::page("Log in",
                   "<h2>Log in to continue</h2>"
                       + (problem.empty() ? "" : "<p style=\"color:#c00\">" + Html::escape(problem) + "</p>")
                       + "<form method=\"post\" action=\"/login\" id=\"login\">" + Html::hiddenField("next", next)
                       + "<p><input type=\"text\" name=\"login\" id=\"login-name\" placeholder=\"Login\"></p>"
                         "<p><input type=\"password\" name=\"password\" id=\"password\" placeholder=\"Password\"></p>"
                         "<p><button type=\"submit\" id=\"login-button\">Log in</button></p></form>"
                         "<p class=\"muted\">Sandbox users: irina / sandbox, alex / sandbox</p>"),
        "text/html; charset=utf-8");
}

void redirectWithToken(SandboxServer &sandbox, const Store::User &user, const std::vector<std::string> &granted,
                       const std::string &state, httplib::Response &response)
{
    sandbox.store().grant(user.id, granted);
    const std::string token = sandbox.store().newToken(user.id, tokenLifetime);
    const long long dataAccess = (long long)std::time(nullptr) + 7776000;
    response.set_redirect(sandbox.config().redirectUri() + "#access_token=" + token
                          + "&data_access_expiration_time=" + std::to_string(dataAccess)
                          + "&expires_in=" + std::to_string(tokenLifetime)
                          + (state.empty() ? std::string() : "&state=" + httplib::detail::encode_query_param(state)));
}

// What a dialog asks the user for: the requested permissions, less those the
// user declined before, unless the dialog asks again for them.
std::vector<std::string> permissionsToAsk(SandboxServer &sandbox, const Store::User &user,
                                          const httplib::Request &request)
{
    const bool rerequest = request.get_param_value("auth_type") == "rerequest";
    std::vector<std::string> names;
    for (const std::string &name : splitScope(request.get_param_value("scope"))) {
        if (rerequest || !sandbox.store().isDeclined(user.id, name))
            names.push_back(name);
    }
    return names;
}

std::string permissionBoxes(const std::vector<std::string> &names)
{
    std::string html = Html::hiddenField("choices", "1");
    for (const std::string &name : names) {
        html += "<p><label><input type=\"checkbox\" name=\"grant\" value=\"" + Html::escape(name) + "\" id=\"grant-"
            + Html::escape(name) + "\" checked> " + Html::escape(name) + "</label></p>";
    }
    return html;
}

// The dialog's parameters again, as hidden fields, and the two buttons.
std::string decisionForm(const httplib::Request &request, const std::string &action, const std::string &formId,
                         std::initializer_list<const char *> names, const std::string &yes, const std::string &yesLabel,
                         const std::string &extra = std::string())
{
    std::string html = "<form method=\"post\" action=\"" + action + "\" id=\"" + formId + "\">" + extra;
    for (const char *name : names)
        html += Html::hiddenField(name, request.get_param_value(name));
    return html + "<button type=\"submit\" name=\"action\" value=\"" + yes + "\" id=\"" + yes + "\">" + yesLabel
        + "</button><button type=\"submit\" name=\"action\" value=\"cancel\" id=\"cancel\">Cancel</button></form>";
}

// The logged-in user a dialog's button was pressed for, or an error page.
std::optional<Store::User> decidingUser(SandboxServer &sandbox, const httplib::Request &request, const char *idParam,
                                        httplib::Response &response)
{
    if (!checkClient(sandbox, request, idParam, response))
        return std::nullopt;
    auto user = sessionUser(sandbox, request);
    if (!user)
        errorPage(response, "Not logged in", "Log in first.");
    return user;
}

Store::Post postFrom(const httplib::Request &request)
{
    return { {}, request.get_param_value("name"), request.get_param_value("caption"),
             request.get_param_value("description"), request.get_param_value("picture"),
             request.get_param_value("link"), request.get_param_value("properties") };
}

void oauthDialog(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    if (!checkClient(sandbox, request, "client_id", response))
        return;
    const std::string scope = request.get_param_value("scope");
    auto user = sessionUser(sandbox, request);
    if (sandbox.switches().autoApprove && !user) {
        user = sandbox.store().defaultUser(); // as if the user had logged in
        startSession(sandbox, *user, response);
    }
    if (!user) {
        loginPage(sandbox, response, request.target);
        return;
    }
    // An empty scope still asks "Continue as ...?", as the service does; a
    // scope of declined permissions only does not.
    const std::vector<std::string> toAsk = permissionsToAsk(sandbox, *user, request);
    bool granted = !scope.empty();
    for (const std::string &name : toAsk)
        granted = granted && sandbox.store().hasPermission(user->id, name);
    if (granted || sandbox.switches().autoApprove) {
        redirectWithToken(sandbox, *user, toAsk, request.get_param_value("state"), response);
        return;
    }
    response.set_content(
        Html::page("Continue as " + user->name,
                   "<h2>Orvelle is requesting access</h2><p>Continue as <b>" + Html::escape(user->name)
                       + "</b>?</p><p>Orvelle will receive: <b id=\"scope\">"
                       + Html::escape(scope.empty() ? "your public profile" : scope)
                       + "</b></p>"
                       + decisionForm(request, "/dialog/oauth", "consent",
                                      { "client_id", "redirect_uri", "scope", "response_type", "state", "auth_type" },
                                      "allow", "Continue", permissionBoxes(toAsk))),
        "text/html; charset=utf-8");
}

void oauthDecision(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const auto user = decidingUser(sandbox, request, "client_id", response);
    if (!user)
        return;
    if (request.get_param_value("action") == "allow") {
        // The form says which boxes stayed ticked; an unticked one is declined.
        const std::vector<std::string> asked = permissionsToAsk(sandbox, *user, request);
        std::vector<std::string> granted;
        for (const std::string &name : asked) {
            bool ticked = request.get_param_value("choices") != "1";
            for (size_t i = 0; i < request.get_param_value_count("grant"); ++i)
                ticked = ticked || request.get_param_value("grant", i) == name;
            if (ticked)
                granted.push_back(name);
            else
                sandbox.store().decline(user->id, name);
        }
        redirectWithToken(sandbox, *user, granted, request.get_param_value("state"), response);
        return;
    }
    response.set_redirect(sandbox.config().redirectUri()
                          + "?error=access_denied&error_code=200&error_description=Permissions+error"
                            "&error_reason=user_denied#_=_");
}

void login(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    std::string next = request.get_param_value("next");
    // Only back into our own dialogs: never an open redirect.
    if (next.rfind("/dialog/", 0) != 0)
        next = "/";
    const auto user = sandbox.store().userByLogin(request.get_param_value("login"), request.get_param_value("password"));
    if (!user) {
        loginPage(sandbox, response, next, "Wrong login or password.");
        return;
    }
    startSession(sandbox, *user, response);
    response.set_redirect(next, 303);
}

void feedDialog(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    if (!checkClient(sandbox, request, "app_id", response))
        return;
    auto user = sessionUser(sandbox, request);
    if (sandbox.switches().autoApprove && !user) {
        user = sandbox.store().defaultUser(); // as if the user had logged in
        startSession(sandbox, *user, response);
    }
    if (!user) {
        loginPage(sandbox, response, request.target);
        return;
    }
    const Store::Post post = postFrom(request);
    if (sandbox.switches().autoApprove) {
        response.set_redirect(sandbox.config().redirectUri() + "?post_id=" + sandbox.store().addPost(user->id, post));
        return;
    }
    const std::string pictureUrl = Html::webUrl(post.picture);
    const std::string linkUrl = Html::webUrl(post.link);
    const std::string picture = pictureUrl.empty()
        ? std::string()
        : "<p><img id=\"picture\" src=\"" + Html::escape(pictureUrl) + "\" style=\"max-width:200px\"></p>";
    const std::string link = linkUrl.empty()
        ? std::string()
        : "<p><a id=\"link\" href=\"" + Html::escape(linkUrl) + "\">" + Html::escape(linkUrl) + "</a></p>";
    response.set_content(
        Html::page("Share on your timeline",
                   "<h2>Share on your timeline</h2><p class=\"muted\">Posting as " + Html::escape(user->name)
                       + "</p>" + picture + "<p><b id=\"name\">" + Html::escape(post.name)
                       + "</b></p><p id=\"caption\">" + Html::escape(post.caption) + "</p><p id=\"description\">"
                       + Html::escape(post.description) + "</p>" + link
                       + decisionForm(request, "/dialog/feed", "feed",
                                      { "app_id", "redirect_uri", "name", "caption", "description", "picture", "link",
                                        "properties" },
                                      "share", "Share")),
        "text/html; charset=utf-8");
}

void feedDecision(SandboxServer &sandbox, const httplib::Request &request, httplib::Response &response)
{
    const auto user = decidingUser(sandbox, request, "app_id", response);
    if (!user)
        return;
    if (request.get_param_value("action") == "share") {
        response.set_redirect(sandbox.config().redirectUri() + "?post_id="
                              + sandbox.store().addPost(user->id, postFrom(request)));
        return;
    }
    if (sandbox.switches().feedCancelWithError)
        response.set_redirect(sandbox.config().redirectUri()
                              + "?error_code=4201&error_message=User+canceled+the+Dialog+flow#_=_");
    else
        response.set_redirect(sandbox.config().redirectUri() + "#_=_");
}

void html(httplib::Response &response, const std::string &title, const std::string &body)
{
    response.set_content(Html::page(title, body), "text/html; charset=utf-8");
}

} // namespace

namespace DialogRoutes {

void install(SandboxServer &sandbox, httplib::Server &http)
{
    SandboxServer *s = &sandbox;
    http.Get("/dialog/oauth", [s](const httplib::Request &rq, httplib::Response &rs) { oauthDialog(*s, rq, rs); });
    http.Post("/dialog/oauth", [s](const httplib::Request &rq, httplib::Response &rs) { oauthDecision(*s, rq, rs); });
    http.Post("/login", [s](const httplib::Request &rq, httplib::Response &rs) { login(*s, rq, rs); });
    http.Get("/dialog/feed", [s](const httplib::Request &rq, httplib::Response &rs) { feedDialog(*s, rq, rs); });
    http.Post("/dialog/feed", [s](const httplib::Request &rq, httplib::Response &rs) { feedDecision(*s, rq, rs); });
    http.Get("/connect/login_success.html", [](const httplib::Request &, httplib::Response &rs) {
        html(rs, "Success", "<p id=\"success\">Success</p>");
    });
    http.Get("/orvelle.app", [](const httplib::Request &, httplib::Response &rs) {
        html(rs, "Orvelle", "<h2>Orvelle</h2><p>The image application for your desktop.</p>");
    });
}

} // namespace DialogRoutes
