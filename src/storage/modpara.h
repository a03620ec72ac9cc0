#pragma once

#include "platform/programplace.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <utility>

/// The parameter file, kept where ProgramPlace says: two-line blocks of "[KEY]" and a value.
/// Every call opens the file, walks it from the top and closes it again; nothing is cached.
/// File-system failures reach the caller as FileError.
namespace modPara {

/// The value line of the key's block, as stored; "" when there is no block for the key.
/// A byte that is not UTF-8 text comes as U+DC00 + byte, so storing the value again keeps it.
/// Creates an empty parameter file when there is none.
QString readPara(const ProgramPlace &place, const QString &key);

/// readPara of each key, from one walk of the file: a start-up that reads every setting reads
/// a large file once, not once a key. Keys without a block are left out.
QHash<QString, QString> readParas(const ProgramPlace &place, const QStringList &keys);

/// Stores value under key: a new block at the end (value trimmed of spaces), or the first
/// existing block's value replaced as given, through a scratch file renamed over the file.
void writePara(const ProgramPlace &place, const QString &key, const QString &value);

/// writePara of each key (no two the same) and value in turn, in one rewrite of the file: stored all together, or,
/// when a value cannot be stored, none of them.
void writeParas(const ProgramPlace &place, const QList<std::pair<QString, QString>> &values);

/// True when no block of the key is found. Creates an empty parameter file when there is none.
bool paraMissing(const ProgramPlace &place, const QString &key);

void appendPara(const ProgramPlace &place, const QString &key, const QString &value);
void replacePara(const ProgramPlace &place, const QString &key, const QString &value);

/// "[" + key upper-cased and stripped of surrounding spaces + "]"
QString headerLine(const QString &key);

} // namespace modPara
