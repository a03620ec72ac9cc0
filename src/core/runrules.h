#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

/// The address, number and file-name rules of a download run.
namespace runrules {

/// Joins prefix, number and suffix, each stripped of leading and trailing space characters.
QString composeURL(const QString &prefix, const QString &number, const QString &suffix);

/// The last "/" piece of the address: the text after the last "/" (the whole address without one).
QString lastPiece(const QString &url);

/// localFolder, "/", headerText and the last piece of the address made readable
/// (filenames::readableName).
QString localFileName(const QString &url, const QString &localFolder, const QString &headerText);

/// The value formatted with at least `width` digits, left-padded with "0", never cut; a negative
/// value gets its "-" before the digits.
QString formatNumber(qint32 value, int width);

/// fileNumber + 1 formatted with the run's width; empty when fileNumber + 1 leaves 16 bits.
std::optional<QString> nextNumber(qint16 &fileNumber, int width);

/// True for exactly "image/gif" or "image/jpeg", nothing before or after, case counting.
bool isImageType(const QString &contentType);
/// True for exactly "image/png" or "image/webp": kept only when the settings say so.
bool isPngOrWebpType(const QString &contentType);

/// A whole address cut into the three address fields.
struct AddressParts
{
    QString prefix;
    QString number;   // empty when no number was found: the address is all prefix
    QString suffix;
};

/// Splits a picture's whole address (blanks around it dropped) at the last run of digits in the
/// last piece of its path; the query and fragment stay in the suffix. When that piece has no
/// digits, at the last run of digits in the query. Digits of the host, the port (also of an
/// address without a scheme), the fragment and of "%XX" escapes are never the number. Spaces
/// are given as "%20".
AddressParts splitAddress(const QString &address);

/// True when the last piece of the address's path ends in digits and a picture extension
/// (jpg, jpeg, gif, png or webp, any case): a whole picture's address, not a prefix.
bool isWholePictureAddress(const QString &address);

/// True for an http or https address naming a host.
bool isWebAddress(const QString &text);

} // namespace runrules
