#include "core/proxytext.h"

#include <QRegularExpression>
#include <QUrl>

std::optional<ProxyText> ProxyText::split(const QString &text)
{
    static const QRegularExpression ipv6(QStringLiteral("^[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*$"));
    const QString t = text.trimmed();
    if (!t.contains(QLatin1String("://")) && !t.contains(QLatin1Char('@'))
        && (!t.contains(QLatin1Char(':')) || ipv6.match(t).hasMatch()))
        return ProxyText{text, 0, std::nullopt, QString(), std::nullopt};

    const QUrl url(t.contains(QLatin1String("://")) ? t : QStringLiteral("http://") + t, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || t.contains(QLatin1Char(' '))
        || !(url.path().isEmpty() || url.path() == QLatin1String("/")) || url.hasQuery() || url.hasFragment()
        || !(scheme == QLatin1String("http") || scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h")))
        return std::nullopt;
    // A port typed after the host must be one: "host:" or "host:0" names none.
    const qsizetype at = t.lastIndexOf(QLatin1Char('@'));
    const QString hostPart = t.mid(at + 1).section(QLatin1String("://"), -1);
    if (hostPart.section(QLatin1Char('/'), 0, 0).section(QLatin1Char(']'), -1).contains(QLatin1Char(':'))
        && url.port() < 1)
        return std::nullopt;

    ProxyText parts;
    parts.host = url.host();
    parts.port = qMax(0, url.port());
    if (t.contains(QLatin1String("://")))
        parts.type = scheme == QLatin1String("http") ? Settings::ProxyType::Http : Settings::ProxyType::Socks5;
    parts.user = url.userName(QUrl::FullyDecoded);
    if (url.userInfo().contains(QLatin1Char(':')))
        parts.password = url.password(QUrl::FullyDecoded);
    return parts;
}
