// The content-type check: which answers a run keeps as pictures. The rule itself over any text,
// and the whole way from the bytes a server sends through the transfer to the run's decision,
// against a real server on 127.0.0.1 that answers with the fuzzed head.
#include "core/downloadrun.h"
#include "core/runrules.h"
#include "core/runview.h"
#include "core/settings.h"
#include "fuzzcheck.h"
#include "platform/inet.h"
#include "scriptedserver.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdint>

namespace {

class MessageView : public RunView
{
public:
    QString prefixText() const override { return QString(); }
    QString numberText() const override { return QString(); }
    QString suffixText() const override { return QString(); }
    void setNumberText(const QString &) override {}
    void addMsg(const QString &message) override { messages.append(message); }
    void transferState(const QString &) override {}
    void saveHistory() override {}
    bool showPicture(const QString &) override { return false; }
    QString askNewName(const QString &, const QString &) override { return QString(); }

    QStringList messages;
};

struct Rig
{
    Rig()
    {
        inet.setStallTimeout(2000);
        if (!server.isListening())
            std::abort();
    }
    ScriptedServer server;
    Inet inet;
    Settings settings;
    MessageView view;
    DownloadRun run{settings, inet, view, QString()};
};

Rig &rig()
{
    static int argc = 1;
    static char name[] = "fuzz_contenttype";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Rig r;
    return r;
}

bool imageText(const QByteArray &value)
{
    return value == "image/gif" || value == "image/jpeg";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const unsigned mode = input.byte() % 3;
    const QByteArray bytes = input.rest();

    // The rule: exactly "image/gif" or "image/jpeg", case counting, nothing around it.
    const QString asText = QString::fromLatin1(bytes);
    FUZZ_CHECK(runrules::isImageType(asText) == imageText(bytes),
               QStringLiteral("isImageType(%1)").arg(shown(asText)));

    Rig &r = rig();
    QByteArray head = "HTTP/1.1 200 OK\r\n";
    if (mode == 0) // the value of the one Content-type header
        head += "Content-type: " + bytes + "\r\n";
    else if (mode == 1) // the value of the one header, under a fuzzed name
        head += bytes + "\r\n";
    else // a fuzzed header block after a well-formed one
        head += "Content-Type: image/gif\r\n" + bytes + "\r\n";
    Response answer;
    answer.raw = head + "Content-Length: 4\r\nConnection: close\r\n\r\nGIF8";
    r.server.route(QStringLiteral("/picture"), answer);
    r.view.messages.clear();
    r.inet.OpenURL({r.server.url(QStringLiteral("/picture")), QString(), {}});
    const QString header = r.inet.GetHeader(QStringLiteral("Content-type"));
    const bool kept = r.run.checkContentType(header);

    FUZZ_CHECK(r.view.messages == QStringList{kept ? QStringLiteral("File is a image")
                                                   : QStringLiteral("File is not a image")},
               QStringLiteral("messages: %1").arg(r.view.messages.join(QLatin1Char('|'))));
    FUZZ_CHECK(kept == runrules::isImageType(header),
               QStringLiteral("kept %1 for the header %2").arg(kept).arg(shown(header)));

    // A value the server sent on one clean line decides alone, blanks around it aside.
    if (mode == 0 && !bytes.contains('\r') && !bytes.contains('\n')) {
        const bool expected = imageText(bytes.trimmed());
        FUZZ_CHECK(kept == expected, QStringLiteral("Content-type %1 gave %2 (header read as %3)")
                                             .arg(shown(QString::fromLatin1(bytes))).arg(kept).arg(shown(header)));
    }
    // Nothing is kept that the server did not send as a picture type.
    if (kept) {
        FUZZ_CHECK(head.contains(header.toLatin1()), QStringLiteral("kept for %1, which was never sent").arg(shown(header)));
    }
    return 0;
}
