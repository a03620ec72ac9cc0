#include "core/transferstatus.h"

#include "platform/inet.h"

namespace transferstatus {

std::optional<QString> stateText(qint16 state, const Inet &inet)
{
    switch (state) {
    case Inet::ResolvingHost:
        return QStringLiteral("Resolving Host Name");
    case Inet::HostResolved:
        return QStringLiteral("Host Resoved");
    case Inet::Error: {
        const qint32 code = inet.ResponseCode();
        const QString info = inet.ResponseInfo();
        return errorText(code, info);
    }
    default:
        return std::nullopt;
    }
}

QString errorText(qint32 code, const QString &info)
{
    return QStringLiteral("ErrorCode: ") + QString::number(code) + QStringLiteral(" : ") + info;
}

} // namespace transferstatus
