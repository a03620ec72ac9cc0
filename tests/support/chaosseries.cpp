#include "chaosseries.h"

#include "lookups.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include <iterator>

namespace {

enum class Kind {
    Whole, Chunked, Interim, CloseDelimited, LengthTwice, NoValidator, EtagChanges, ResetMidBody,
    ShortBody, Stall, ResetInHead, LongerThanLength, ConflictingLengths, Short206, Unasked206,
    Untyped206, LyingTotal, Status500, Status502, Status504, Status408, Busy429Gif, Busy503Date,
    Error500Jpeg, RedirectClosedPort, RedirectUnknownHost, RedirectChain, RedirectLoop, NotModified,
};

// Which requests a behaviour can answer: a Range asked or not, a condition sent or not.
enum class When { Always, Ranged, Unranged, Unconditional };

struct Behaviour
{
    Kind kind;
    const char *name;
    int weight;
    When when;
};

// Whole answers weigh most, so most numbers come through in a few tries; the faults of a
// resumed answer can only meet the requests that resume.
const Behaviour table[] = {
    {Kind::Whole, "whole", 40, When::Always},
    {Kind::Chunked, "chunked", 2, When::Always},
    {Kind::Interim, "interim 100 first", 2, When::Always},
    {Kind::CloseDelimited, "ends at close", 2, When::Always},
    {Kind::LengthTwice, "Content-Length twice", 1, When::Always},
    {Kind::NoValidator, "ranges without validator, cut", 1, When::Always},
    {Kind::EtagChanges, "ETag changed, cut", 1, When::Always},
    {Kind::ResetMidBody, "reset mid-body", 1, When::Always},
    {Kind::ShortBody, "shorter than its length", 1, When::Always},
    {Kind::Stall, "stall", 1, When::Always},
    {Kind::ResetInHead, "reset in the head", 1, When::Always},
    {Kind::LongerThanLength, "longer than its length", 1, When::Always},
    {Kind::ConflictingLengths, "conflicting Content-Lengths", 1, When::Always},
    {Kind::Short206, "short 206", 12, When::Ranged},
    {Kind::Unasked206, "unasked 206", 1, When::Unranged},
    {Kind::Untyped206, "206 without Content-Type", 12, When::Ranged},
    {Kind::LyingTotal, "206 lying about the total", 12, When::Ranged},
    {Kind::Status500, "500", 1, When::Always},
    {Kind::Status502, "502", 1, When::Always},
    {Kind::Status504, "504", 1, When::Always},
    {Kind::Status408, "408", 1, When::Always},
    {Kind::Busy429Gif, "429 with a GIF body", 1, When::Always},
    {Kind::Busy503Date, "503, Retry-After a date", 1, When::Always},
    {Kind::Error500Jpeg, "500 with a JPEG body", 1, When::Always},
    {Kind::RedirectClosedPort, "redirect to a closed port", 1, When::Always},
    {Kind::RedirectUnknownHost, "redirect to an unknown host", 1, When::Always},
    {Kind::RedirectChain, "redirect chain of 5", 1, When::Always},
    {Kind::RedirectLoop, "redirect loop", 1, When::Always},
    {Kind::NotModified, "304 unasked", 1, When::Unconditional},
};

quint64 mix(quint64 x)   // splitmix64's finaliser
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

quint64 hashOf(quint64 seed, int number, int turn, int salt)
{
    return mix(mix(mix(seed) ^ quint64(number)) ^ (quint64(turn) << 8 | quint64(salt)));
}

// The first byte of "bytes=N-"; -1 without one.
qint64 rangeFrom(const ReceivedRequest &request)
{
    const QByteArray range = request.header("Range");
    if (!range.startsWith("bytes=") || !range.endsWith('-'))
        return -1;
    bool ok = false;
    const qint64 from = range.mid(6, range.size() - 7).toLongLong(&ok);
    return ok ? from : -1;
}

QByteArray httpDate(const QDateTime &when)
{
    return QLocale::c().toString(when.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'")).toLatin1();
}

QByteArray etagOf(int number, int version)
{
    return '"' + QByteArray::number(number) + '-' + QByteArray::number(version) + '"';
}

QByteArray lastModifiedOf(int version)
{
    return httpDate(QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC).addDays(version));
}

QByteArray headOf(int status, const HeaderList &headers)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Chaos\r\n";
    for (const auto &[name, value] : headers)
        head += name + ": " + value + "\r\n";
    return head + "\r\n";
}

QByteArray lengthOf(const Response &r)
{
    return QByteArray::number(r.body.size());
}

} // namespace

ChaosSeries::ChaosSeries(ScriptedServer &server, quint64 seed)
    : m_server(server), m_seed(seed)
{
    m_server.routeOthers([this](const ReceivedRequest &request) { return answer(request); });
}

