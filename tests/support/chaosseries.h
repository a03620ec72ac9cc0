#pragma once

#include "fixtures.h"
#include "scriptedserver.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

/// A numbered series in which every picture exists, served by a ScriptedServer in chaos mode:
/// each request for a picture gets one behaviour of behaviours() (a whole answer, a broken one,
/// a server error, a redirect ...), picked from the seed, the number and the requests for that
/// number before it, so one seed gives the same answers again. Paths are prefix() + number + ".jpg".
class ChaosSeries
{
public:
    ChaosSeries(ScriptedServer &server, quint64 seed);

    /// The names of the behaviours, as tries() and counts() give them.
    static QStringList behaviours();
    QString prefix() const { return m_server.url(QStringLiteral("/pic")); }
    /// The number's picture in every version served of it so far: a picture changes when its
    /// ETag does, or silently where it was served without a validator.
    QList<QByteArray> versions(int number) const;
    /// The behaviours the requests for the number got, in turn.
    QStringList tries(int number) const { return m_numbers.value(number).tries; }
    /// Requests that got each behaviour.
    QMap<QString, int> counts() const;

private:
    struct Number
    {
        int version = 0;
        QStringList tries;
    };

    Response answer(const ReceivedRequest &request);
    Response picture(int number, const ReceivedRequest &request, bool typed = true) const;
    QByteArray resource(int number, int version) const;

    ScriptedServer &m_server;
    quint64 m_seed;
    RefusedPort m_refused;
    QHash<int, Number> m_numbers;
};
