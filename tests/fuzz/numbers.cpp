// The number reading every field and stored value goes through: never a crash, always a value
// in range, and the same result as a plain reading done another way (strtod on the leading
// part, rounding by hand).
#include "core/numbers.h"
#include "fuzzcheck.h"

#include <QString>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// strtod reads the longest decimal number at the front, but it also takes what the program
// does not: leading white space, "inf", "nan" and hexadecimal. Only hand it texts that start
// like a decimal number and have no "x" in them.
std::optional<double> referenceValue(const std::string &ascii)
{
    std::size_t i = 0;
    if (i < ascii.size() && (ascii[i] == '+' || ascii[i] == '-'))
        ++i;
    if (i >= ascii.size() || !(digit(ascii[i]) || ascii[i] == '.'))
        return std::nullopt;
    std::string s = ascii;
    for (char &c : s) {
        if (c == 'x' || c == 'X' || c == 'p' || c == 'P')
            c = '#';
    }
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str())
        return std::nullopt;
    return v;
}

// Every character outside ASCII ends a number, as does a NUL.
std::string asciiOf(const QString &text)
{
    std::string out;
    for (QChar c : text)
        out += (c.unicode() > 0 && c.unicode() < 0x80) ? char(c.unicode()) : '\x01';
    return out;
}

std::optional<qint16> reference16(std::optional<double> value)
{
    const double v = value.value_or(0.0);
    if (!std::isfinite(v))
        return std::nullopt;
    double whole = std::floor(v);
    const double fraction = v - whole; // exact for doubles
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    if (whole < -32768.0 || whole > 32767.0)
        return std::nullopt;
    return qint16(whole);
}

QString text16(std::optional<qint16> v)
{
    return v ? QString::number(*v) : QStringLiteral("none");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    // The first byte picks how the rest becomes text: UTF-8 as typed, or Latin-1 so that every
    // byte value is a character of its own.
    const bool latin1 = input.byte() & 1;
    const QByteArray bytes = input.rest();
    const QString text = latin1 ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);

    QString cleaned;
    for (QChar c : text) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n'))
            cleaned += c;
    }

    const int mode = std::fegetround();
    const std::optional<qint16> leading = numbers::leadingNumber16(text);
    const std::optional<qint16> expected = reference16(referenceValue(asciiOf(cleaned)));
    FUZZ_CHECK(leading == expected,
               QStringLiteral("leadingNumber16(%1) = %2, a plain reading gives %3")
                       .arg(shown(text), text16(leading), text16(expected)));

    const double value = numbers::leadingNumberValue(text);
    FUZZ_CHECK(!std::isnan(value), QStringLiteral("leadingNumberValue(%1) is NaN").arg(shown(text)));

    // The strict reading accepts only a whole text that is one number, blanks around it allowed.
    const QString trimmed = text.trimmed();
    std::optional<qint16> strictExpected;
    {
        const std::string ascii = asciiOf(trimmed);
        std::optional<double> v = referenceValue(ascii);
        if (v && !trimmed.isEmpty()) {
            std::string s = ascii;
            char *end = nullptr;
            std::strtod(s.c_str(), &end);
            const bool whole = std::size_t(end - s.c_str()) == s.size()
                    && s.find_first_of("xXpP") == std::string::npos;
            strictExpected = whole ? reference16(v) : std::nullopt;
        }
    }
    const std::optional<qint16> strict = numbers::strictNumber16(text);
    FUZZ_CHECK(strict == strictExpected,
               QStringLiteral("strictNumber16(%1) = %2, a plain reading gives %3")
                       .arg(shown(text), text16(strict), text16(strictExpected)));

    FUZZ_CHECK(std::fegetround() == mode, QStringLiteral("the rounding mode was left changed"));
    return 0;
}