QStringList ChaosSeries::behaviours()
{
    QStringList names;
    for (const Behaviour &b : table)
        names << QString::fromLatin1(b.name);
    return names;
}

QList<QByteArray> ChaosSeries::versions(int number) const
{
    QList<QByteArray> result;
    for (int v = 0; v <= m_numbers.value(number).version; ++v)
        result << resource(number, v);
    return result;
}

QMap<QString, int> ChaosSeries::counts() const
{
    QMap<QString, int> result;
    for (const Number &n : m_numbers)
        for (const QString &name : n.tries)
            ++result[name];
    return result;
}

// Between 1 and 48000 bytes that look random, different for every number and version.
QByteArray ChaosSeries::resource(int number, int version) const
{
    quint64 x = hashOf(m_seed, number, version, 1);
    const int size = 1 + int(x % 48000);
    QByteArray bytes;
    bytes.reserve(size + 8);
    while (bytes.size() < size) {
        x = mix(x);
        bytes.append(reinterpret_cast<const char *>(&x), sizeof x);
    }
    bytes.truncate(size);
    return bytes;
}

// What a sound server answers: the rest from a Range it can serve, else the whole picture.
Response ChaosSeries::picture(int number, const ReceivedRequest &request, bool typed) const
{
    const int version = m_numbers.value(number).version;
    const QByteArray bytes = resource(number, version);
    const QByteArray etag = etagOf(number, version);
    const QByteArray ifRange = request.header("If-Range");
    const qint64 from = rangeFrom(request);
    Response r;
    if (from >= 0 && from < bytes.size() && (ifRange.isEmpty() || ifRange == etag || ifRange == lastModifiedOf(version))) {
        r.status = 206;
        r.body = bytes.mid(from);
        r.header("Content-Range", "bytes " + QByteArray::number(from) + '-' + QByteArray::number(bytes.size() - 1) + '/'
                                          + QByteArray::number(bytes.size()));
    } else {
        r.body = bytes;
        typed = true;   // a whole picture without its type is no picture: not a fault to test here
    }
    if (typed)
        r.header("Content-Type", "image/jpeg");
    return r.header("ETag", etag).header("Last-Modified", lastModifiedOf(version)).header("Accept-Ranges", "bytes");
}

