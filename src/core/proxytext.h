#pragma once

#include "core/settings.h"

#include <QString>

#include <optional>

/// A proxy as people write it in the Proxy Server field: "host", "host:port", "http://host",
/// "socks5://host", "user@host", "user:password@host", or these together.
struct ProxyText
{
    QString host;                              // what Proxy Server keeps
    int port = 0;                              // 0: none given, the Proxy Port field's holds
    std::optional<Settings::ProxyType> type;   // given by a scheme
    QString user;                              // "": none given
    std::optional<QString> password;

    /// The parts of the field's text; empty for a text that names no proxy server (another
    /// scheme, a path, a blank inside, a port that is no port). A text with none of "://", "@"
    /// and ":" is taken as it stands, as is an IPv6 address.
    static std::optional<ProxyText> split(const QString &text);
};
