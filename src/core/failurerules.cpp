#include "core/failurerules.h"

#include "platform/filesystem.h"

#include <QFileInfo>
#include <QUrl>

#include <cerrno>

namespace failurerules {

namespace {

Verdict endsRun(const QString &reason) { return Verdict{Verdict::Kind::EndsRun, reason}; }

QString serverAt(const QString &address)
{
    const QUrl url(address);
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1:%2").arg(url.host()).arg(port);
}

} // namespace

Verdict ofTransfer(const Inet::Answer &answer)
{
    using F = Inet::Failure;
    const QString detail = QStringLiteral(" (%1)").arg(answer.errorText);
    const QString server = QStringLiteral("the server at %1").arg(serverAt(answer.hop));
    const QString who = answer.proxy.isEmpty() ? server : QStringLiteral("the proxy %1").arg(answer.proxy);
    // The proxy stands between the run and every address: what fails there fails everywhere.
    const bool everyHop = answer.firstHop || !answer.proxy.isEmpty();
    switch (answer.failure) {
    case F::Address:
        return endsRun(QStringLiteral("the address \"%1\" is not one that can be fetched").arg(answer.hop) + detail);
    case F::ProxySetting:
        return endsRun(QStringLiteral("the proxy setting names no server and port") + detail);
    case F::UnknownProxy:
        return endsRun(QStringLiteral("the proxy %1 is unknown").arg(QUrl(QStringLiteral("http://") + answer.proxy).host()) + detail);
    case F::CaFile:
        return endsRun(QStringLiteral("the extra CA certificates cannot be used") + detail);
    case F::ProxyAuth: {
        // The engine's words: it knows whether a user was offered.
        QString why = answer.errorText;
        if (!why.isEmpty())
            why[0] = why[0].toLower();
        return endsRun(why);
    }
    case F::Busy:
        return endsRun(QStringLiteral("the server stayed busy for 10 minutes"));
    case F::UnknownHost:
        if (answer.firstHop)
            return endsRun(QStringLiteral("the host %1 is unknown").arg(QUrl(answer.hop).host()) + detail);
        break;
    case F::Refused:
        if (everyHop)
            return endsRun(who + QStringLiteral(" refused the connection") + detail);
        break;
    case F::Unreachable:
        if (everyHop)
            return endsRun(who + QStringLiteral(" cannot be reached") + detail);
        break;
    case F::Certificate:
        if (answer.firstHop)
            return endsRun(QStringLiteral("the certificate of %1 is not trusted").arg(server) + detail);
        break;
    case F::NotTls:
        if (answer.firstHop)
            return endsRun(server + QStringLiteral(" does not speak https") + detail);
        break;
    case F::TlsFailed:
        if (answer.firstHop)
            return endsRun(QStringLiteral("no secure connection could be made to %1").arg(server) + detail);
        break;
    case F::Server:
        return Verdict{Verdict::Kind::ServerFailing, QString()};
    case F::None:
    case F::Downgrade:
    case F::TooLarge:
    case F::Other:
        break;
    }
    return Verdict{};
}

Verdict ofFile(const PartFile::Failure &failure, const QString &folder)
{
    bool folderFails = false;
    switch (failure.code) {
    case EACCES:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        folderFails = true;
        break;
    case ENOENT:
    case ENOTDIR:
        folderFails = !QFileInfo(folderPath(folder)).isDir();
        break;
    default:
        break;
    }
    if (!folderFails)
        return Verdict{};
    return endsRun(QStringLiteral("the folder cannot be written: %1: %2")
                       .arg(QFileInfo(folderPath(folder)).absoluteFilePath(), errnoText(failure.code)));
}

} // namespace failurerules
