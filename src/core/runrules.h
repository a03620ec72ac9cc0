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

/// localFolder, "/", headerText and the last piece of the address, joined as they stand.
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

} // namespace runrules
