#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QByteArrayView>
#include <QImage>
#include <QList>
#include <QObject>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

class QIODevice;

/// The preview's pictures: what decoding one would cost, and the decode itself, within a
/// memory limit whatever a picture's header claims.
namespace preview {

/// The most memory the preview may take to decode one picture.
constexpr qint64 memoryLimit = qint64(256) * 1024 * 1024;

/// What a JPEG's markers up to its first scan say about decoding it.
struct JpegHeader
{
    struct Component
    {
        int h = 1;   // sampling factors, 1 to 4
        int v = 1;
    };
    bool hasFrame = false;        // a frame header (SOF) was found
    bool progressive = false;
    int width = 0;
    int height = 0;
    QList<Component> components;
    int firstScanComponents = 0;  // components in the first scan; 0: no scan header was reached
    bool complete = false;        // the walk reached the first scan or the end of the picture

    /// The decoder keeps coefficients for the whole picture: progressive, several scans, or
    /// not known to be otherwise.
    bool wholePicture() const { return progressive || firstScanComponents < components.size(); }
};

/// Walks the JPEG markers in the first bytes of a file as the decoder does, up to the first
/// scan. Any bytes.
JpegHeader readJpegHeader(QByteArrayView head);

/// Memory the JPEG decoder and Qt take at most to decode the picture reduced by `by` (1, 2, 4
/// or 8 a side).
qint64 jpegDecodeCost(const JpegHeader &header, int by);

/// Memory Qt's GIF decoder takes at most for a picture whose frame and screen cover that
/// size: it always decodes the whole screen.
qint64 gifDecodeCost(QSize size);

/// The picture format the first bytes of a file announce: "jpeg", "gif", "png" or "webp" (12
/// bytes tell them all apart); empty for anything else.
QByteArray formatOf(QByteArrayView head);

/// How a picture is to be decoded for a preview of `wanted` pixels.
struct Plan
{
    QByteArray format;   // "jpeg", "gif", "png" or "webp"; empty: no picture the preview can show
    QSize full;          // the picture's own size
    int by = 1;          // reduction while decoding (JPEG)
    QSize scaled;        // size a PNG is scaled to while it is read; empty: read whole
    qint64 cost = 0;     // memory the decode takes at most
    QString refusal;     // why a picture is not decoded: it would need too much memory, or
                         // Qt cannot decode its format here

    bool decodable() const { return !format.isEmpty() && refusal.isEmpty(); }
};

/// How closely plan() looks: HeaderOnly takes a JPEG's, PNG's or WebP's size from its header
/// alone, a quick look for the window's thread; Full also has the decoder confirm it, as every
/// decode does.
enum class Check { Full, HeaderOnly };

/// Looks at the picture in device, from its start, and plans its decode: the least reduction
/// that still covers `wanted` (empty: the most there is) and fits the memory limit. Any bytes.
Plan plan(QIODevice &device, QSize wanted, Check check = Check::Full);

/// Plans and, when the plan allows it, decodes the picture in device to about `wanted`
/// pixels. Null when the plan refuses it or the decoder fails. Safe on any thread.
QImage decode(QIODevice &device, QSize wanted, Plan *planned = nullptr);

} // namespace preview

/// Decodes preview pictures one at a time on a pool thread; a picture waiting for its turn is
/// replaced by a newer one, so nobody waits for pictures nobody could see. While pictures come
/// fast, decodes start at a steady pace, each with the newest picture of the moment.
class PreviewDecoder : public QObject
{
    Q_OBJECT

public:
    explicit PreviewDecoder(QObject *parent = nullptr);
    ~PreviewDecoder() override;

    /// Decodes the picture file, after the decode under way, to about the pixels `wanted` gives
    /// for its size; `wanted` runs on the decoder's thread.
    void request(const QString &path, const std::function<QSize(QSize)> &wanted);
    /// The picture waiting for its turn is decoded at once, beside a decode under way, whose
    /// result then goes nowhere: the last picture of a run shows without delay.
    void flush();
    /// True while a picture is being decoded for the preview or waits for its turn; a decode
    /// overtaken by a newer one, whose result goes nowhere, does not count.
    bool isBusy() const;
    /// While gentle (during a run), decodes yield the processor to everything else of normal
    /// priority, the transfers first; a decode that flush() starts never does.
    void setGentle(bool gentle);

Q_SIGNALS:
    /// One request has ended: the picture (null when it could not be decoded) and its plan.
    void decoded(const QString &path, const QImage &image, const preview::Plan &plan);
    /// No picture is being decoded or waits for its turn any more.
    void idle();

private:
    struct State;
    void schedule();
    void start();
    std::unique_ptr<State> d;
};
