#pragma once

#include <QString>
#include <optional>

class Inet;

/// The status-line text for a state of the transfer control; nothing for states not reported.
namespace transferstatus {

/// 1: "Resolving Host Name", 2: "Host Resoved", 11: "ErrorCode: " code " : " text (code read
/// first, then the text, and only for 11).
std::optional<QString> stateText(qint16 state, const Inet &inet);

/// The text of state 11 for a given code and error text.
QString errorText(qint32 code, const QString &info);

} // namespace transferstatus
