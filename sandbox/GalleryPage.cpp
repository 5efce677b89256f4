#include "GalleryPage.h"

#include "Html.h"
#include "Privacy.h"
#include "SandboxServer.h"

#include <ctime>
#include <map>

namespace {

// The date a person would see: the one the photo was backdated to (as it was
// sent), else when it came.
std::string photoDate(const Store::Photo &photo)
{
    if (!photo.backdatedTime.empty())
        return photo.backdatedTime;
    const std::time_t created = std::time_t(photo.created);
    std::tm utc {};
    char text[32] = {};
    if (gmtime_r(&created, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
    return text;
}

} // namespace

namespace GalleryPage {

void install(SandboxServer &sandbox, httplib::Server &http)
{
    SandboxServer *s = &sandbox;
    http.Get("/", [s](const httplib::Request &, httplib::Response &response) {
        std::map<std::string, std::vector<Store::Photo>> byAlbum;
        for (Store::Photo &photo : s->store().photos())
            byAlbum[photo.albumId].push_back(std::move(photo));

        std::string body = "<h2>Sandbox gallery</h2>";
        for (const char *userId : { "100001234567890", "100009876543210" }) {
            const auto user = s->store().user(userId);
            if (!user)
                continue;
            body += "<h3>" + Html::escape(user->name) + "</h3>";
            const std::vector<Store::Album> albums = s->store().albums(userId, 0, 1000);
            for (const Store::Album &album : albums) {
                const auto photos = byAlbum.find(album.id);
                body += "<div class=\"album\"><b>" + Html::escape(album.name) + "</b> <span class=\"muted\">· "
                    + Html::escape(Privacy::words(album.privacy)) + (album.canUpload ? "" : " (no uploads)")
                    + "</span><br>";
                if (!album.description.empty())
                    body += "<i>" + Html::escape(album.description) + "</i><br>";
                if (photos == byAlbum.end())
                    body += "<span class=\"muted\">no photos yet</span>";
                else {
                    for (const Store::Photo &photo : photos->second) {
                        body += "<div class=\"photo\"><img src=\"/photos/" + photo.id + "\" alt=\""
                            + Html::escape(photo.fileName) + "\"><br>" + Html::escape(photo.message)
                            + "<br><span class=\"muted\">" + Html::escape(photoDate(photo)) + " · "
                            + Html::escape(Privacy::words(photo.privacy)) + "</span></div>";
                    }
                }
                body += "</div>";
            }
            body += "<p class=\"muted\">" + std::to_string(albums.size()) + " albums</p>";
        }
        body += "<h3>Shared posts</h3>";
        const auto posts = s->store().posts();
        if (posts.empty())
            body += "<p class=\"muted\">none yet</p>";
        for (const Store::Post &post : posts) {
            body += "<div class=\"album\"><b>" + Html::escape(post.name) + "</b> — " + Html::escape(post.caption)
                + "<br>" + Html::escape(post.description) + "<br><span class=\"muted\">" + Html::escape(post.link)
                + "</span></div>";
        }
        response.set_content(Html::page("Sandbox gallery", body), "text/html; charset=utf-8");
    });
}

} // namespace GalleryPage
