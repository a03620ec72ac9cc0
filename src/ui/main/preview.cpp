#include "ui/main/preview.h"

#include <QCoreApplication>
#include <QFile>
#include <QFutureWatcher>
#include <QImageReader>
#include <QPainter>
#include <QPointer>
#include <QPromise>
#include <QThreadPool>
#include <QTimer>

#include <memory>

#include <sys/resource.h>

#include <optional>

namespace preview {

namespace {

constexpr qint64 mebibyte = 1024 * 1024;
// The frame and first scan headers follow the application segments, each at most 64 KiB; a
// walk that has not reached them in this many bytes assumes the costliest decode.
constexpr qint64 shortHead = 64 * 1024;
constexpr qint64 longHead = 16 * shortHead;
// What every decode takes besides its pictures and buffers: tables, reader, source buffer.
constexpr qint64 fixedCost = 4 * mebibyte;

qint64 ceilDiv(qint64 a, qint64 b) { return (a + b - 1) / b; }
qint64 roundUp(qint64 a, qint64 b) { return ceilDiv(a, b) * b; }

// Bytes for `pixels` at `each` bytes a pixel (at most 64), held at a value no decode reaches so
// that a header claiming billions of pixels a side cannot overflow the sum.
qint64 bytesFor(qint64 pixels, int each)
{
    constexpr qint64 beyondAnyDecode = qint64(1) << 56;
    return pixels >= beyondAnyDecode ? beyondAnyDecode * 64 : pixels * each;
}

quint32 big32(const uchar *p) { return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3]; }
quint32 little16(const uchar *p) { return quint32(p[0]) | quint32(p[1]) << 8; }
quint32 little24(const uchar *p) { return little16(p) | quint32(p[2]) << 16; }
quint32 little32(const uchar *p) { return little24(p) | quint32(p[3]) << 24; }

constexpr char pngSignature[] = "\x89PNG\r\n\x1a\n";

// The size asked of the JPEG decoder for a reduction: rounded down, so that the decoder's own
// choice of scale (the least that covers the size asked) is exactly that reduction.
QSize reduced(QSize full, int by)
{
    return QSize(full.width() / by, full.height() / by);
}

bool isFrameMarker(uchar m)
{
    // SOF0 to SOF15 but DHT (C4), JPG (C8) and DAC (CC)
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

} // namespace

JpegHeader readJpegHeader(QByteArrayView head)
{
    JpegHeader header;
    const auto *p = reinterpret_cast<const uchar *>(head.data());
    const qsizetype n = head.size();
    if (n < 2 || p[0] != 0xFF || p[1] != 0xD8)
        return header;
    qsizetype pos = 2;
    auto twoBytes = [&](qsizetype at) { return at + 1 < n ? (p[at] << 8) | p[at + 1] : -1; };
    for (;;) {
        // As the decoder does: skip anything up to an 0xFF, any run of 0xFF, and a stuffed 0xFF 0x00.
        while (pos < n && p[pos] != 0xFF)
            ++pos;
        while (pos < n && p[pos] == 0xFF)
            ++pos;
        if (pos >= n)
            return header;
        const uchar marker = p[pos++];
        if (marker == 0x00)
            continue;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;   // stand alone, no length
        if (marker == 0xD8 || marker == 0xD9) {
            header.complete = true;   // a second start, or the end: the decoder stops here
            return header;
        }
        const int length = twoBytes(pos);
        if (length < 0)
            return header;
        if (isFrameMarker(marker)) {
            if (header.hasFrame || pos + 7 >= n) {
                header.complete = header.hasFrame;   // a second frame header is an error
                return header;
            }
            header.hasFrame = true;
            header.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            header.height = twoBytes(pos + 3);
            header.width = twoBytes(pos + 5);
            const int count = p[pos + 7];
            for (int i = 0; i < count; ++i) {
                const qsizetype at = pos + 8 + 3 * qsizetype(i) + 1;
                // Unread or out-of-range factors count as the largest the decoder accepts.
                const int h = at < n ? p[at] >> 4 : 4;
                const int v = at < n ? p[at] & 15 : 4;
                header.components.append({h >= 1 && h <= 4 ? h : 4, v >= 1 && v <= 4 ? v : 4});
            }
        } else if (marker == 0xDA) {
            header.firstScanComponents = pos + 2 < n ? p[pos + 2] : 0;
            header.complete = true;
            return header;
        }
        pos += qMax(2, length);
    }
}

qint64 jpegDecodeCost(const JpegHeader &header, int by)
{
    const qint64 width = header.width;
    const qint64 height = header.height;
    int hMax = 1;
    int vMax = 1;
    for (const JpegHeader::Component &c : header.components) {
        hMax = qMax(hMax, c.h);
        vMax = qMax(vMax, c.v);
    }
    // Progressive and multi-scan pictures keep every coefficient block of every component,
    // 64 of 2 bytes each, at any output scale.
    qint64 coefficients = 0;
    if (header.wholePicture()) {
        for (const JpegHeader::Component &c : header.components) {
            const qint64 blocksWide = ceilDiv(width * c.h, 8 * hMax);
            const qint64 blocksHigh = ceilDiv(height * c.v, 8 * vMax);
            coefficients += roundUp(blocksWide, c.h) * roundUp(blocksHigh, c.v) * 128;
        }
    }
    // The decoded picture at 4 bytes a pixel, Qt's copy scaled to the size asked for, and the
    // preview's own; row buffers of a few block rows per component.
    const qint64 outWidth = ceilDiv(width, by);
    const qint64 picture = outWidth * ceilDiv(height, by) * 4;
    const qint64 rows = qint64(qMax<qsizetype>(1, header.components.size())) * (outWidth + 64) * 4 * 8 * vMax * 2;
    return coefficients + 3 * picture + rows + fixedCost;
}

QByteArray formatOf(QByteArrayView head)
{
    if (head.startsWith("\xFF\xD8"))
        return QByteArrayLiteral("jpeg");
    if (head.startsWith("GIF8"))
        return QByteArrayLiteral("gif");
    if (head.startsWith(pngSignature))
        return QByteArrayLiteral("png");
    if (head.size() >= 12 && head.startsWith("RIFF") && head.sliced(8, 4) == "WEBP")
        return QByteArrayLiteral("webp");
    return QByteArray();
}

qint64 gifDecodeCost(QSize size)
{
    // The whole picture and the decoder's backing store of the same size, 4 bytes a pixel,
    // and the preview's scaled copy.
    return 3 * qint64(size.width()) * size.height() * 4 + fixedCost;
}

namespace {

// What a PNG's header (IHDR) says about decoding it. An animated PNG's canvas is this size too,
// and Qt shows only its first picture.
struct PngHeader
{
    bool valid = false;      // the signature and a header chunk were read
    int width = 0;
    int height = 0;
    int depth = 0;           // bits a sample: 1, 2, 4, 8 or 16
    int colourType = 0;      // 0 grey, 2 colour, 3 palette, 4 grey and alpha, 6 colour and alpha
    bool interlaced = false;