Response ChaosSeries::answer(const ReceivedRequest &request)
{
    static const QRegularExpression pathForm(QStringLiteral("^/(?:(hop)/(\\d)/|(loop)/|(at)/)?pic(\\d+)\\.jpg$"));
    const QRegularExpressionMatch m = pathForm.match(QString::fromLatin1(request.path));
    if (!m.hasMatch())
        return Response::page(404, "<html>no such picture</html>");
    const int number = m.captured(5).toInt();
    const QByteArray name = "pic" + m.captured(5).toLatin1() + ".jpg";
    if (!m.captured(1).isEmpty()) {
        const int hop = m.captured(2).toInt();
        return Response::redirect(302, hop < 4 ? "/hop/" + QByteArray::number(hop + 1) + '/' + name : "/at/" + name);
    }
    if (!m.captured(3).isEmpty())
        return Response::redirect(302, "/loop/" + name);
    if (!m.captured(4).isEmpty())
        return picture(number, request);

    Number &state = m_numbers[number];
    const int turn = int(state.tries.size());
    const qint64 from = rangeFrom(request);
    const bool conditional = !request.header("If-None-Match").isEmpty() || !request.header("If-Modified-Since").isEmpty();
    auto applies = [&](When when) {
        return when == When::Always || (when == When::Ranged && from > 0) || (when == When::Unranged && from < 0)
            || (when == When::Unconditional && !conditional);
    };
    int total = 0;
    for (const Behaviour &b : table)
        total += applies(b.when) ? b.weight : 0;
    const quint64 h = hashOf(m_seed, number, turn, 2);
    int pick = int(h % quint64(total));
    const Behaviour *chosen = table;
    for (const Behaviour &b : table) {
        if (!applies(b.when))
            continue;
        chosen = &b;
        if ((pick -= b.weight) < 0)
            break;
    }
    state.tries << QString::fromLatin1(chosen->name);
    const quint64 r = hashOf(m_seed, number, turn, 3);   // where a cut falls, and the like

    if (chosen->kind == Kind::NoValidator || chosen->kind == Kind::EtagChanges)
        ++state.version;   // the file changes: silently, or under a new ETag
    Response good = picture(number, request, chosen->kind != Kind::Untyped206);
    const qint64 size = good.body.size();
    auto cut = [&](qint64 at) { return size > 1 ? 1 + qint64(at % quint64(size - 1)) : 0; };
    auto page = [&](int status, const QByteArray &type, const QByteArray &body) {
        Response p = Response::ok(body, type);
        p.status = status;
        return p;
    };

    switch (chosen->kind) {
    case Kind::Whole:
    case Kind::Untyped206:
        return good;
    case Kind::Chunked: {
        QByteArray chunks;
        for (qint64 at = 0, step = 0; at < size; at += step) {
            step = qMin<qint64>(size - at, 1 + qint64(mix(r + at) % 5000));
            chunks += QByteArray::number(step, 16) + "\r\n" + good.body.mid(at, step) + "\r\n";
        }
        good.raw = headOf(good.status, good.headers + HeaderList{{"Transfer-Encoding", "chunked"}}) + chunks + "0\r\n\r\n";
        return good;
    }
    case Kind::Interim:
        good.raw = "HTTP/1.1 100 Continue\r\n\r\n"
                 + headOf(good.status, good.headers + HeaderList{{"Content-Length", lengthOf(good)}}) + good.body;
        return good;
    case Kind::CloseDelimited:
        good.withoutLength = true;
        return good;
    case Kind::LengthTwice:
        good.declaredLength = size;
        return good.header("Content-Length", lengthOf(good)).header("Content-Length", lengthOf(good));
    case Kind::ConflictingLengths:
        good.declaredLength = size;
        return good.header("Content-Length", lengthOf(good)).header("Content-Length", QByteArray::number(size + 7));
    case Kind::NoValidator: {
        Response bare = Response::ok(resource(number, state.version), "image/jpeg").header("Accept-Ranges", "bytes");
        bare.resetAfter = cut(r);
        return bare;
    }
    case Kind::EtagChanges:
    case Kind::ResetMidBody:
        good.resetAfter = cut(r);
        return good;
    case Kind::ShortBody:
        good.declaredLength = size;
        good.body.truncate(cut(r));
        return good;
    case Kind::Stall:
        good.stallAfter = qint64(r % quint64(size));
        return good;
    case Kind::ResetInHead: {
        Response broken;
        broken.raw = headOf(good.status, good.headers).left(1 + qsizetype(r % 40));
        broken.resetAfter = 0;
        return broken;
    }
    case Kind::LongerThanLength:
        good.declaredLength = size;
        good.body += QByteArray(1 + int(r % 3000), 'J');
        return good;
    case Kind::Short206: {
        if (good.status != 206 || size < 2)
            return good;
        const qint64 sent = cut(r);
        Response s = good;
        s.headers.removeIf([](const auto &h) { return h.first == "Content-Range"; });
        s.body.truncate(sent);
        return s.header("Content-Range", "bytes " + QByteArray::number(from) + '-' + QByteArray::number(from + sent - 1) + '/'
                                                 + QByteArray::number(from + size));
    }
    case Kind::Unasked206: {
        if (size < 2)
            return good;
        const qint64 half = size / 2;
        good.status = 206;
        good.body.truncate(half);
        return good.header("Content-Range", "bytes 0-" + QByteArray::number(half - 1) + '/' + QByteArray::number(size));
    }
    case Kind::LyingTotal: {
        if (good.status != 206)
            return good;
        // A total past the end comes with bytes that are not the picture's; one short of it
        // makes the rest look complete early.
        const bool longer = (r & 1) || size < 2;
        const qint64 end = longer ? from + size + 100 : from + cut(r);
        if (longer)
            good.body += QByteArray(100, 'L');
        else
            good.body.truncate(end - from);
        good.headers.removeIf([](const auto &h) { return h.first == "Content-Range"; });
        return good.header("Content-Range", "bytes " + QByteArray::number(from) + '-' + QByteArray::number(end - 1) + '/'
                                                    + QByteArray::number(end));
    }
    case Kind::Status500:
    case Kind::Status408:
        return Response::page(chosen->kind == Kind::Status500 ? 500 : 408, "<html>error</html>");
    case Kind::Status502:
    case Kind::Status504:
        return Response::page(chosen->kind == Kind::Status502 ? 502 : 504, "<html>error</html>").header("Retry-After", "0");
    case Kind::Busy429Gif:
        return page(429, "image/gif", "GIF89a busy").header("Retry-After", "0");
    case Kind::Busy503Date:
        return page(503, "text/html", "<html>busy</html>").header("Retry-After", httpDate(QDateTime::currentDateTimeUtc()));
    case Kind::Error500Jpeg:
        return page(500, "image/jpeg", "\xff\xd8\xff not the picture");
    case Kind::RedirectClosedPort:
        return Response::redirect(302, m_refused.url(QStringLiteral("/") + QString::fromLatin1(name)).toLatin1());
    case Kind::RedirectUnknownHost:
        return Response::redirect(302, "http://" + lookups::unknownHost().toLatin1() + '/' + name);
    case Kind::RedirectChain:
        return Response::redirect(302, "/hop/1/" + name);
    case Kind::RedirectLoop:
        return Response::redirect(302, "/loop/" + name);
    case Kind::NotModified: {
        Response n;
        n.status = 304;
        return n.header("ETag", etagOf(number, state.version));
    }
    }
    return good;
}
