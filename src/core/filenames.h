#pragma once

#include <QString>

/// How a picture's address becomes a file name people can read.
namespace filenames {

/// The piece of the address after its last "/", percent-decoded as UTF-8, so that an address
/// copied from a browser and one typed by hand give the same name. A decoded "/" or "\", NUL or
/// other control character, and a "\" as typed, becomes "_"; a piece that decodes to "." or
/// "..", or to bytes that are not UTF-8, keeps its encoded form.
QString readableName(const QString &piece);

} // namespace filenames
