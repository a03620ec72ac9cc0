#include "core/storedsettings.h"
#include "platform/keyring.h"

#include "core/numbers.h"
#include "core/runrules.h"
#include "platform/filesystem.h"
#include "storage/modpara.h"

#include <QFileInfo>
#include <QHash>

namespace {

// The parameter file is "[NAME]" and value lines in turn; the number of the first line that
// should name a setting and does not, or 0. A last "[NAME]" without its value is no damage.
qsizetype firstBrokenLine(const QString &path)
{
    try {
        FileSystemObject fso;
        if (!fso.FileExists(path))
            return 0;
        auto in = fso.OpenTextFile(path, FileSystemObject::IoMode::ForReading, false);
        for (qsizetype number = 1; !in->AtEndOfStream(); number += 2) {
            const QString line = in->ReadLine();
            if (line.size() < 2 || !line.startsWith(QLatin1Char('[')) || !line.endsWith(QLatin1Char(']')))
                return number;
            if (!in->AtEndOfStream())
                in->ReadLine();
        }
    } catch (const FileError &) {
        // unreadable now: the reads before have said so already
    }
    return 0;
}

} // namespace

QStringList readSettings(const ProgramPlace &place, Settings &settings, Missing missing)
{
    QStringList problems;
    // One walk of the parameter file for every setting, however large the file.
    QHash<QString, QString> stored;
    try {
        if (missing == Missing::Create || QFileInfo::exists(place.parameterFile()))
            stored = modPara::readParas(place, {"headerText", "localFolder", "lastFile", "proxyIP", "proxyPort",
                                                  "transfers", "maxMisses", "ifExists", "retries", "pause", "keep",
                                                  "referer", "cookies", "caFile", "repeats", "userAgent", "proxyType",
                                                  "proxyUser"});
    } catch (const std::exception &e) {
        problems << QStringLiteral("settings could not be read (%1)").arg(QString::fromStdString(e.what()));
    }
    auto read = [&stored](const char *key) { return stored.value(QLatin1String(key)); };
    // A stored number outside its range counts as missing, and the status line says so.
    auto number = [&](const char *key, qint32 lowest, qint32 highest, qint32 missing) -> qint32 {
        const QString text = read(key);
        if (text.trimmed().isEmpty())
            return missing;
        const std::optional<qint32> n = numbers::leadingNumberWithin(text, lowest, highest);
        if (!n) {
            problems << QStringLiteral("stored %1 \"%2\" ignored: it must lie within %3 to %4")
                                .arg(QLatin1String(key), text.left(40))
                                .arg(lowest)
                                .arg(highest);
            return missing;
        }
        return *n;
    };

    settings.headerText = read("headerText");
    settings.localFolder = read("localFolder");
    settings.lastFile = qint16(number("lastFile", -32768, 32767, 0));
    settings.proxyIP = read("proxyIP");
    settings.proxyPort = number("proxyPort", 0, 65535, 0);
    settings.transfers = Settings::transfersFromText(read("transfers")) == Settings::autoTransfers
        ? Settings::autoTransfers
        : number("transfers", 1, Settings::maxTransfers, Settings::defaultTransfers);
    settings.maxMisses = number("maxMisses", 0, Settings::highestMaxMisses, Settings::defaultMaxMisses);
    auto choice = [&](const char *key, auto fromText, auto missing, const char *choices) {
        const QString text = read(key);
        const auto chosen = fromText(text);
        if (!chosen && !text.trimmed().isEmpty())
            problems << QStringLiteral("stored %1 \"%2\" ignored: it must be %3")
                                .arg(QLatin1String(key), text.left(40), QLatin1String(choices));
        return chosen.value_or(missing);
    };
    settings.ifExists = choice("ifExists", Settings::ifExistsFromText, Settings::IfExists::Ask, "ask, skip or number");
    settings.retries = number("retries", 0, Settings::maxRetries, Settings::defaultRetries);
    settings.pauseMs = number("pause", 0, Settings::maxPauseMs, 0);
    settings.keep = choice("keep", Settings::keepFromText, Settings::Keep::GifJpeg, "gifjpeg or all");
    const QString referer = read("referer").trimmed();
    if (referer.isEmpty() || referer == QLatin1String("*") || runrules::isWebAddress(referer))
        settings.referer = referer;
    else
        problems << QStringLiteral("stored referer \"%1\" ignored: it must be empty, * or an http or https address")
                            .arg(referer.left(40));
    settings.cookiesFile = read("cookies");
    settings.caFile = read("caFile");
    settings.repeats = choice("repeats", Settings::repeatsFromText, Settings::Repeats::Skip, "skip or save");
    settings.proxyType = choice("proxyType", Settings::proxyTypeFromText, Settings::ProxyType::Http, "http or socks5");
    settings.userAgent = read("userAgent");
    settings.proxyUser = read("proxyUser");
    settings.multipleDownloads = Settings::True;
    if (settings.lastFile == 0)
        settings.lastFile = 9999;
    settings.historyPath = place.settingsFile(place.historyFileName());
    if (problems.isEmpty()) {
        if (const qsizetype line = firstBrokenLine(place.parameterFile()); line > 0)
            problems << QStringLiteral("the settings file %1 is damaged from line %2 on: a \"[NAME]\" line was expected "
                                       "there; settings not found before it keep their defaults")
                                .arg(place.parameterFile()).arg(line);
    }
    return problems;
}

QString readProxyPassword(Settings &settings)
{
    if (settings.proxyUser.isEmpty())
        return QString();
    const keyring::Answer kept = keyring::readProxyPassword(settings.proxyUser);
    settings.proxyPassword = kept.secret;
    settings.keyring = kept.answered ? Settings::Keyring::Answers : Settings::Keyring::None;
    return kept.answered ? QString()
                         : QStringLiteral("the proxy password could not be read from the keyring (%1)").arg(kept.why);
}
