#pragma once

#include "platform/inet.h"

#include <QUrl>

#include <curl/curl.h>

#include <deque>
#include <memory>

/// The value of a header, name matched without regard to case; "" when absent.
QByteArray headerValue(const Inet::Headers &headers, const QByteArray &name);
/// "host:port" of an address, the scheme's port when it names none.
QString hostAndPort(const QUrl &url);

// One address on its way: its easy handle while a request is out, the states it went through,
// the answer as it arrives, and what carries over from one try to the next.
struct Inet::Transfer
{
    enum class Phase { Queued, Running, Answered, Failed };
    // Why a callback ended the try early.
    enum class Stop { None, KeepFailed, Enough, TooLarge, Downgrade, RangeRefused, Incomplete, ProxyAuth };
    struct Event
    {
        enum class Kind { State, Retry };
        Kind kind = Kind::State;
        qint16 state = 0;
        qint32 code = 0;     // state 11: the error's number; a retry: the wait in seconds
        QString info;
    };

    Inet *owner = nullptr;
    TransferId id = 0;
    Request request;
    QUrl url;
    QString hostKey;
    QByteArray proxy;
    std::shared_ptr<void> share;
    CURL *easy = nullptr;
    Phase phase = Phase::Queued;
    bool cancelled = false;
    qint64 notBefore = 0;       // the next try starts no earlier (ms on the engine's clock)
    int tries = 0;              // requests made
    int spentTries = 0;         // tries that failed in passing; a busy host's answers are not
    Failure failure = Failure::None;
    QString hop;                // the address of the request that failed
    bool firstHop = true;

    QList<Event> events;        // in order
    qsizetype reported = 0;     // how many of them have been reported
    bool resolved = false;

    // The try under way.
    Headers headers;            // of the answer being read
    int status = 0;
    bool finalAnswer = false;   // the headers of the answer that is not a redirect are complete
    bool wanted = false;
    bool retryStatus = false;   // the answer says "not now"
    int retryAfter = -1;
    Stop stop = Stop::None;
    QString stopText;
    qint64 received = 0;        // body bytes of the whole answer, a resumed part included
    qint64 total = -1;
    qint64 bytesIn = 0;         // every byte of this try, headers too
    qint64 requestSentAt = -1;
    std::deque<QPair<qint64, qint64>> samples;   // (time, bytesIn) over the last stall window
    char error[CURL_ERROR_SIZE] = {};
    curl_slist *ownHeaders = nullptr;   // this try's request headers, when not the common ones
    bool inFlight = false;              // counted among its host's transfers
    qint64 heardAt = 0;                 // when its bytes last grew, as the pace last looked
    qint64 heardBytes = 0;
    long osErrno = 0;                   // the system's reason for a failed connection

    // What carries over between tries.
    PartFile part;
    PartFile::Failure keepFailure;
    QByteArray validator;       // ETag or Last-Modified of an answer that offered byte ranges
    bool validatorIsEtag = false;
    qint64 resumeFrom = 0;      // the Range this try asks for (0: the whole body)
    Headers firstHeaders;       // of the answer whose body the part file holds from its start
    qint64 firstTotal = -1;     // that answer's length; -1: not declared
    bool freshConnection = false;   // a kept connection brought bytes that were no answer

    qint64 shownReceived = -1;
    qint64 shownTotal = -2;

    void record(qint16 state, qint32 code = 0, const QString &info = QString())
    {
        events.append(Event{Event::Kind::State, state, code, info});
    }
    void markResolved();
    void beginTry();

    // The answer rules, one decision each.
    bool answerBegins();
    bool redirectAllowed();
    bool notNow();
    bool firstAnswer();
    bool resumedAnswer();
    bool sameFile() const;
    bool rangeCompletesPart() const;
    void rememberValidator();
    bool refuse(Stop why, const QString &text);
    /// Every byte of the resource is in the part file: the only way to a kept picture.
    bool complete() const { return total < 0 ? resumeFrom == 0 : received == total; }
    /// Whether a try that failed in passing may go on where the part file ends.
    bool canResume() const { return part.isValid() && part.size() > 0 && !validator.isEmpty() && firstTotal > 0; }

    // libcurl's callbacks.
    static size_t onHeader(char *buffer, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    static curl_socket_t onOpenSocket(void *self, curlsocktype, curl_sockaddr *address);
    static int onRequestReady(void *self, char *, char *, int, int);
};
