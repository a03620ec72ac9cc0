#pragma once

#include <QString>
#include <QtGlobal>

#include <initializer_list>
#include <optional>

/// The program-wide settings and run flags: one instance, owned by main(), lent to the windows.
struct Settings
{
    static constexpr qint16 True = -1;
    static constexpr qint16 False = 0;

    /// What a run does with a picture whose file name is taken already.
    enum class IfExists { Ask, Skip, Number };

    /// [TRANSFERS] "auto": the pace is found per host; 1 to maxTransfers are fixed limits.
    static constexpr int autoTransfers = 0;
    static constexpr int defaultTransfers = autoTransfers;
    static constexpr int maxTransfers = 8;
    static constexpr int defaultMaxMisses = 10;
    static constexpr int highestMaxMisses = 9999;
    static constexpr int defaultRetries = 3;
    static constexpr int maxRetries = 10;
    static constexpr int maxPauseMs = 60000;

    /// Which answers a run keeps: exactly image/gif and image/jpeg, or image/png and image/webp too.
    enum class Keep { GifJpeg, All };
    /// What a run does with a picture whose bytes an earlier answer of the run had already.
    enum class Repeats { Skip, Save };
    /// How the proxy is spoken to: HTTP, or SOCKS5 with host names looked up by the proxy.
    enum class ProxyType { Http, Socks5 };

    /// How an existing-file choice is stored: "ask", "skip" or "number".
    static QString ifExistsText(IfExists choice)
    {
        switch (choice) {
        case IfExists::Skip:
            return QStringLiteral("skip");
        case IfExists::Number:
            return QStringLiteral("number");
        case IfExists::Ask:
            break;
        }
        return QStringLiteral("ask");
    }
    /// The choice a stored text names (blanks around it and case aside); empty for any other.
    static std::optional<IfExists> ifExistsFromText(const QString &text)
    {
        return fromText<IfExists>(text, {IfExists::Ask, IfExists::Skip, IfExists::Number}, ifExistsText);
    }

    /// How [TRANSFERS] is stored: "auto" or the number.
    static QString transfersText(int transfers)
    {
        return transfers == autoTransfers ? QStringLiteral("auto") : QString::number(transfers);
    }
    /// The setting a stored text names: "auto" (blanks and case aside), or a number from 1 to
    /// maxTransfers; empty for any other.
    static std::optional<int> transfersFromText(const QString &text)
    {
        if (text.trimmed().compare(transfersText(autoTransfers), Qt::CaseInsensitive) == 0)
            return autoTransfers;
        bool isNumber = false;
        const int n = text.trimmed().toInt(&isNumber);
        return isNumber && n >= 1 && n <= maxTransfers ? std::optional<int>(n) : std::nullopt;
    }

    /// How the kept kinds are stored: "gifjpeg" or "all".
    static QString keepText(Keep keep) { return keep == Keep::All ? QStringLiteral("all") : QStringLiteral("gifjpeg"); }
    /// The kinds a stored text names (blanks around it and case aside); empty for any other.
    static std::optional<Keep> keepFromText(const QString &text)
    {
        return fromText<Keep>(text, {Keep::GifJpeg, Keep::All}, keepText);
    }

    /// How a repeats choice is stored: "skip" or "save".
    static QString repeatsText(Repeats r) { return r == Repeats::Save ? QStringLiteral("save") : QStringLiteral("skip"); }
    static std::optional<Repeats> repeatsFromText(const QString &text)
    {
        return fromText<Repeats>(text, {Repeats::Skip, Repeats::Save}, repeatsText);
    }
    /// How a proxy type is stored: "http" or "socks5".
    static QString proxyTypeText(ProxyType t)
    {
        return t == ProxyType::Socks5 ? QStringLiteral("socks5") : QStringLiteral("http");
    }
    static std::optional<ProxyType> proxyTypeFromText(const QString &text)
    {
        return fromText<ProxyType>(text, {ProxyType::Http, ProxyType::Socks5}, proxyTypeText);
    }
    /// The choice a stored text names (blanks around it and case aside); empty for any other.
    template<typename Choice>
    static std::optional<Choice> fromText(const QString &text, std::initializer_list<Choice> choices,
                                          QString (*textOf)(Choice))
    {
        for (const Choice choice : choices) {
            if (text.trimmed().compare(textOf(choice), Qt::CaseInsensitive) == 0)
                return choice;
        }
        return std::nullopt;
    }

    QString headerText;       // put before every saved file name
    QString localFolder;      // folder that receives the files
    qint16 lastFile = 0;      // maximum passes in one run
    QString proxyIP;
    qint32 proxyPort = 0;     // 0 to 65535 once stored; wider than 16 bits so every port fits
    qint16 multipleDownloads = True;
    qint16 stopRequested = False;
    QString historyPath;      // the address history where settings are kept (ProgramPlace)

    int transfers = defaultTransfers;   // [TRANSFERS]: transfers in flight, 1 to 8, or autoTransfers
    int maxMisses = defaultMaxMisses;   // [MAXMISSES]: a run ends after this many misses in a row; 0: never
    IfExists ifExists = IfExists::Ask;  // [IFEXISTS]: ask, skip or number
    int retries = defaultRetries;       // [RETRIES]: more tries for a transfer that failed in passing, 0 to 10
    int pauseMs = 0;                    // [PAUSE]: least time between two request starts to one host, 0 to 60000
    QString referer;                    // [REFERER]: "" none, "*" the address's folder, or a fixed address
    QString cookiesFile;                // [COOKIES]: a cookies.txt file sent to the hosts it names; "" none
    Keep keep = Keep::GifJpeg;          // [KEEP]: gifjpeg or all
    QString caFile;                     // [CAFILE]: PEM certificates trusted beside the system's; "" none
    Repeats repeats = Repeats::Skip;    // [REPEATS]: skip or save
    QString userAgent;                  // [USERAGENT]: "" the program's own name, else the text sent
    ProxyType proxyType = ProxyType::Http;   // [PROXYTYPE]: http or socks5
    QString proxyUser;                  // [PROXYUSER]: "" no authentication
    QString proxyPassword;              // never in the parameter file: the keyring's, or this session's
    /// Whether the desktop's keyring answered when it was last asked (start-up, or Options' OK).
    enum class Keyring { NotAsked, Answers, None };
    Keyring keyring = Keyring::NotAsked;
    /// A current desktop browser's User-Agent, for "Identify as"; updated with each release.
    static QString browserUserAgent()
    {
        return QStringLiteral("Mozilla/5.0 (X11; Linux x86_64; rv:140.0) Gecko/20100101 Firefox/140.0");
    }
};