    // Qt reads it scaled, a row at a time, and never holds the whole picture: 8-bit colour,
    // with or without alpha, not interlaced.
    bool scalesWhileReading() const
    {
        return depth == 8 && (colourType == 2 || colourType == 4 || colourType == 6) && !interlaced;
    }
};

// What a WebP's first chunk says: the canvas, how the picture is coded, and whether it moves.
struct WebpHeader
{
    enum class Coding { Lossy, Lossless, Extended };   // chunk VP8, VP8L or VP8X
    bool valid = false;
    int width = 0;
    int height = 0;
    Coding coding = Coding::Lossy;
    bool animated = false;
};

// Any bytes.
PngHeader readPngHeader(QByteArrayView head)
{
    PngHeader header;
    const auto *p = reinterpret_cast<const uchar *>(head.data());
    if (head.size() < 29 || !head.startsWith(pngSignature) || head.sliced(12, 4) != "IHDR")
        return header;
    const quint32 width = big32(p + 16);
    const quint32 height = big32(p + 20);
    if (width == 0 || height == 0 || width > 0x7fffffff || height > 0x7fffffff)
        return header;
    header.width = int(width);
    header.height = int(height);
    header.depth = p[24];
    header.colourType = p[25];
    header.interlaced = p[28] != 0;
    header.valid = true;
    return header;
}

// Memory Qt's PNG decoder and the preview take at most to read the picture scaled to `scaled`
// while reading (a picture that scalesWhileReading), or whole (an empty size).
qint64 pngDecodeCost(const PngHeader &header, QSize scaled = QSize())
{
    if (!scaled.isEmpty() && header.scalesWhileReading()) {
        // The scaled picture and the preview's copy, 4 bytes a pixel; Qt's and the PNG library's
        // row buffers, 32 bytes a pixel of one row.
        return bytesFor(qint64(scaled.width()) * scaled.height(), 8) + bytesFor(header.width, 32) + fixedCost;
    }
    // Decoded whole, in the depth Qt gives it (a grey 16-bit picture with a transparent colour
    // becomes 8 bytes a pixel), plus the copy the scaling converts a grey or palette picture to
    // (colour keeps its depth; its alpha is premultiplied in place), then the scaled picture at
    // the depth of that copy.
    const bool colour = header.colourType == 2 || header.colourType == 4 || header.colourType == 6;
    const bool wide = header.depth > 8;
    const int decoded = wide ? (colour ? 8 : 10) : (colour ? 4 : 5);
    const int scaledDepth = wide ? 8 : 4;
    return bytesFor(qint64(header.width) * header.height, decoded + scaledDepth) + fixedCost;
}

// Any bytes.
WebpHeader readWebpHeader(QByteArrayView head)
{
    WebpHeader header;
    const auto *p = reinterpret_cast<const uchar *>(head.data());
    if (head.size() < 30 || !head.startsWith("RIFF") || head.sliced(8, 4) != "WEBP")
        return header;
    const QByteArrayView chunk = head.sliced(12, 4);
    if (chunk == "VP8X") {
        // Flags, then the canvas less one a side, 24 bits each.
        header.coding = WebpHeader::Coding::Extended;
        header.animated = p[20] & 0x02;
        header.width = int(little24(p + 24)) + 1;
        header.height = int(little24(p + 27)) + 1;
    } else if (chunk == "VP8L") {
        // A signature byte, then the size less one a side, 14 bits each.
        if (p[20] != 0x2f)
            return header;
        const quint32 bits = little32(p + 21);
        header.coding = WebpHeader::Coding::Lossless;
        header.width = int(bits & 0x3fff) + 1;
        header.height = int((bits >> 14) & 0x3fff) + 1;
    } else if (chunk == "VP8 ") {
        // The frame tag, a start code, then the size a side in 14 bits (2 more say how to upscale).
        if (p[23] != 0x9d || p[24] != 0x01 || p[25] != 0x2a)
            return header;
        header.width = int(little16(p + 26) & 0x3fff);
        header.height = int(little16(p + 28) & 0x3fff);
    } else {
        return header;
    }
    header.valid = header.width > 0 && header.height > 0;
    return header;
}

qint64 webpDecodeCost(const WebpHeader &header, qint64 fileSize)
{
    // The plug-in holds the whole file and decodes the whole canvas, 4 bytes a pixel: the
    // picture; the decoder's own of a lossless picture (or the alpha plane beside a lossy one);
    // for an animation also the canvas the frames are laid on and the copy handed out. Then the
    // preview's scaled copy.
    const int pictures = header.animated ? 4 : header.coding == WebpHeader::Coding::Lossy ? 1 : 2;
    return qMax<qint64>(0, fileSize) + bytesFor(qint64(header.width) * header.height, 4 * (pictures + 1)) + fixedCost;
}

QString tooCostly(QSize claimed, qint64 cost)
{
    return QStringLiteral("Not shown in the preview: decoding this %1 x %2 picture would take %3 MiB, "
                          "more than the %4 MiB allowed")
            .arg(claimed.width()).arg(claimed.height()).arg(ceilDiv(cost, mebibyte)).arg(memoryLimit / mebibyte);
}

// A PNG or WebP is reckoned from its header alone, before Qt's decoder is asked anything: asked
// the size of an animated WebP, Qt's plug-in already makes its whole canvas.
void planFromHeader(Plan &result, QIODevice &device, QByteArrayView bytes, QSize wanted, Check check)
{
    PngHeader png;
    WebpHeader webp;
    if (result.format == "png") {
        png = readPngHeader(bytes);
        result.full = QSize(png.width, png.height);
    } else {
        // Qt reads WebP through a plug-in of another package, which may not be installed.
        if (!QImageReader::supportedImageFormats().contains("webp")) {
            result.refusal = QStringLiteral("Not shown in the preview: WebP needs the package qt6-image-formats-plugins");
            return;
        }
        webp = readWebpHeader(bytes);
        result.full = QSize(webp.width, webp.height);
    }
    if (!png.valid && !webp.valid) {
        result.format.clear();
        return;
    }

    if (png.valid) {
        result.cost = pngDecodeCost(png);
        if (png.scalesWhileReading()) {
            // Read at the size the preview shows (an eighth a side when it shows nothing yet),
            // smaller while even that would take too much memory.
            QSize target = wanted.isEmpty() ? reduced(result.full, 8).expandedTo(QSize(1, 1))
                                            : wanted.boundedTo(result.full);
            auto costAt = [&](QSize size) { return size == result.full ? pngDecodeCost(png) : pngDecodeCost(png, size); };
            result.cost = costAt(target);
            while (result.cost > memoryLimit && (target.width() > 1 || target.height() > 1))
                result.cost = costAt(target = QSize(qMax(1, target.width() / 2), qMax(1, target.height() / 2)));
            if (target != result.full)
                result.scaled = target;
        }
    } else {
        result.cost = webpDecodeCost(webp, device.size());
    }
    if (result.cost > memoryLimit) {
        result.refusal = tooCostly(result.full, result.cost);
        return;
    }
    if (check == Check::HeaderOnly)
        return;
    QImageReader reader(&device, result.format);
    reader.setAutoDetectImageFormat(false);
    const QSize decoderSize = reader.size();
    device.seek(0);
    if (!decoderSize.isValid() || decoderSize.isEmpty())
        result.format.clear();
    else if (decoderSize != result.full)
        result.refusal = QStringLiteral("Not shown in the preview: the picture's header could not be read");
}

} // namespace

Plan plan(QIODevice &device, QSize wanted, Check check)
{
    Plan result;
    auto head = [&](qint64 length) {
        device.seek(0);
        const QByteArray bytes = device.read(length);
        device.seek(0);
        return bytes;
    };
    QByteArray bytes = head(shortHead);
    result.format = formatOf(bytes);
    if (result.format == "png" || result.format == "webp") {
        planFromHeader(result, device, bytes, wanted, check);
        return result;
    }
    JpegHeader jpeg;
    if (result.format == "jpeg") {
        jpeg = readJpegHeader(bytes);
        if (!jpeg.complete && bytes.size() == shortHead)
            jpeg = readJpegHeader(bytes = head(longHead));
    } else if (result.format != "gif") {
        return result;
    }

    if (check == Check::HeaderOnly && result.format == "jpeg" && jpeg.hasFrame) {
        result.full = QSize(jpeg.width, jpeg.height);
    } else {
        QImageReader reader(&device, result.format);
        reader.setAutoDetectImageFormat(false);
        result.full = reader.size();
        device.seek(0);
    }
    if (!result.full.isValid() || result.full.isEmpty()) {
        result.format.clear();
        return result;
    }

    QSize claimed = result.full;
    if (result.format == "gif") {
        // Qt gives the first frame's size, but decodes onto the whole logical screen.
        const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
        if (bytes.size() >= 10)
            claimed = claimed.expandedTo(QSize(p[6] | p[7] << 8, p[8] | p[9] << 8));
        result.cost = gifDecodeCost(claimed);
    } else if (!jpeg.hasFrame || QSize(jpeg.width, jpeg.height) != result.full) {
        result.refusal = QStringLiteral("Not shown in the preview: the picture's header could not be read");
        return result;
    } else {
        // The least reduction by 2, 4 or 8 that still covers the preview (the decoder does
        // those at little cost), then more while the decode would take too much memory.
        auto fits = [&](int by) { return !reduced(result.full, by).isEmpty(); };
        result.by = 1;
        for (int by = 8; by >= 2; by /= 2) {
            const QSize size = reduced(result.full, by);
            if (fits(by) && size.width() >= wanted.width() && size.height() >= wanted.height()) {
                result.by = by;
                break;
            }
        }
        result.cost = jpegDecodeCost(jpeg, result.by);
        while (result.cost > memoryLimit && result.by < 8 && fits(result.by * 2))
            result.cost = jpegDecodeCost(jpeg, result.by *= 2);
    }
    if (result.cost > memoryLimit)
        result.refusal = tooCostly(claimed, result.cost);
    return result;
}

QImage decode(QIODevice &device, QSize wanted, Plan *planned)
{
    const Plan p = plan(device, wanted);
    if (planned)
        *planned = p;
    if (!p.decodable())
        return QImage();
    QImage image;
    {
        QImageReader reader(&device, p.format);
        reader.setAutoDetectImageFormat(false);
        if (p.by > 1)
            reader.setScaledSize(reduced(p.full, p.by));
        else if (!p.scaled.isEmpty())
            reader.setScaledSize(p.scaled);
        image = reader.read();
    }
    // With the reader gone the picture is ours alone: its alpha is premultiplied in place, so
    // neither the scaling below nor the window makes a converted copy.
    if (image.format() == QImage::Format_ARGB32)
        image.convertTo(QImage::Format_ARGB32_Premultiplied);
    else if (image.format() == QImage::Format_RGBA64)
        image.convertTo(QImage::Format_RGBA64_Premultiplied);
    if (image.isNull() || wanted.isEmpty() || image.width() <= wanted.width() || image.height() <= wanted.height())
        return image;
    // A picture decoded whole (GIF) is scaled down here, not by the label at every paint.
    if (image.width() >= 2 * wanted.width() || image.height() >= 2 * wanted.height())
        return image.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // The rest, less than half, with the painter's bilinear filter: left to the label, its
    // area-averaging filter took half of a small picture's preview time, for no visible gain.
    QImage fitted(wanted, image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    fitted.fill(Qt::transparent);
    QPainter painter(&fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(QPoint(0, 0), wanted), image);
    return fitted;
}

} // namespace preview

namespace {

// While pictures come faster than anyone could look at them, a new decode starts no sooner than
// this after the last one started, nor sooner than twice the time the last one took: the newest
// picture then, not every picture, costs a decode, and decoding never takes more than half a
// core from the transfers beside it.
constexpr int pacingMs = 40;

struct Job
{
    QString path;
    std::function<QSize(QSize)> wanted;
};

struct Result
{
    QImage image;
    preview::Plan plan;
};

// Gentle decodes run on a thread of their own at a low priority, which it cannot give up again;
// the others on the shared pool at the normal one. The pool lives as long as the application,
// so a decoder going never waits for a decode under way.
QThreadPool *gentlePool()
{
    static QPointer<QThreadPool> pool;
    if (!pool) {
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setMaxThreadCount(1);
    }
    return pool;
}

} // namespace

struct PreviewDecoder::State
{
    int running = 0;                 // decodes under way
    quint64 started = 0;             // the newest decode started; an older one's result is late
    quint64 finished = 0;            // the newest decode whose result was given
    std::optional<Job> next;         // the newest picture waiting for its turn
    bool urgent = false;             // the next one starts at once, beside one under way
    QElapsedTimer sinceStart;
    qint64 lastTook = 0;             // ms the last decode took
    QTimer pace;
    bool gentle = false;
};

PreviewDecoder::PreviewDecoder(QObject *parent)
    : QObject(parent), d(std::make_unique<State>())
{
    d->pace.setSingleShot(true);
    connect(&d->pace, &QTimer::timeout, this, &PreviewDecoder::start);
}

// A decode under way finishes on its own; its result goes nowhere.
PreviewDecoder::~PreviewDecoder() = default;

void PreviewDecoder::request(const QString &path, const std::function<QSize(QSize)> &wanted)
{
    d->next = Job{path, wanted};
    schedule();
}

void PreviewDecoder::flush()
{
    if (!d->next)
        return;
    d->urgent = true;
    schedule();
}

void PreviewDecoder::setGentle(bool gentle)
{
    d->gentle = gentle;
}

bool PreviewDecoder::isBusy() const
{
    // A decode overtaken by a newer one still runs, but its result goes nowhere.
    return d->finished != d->started || d->next.has_value();
}

void PreviewDecoder::schedule()
{
    if (!d->next)
        return;
    // One decode at a time; a second only for the picture a run ended on, whose decode then
    // need not wait for one it overtook.
    if (d->running > 1 || (d->running == 1 && !d->urgent))
        return;
    const qint64 gap = qMax<qint64>(pacingMs, 2 * d->lastTook);
    const qint64 since = d->sinceStart.isValid() ? d->sinceStart.elapsed() : gap;
    if (d->urgent || since >= gap) {
        d->pace.stop();
        start();
    } else if (!d->pace.isActive()) {
        d->pace.start(int(gap - since));
    }
}

void PreviewDecoder::start()
{
    if (!d->next || d->running > 1)
        return;
    const Job job = *d->next;
    d->next.reset();
    const bool gentle = d->gentle && !d->urgent;
    d->urgent = false;
    d->sinceStart.start();
    ++d->running;
    const quint64 generation = ++d->started;

    auto promise = std::make_shared<QPromise<Result>>();
    auto *watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcher<Result>::finished, this, [this, watcher, generation, path = job.path] {
        --d->running;
        if (d->running == 0)
            d->lastTook = d->sinceStart.elapsed();
        const Result result = watcher->future().resultCount() > 0 ? watcher->result() : Result();
        watcher->deleteLater();
        const bool overtaken = generation != d->started;
        if (!overtaken)
            d->finished = generation;
        schedule();
        if (!overtaken)
            Q_EMIT decoded(path, result.image, result.plan);
        if (!isBusy())
            Q_EMIT idle();
    });
    watcher->setFuture(promise->future());
    QThreadPool *pool = gentle ? gentlePool() : QThreadPool::globalInstance();
    pool->start([promise, job, gentle] {
        // On Linux a thread's nice value is its own. 10 leaves a decode about a tenth of a core
        // that the transfers, the window and the server want.
        if (gentle)
            ::setpriority(PRIO_PROCESS, 0, 10);
        promise->start();
        Result result;
        try {
            QFile file(job.path);
            if (file.open(QIODevice::ReadOnly)) {
                const preview::Plan first = preview::plan(file, QSize());
                result.image = first.decodable() ? preview::decode(file, job.wanted(first.full), &result.plan)
                                                 : QImage();
                if (!first.decodable())
                    result.plan = first;
            }
        } catch (...) {
            // out of memory after all: the preview keeps its picture
            result.image = QImage();
        }
        promise->addResult(result);
        promise->finish();
    });
}
