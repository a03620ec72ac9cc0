// Picture files as the preview meets them, any bytes and any preview size: the check and the
// decode never crash and agree, a decode goes ahead only when reckoned within the memory limit,
// and the peak memory during the decode stays within that reckoning.
#include "../support/peakgrowth.h"
#include "fuzzcheck.h"
#include "ui/main/preview.h"

#include <QBuffer>
#include <QCoreApplication>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Image plug-ins are found through the application object.
    static int argc = 1;
    static char name[] = "picture";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    FuzzInput input(data, size);
    // A preview of up to 4080 x 4080 pixels; none: the check's own, the smallest decode.
    const QSize wanted(int(input.byte()) * 16, int(input.byte()) * 16);
    QByteArray bytes = input.rest();
    QBuffer device(&bytes);
    device.open(QIODevice::ReadOnly);

    const preview::Plan checked = preview::plan(device, QSize());
    const PeakGrowth peak;
    FUZZ_CHECK(peak.valid(), QStringLiteral("the peak memory cannot be read or reset"));
    preview::Plan planned;
    const QImage image = preview::decode(device, wanted, &planned);
    const qint64 growth = peak.bytes();

    FUZZ_CHECK(planned.decodable() == checked.decodable() && planned.full == checked.full,
               QStringLiteral("the check and the decode disagree about the picture"));
    FUZZ_CHECK(!planned.decodable() || planned.cost <= preview::memoryLimit,
               QStringLiteral("a decode reckoned at %1 bytes went ahead").arg(planned.cost));
    FUZZ_CHECK(image.isNull() || planned.decodable(), QStringLiteral("a refused picture was decoded"));
    // Besides the reckoning, room for what the first load of an image plug-in maps.
    FUZZ_CHECK(growth <= (planned.decodable() ? planned.cost : 0) + 16 * 1024 * 1024,
               QStringLiteral("decoding a %1 x %2 picture reckoned at %3 bytes grew the process by %4 bytes")
                       .arg(planned.full.width()).arg(planned.full.height()).arg(planned.cost).arg(growth));
    return 0;
}
