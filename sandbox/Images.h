#ifndef IMAGES_H
#define IMAGES_H

#include <string>

namespace Images {

// The MIME type the leading bytes prove ("image/jpeg", "image/png",
// "image/gif"), or empty. Needs at most the first 8 bytes.
std::string sniff(const std::string &head);
std::string extensionFor(const std::string &mime);
// A PNG portrait of the given size, its colours derived from seed.
std::string profilePicture(int width, int height, const std::string &seed);

} // namespace Images

#endif // IMAGES_H
