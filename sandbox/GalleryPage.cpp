#include "GalleryPage.h"

#include "Html.h"
#include "SandboxServer.h"

#include <map>

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
                body += "<div class=\"album\"><b>" + Html::escape(album.name) + "</b>"
                    + (album.canUpload ? "" : " <span class=\"muted\">(no uploads)</span>") + "<br>";
                if (photos == byAlbum.end())
                    body += "<span class=\"muted\">no photos yet</span>";
                else {
                    for (const Store::Photo &photo : photos->second) {
                        body += "<div class=\"photo\"><img src=\"/photos/" + photo.id + "\" alt=\""
                            + Html::escape(photo.fileName) + "\"><br>" + Html::escape(photo.message) + "</div>";
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
