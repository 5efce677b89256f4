#ifndef GALLERYPAGE_H
#define GALLERYPAGE_H

#include <httplib.h>

class SandboxServer;

// "/": what the plug-in did, for a person in a browser: every album with
// its audience, description and photos (each with its message, date and
// audience), and the posts shared through the feed dialog.
namespace GalleryPage {
void install(SandboxServer &sandbox, httplib::Server &http);
}

#endif // GALLERYPAGE_H
