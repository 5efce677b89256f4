#ifndef NETWORK_SITECOOKIES_H
#define NETWORK_SITECOOKIES_H

#include <QList>
#include <QNetworkCookie>
#include <QUrl>

#include <algorithm>

namespace Network {

// Whether the browser sends the cookie to one of the sites: a cookie of the
// site's host, or of a domain that covers it ("example.com" and
// ".example.com" both cover www.example.com). The port does not count.
inline bool isSitesCookie(const QNetworkCookie &cookie, const QList<QUrl> &sites)
{
    const QString domain = cookie.domain().startsWith(QLatin1Char('.')) ? cookie.domain().mid(1) : cookie.domain();
    return std::any_of(sites.cbegin(), sites.cend(), [&domain](const QUrl &site) {
        const QString host = site.host();
        return host == domain || host.endsWith(QLatin1Char('.') + domain);
    });
}

} // namespace Network

#endif // NETWORK_SITECOOKIES_H
