#include "platform/keyring.h"

#include <QEventLoop>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <functional>

namespace {

const QString service = QStringLiteral("Seriograb proxy");
constexpr int waitMs = 5000;

// Runs the job and waits for its end, or gives up after waitMs; the job deletes itself, and
// what it gives after that is not looked at.
bool finished(QKeychain::Job *job, QString *why, const std::function<void()> &onEnd = {})
{
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    QEventLoop loop;
    bool done = false;
    QKeychain::Error error = QKeychain::OtherError;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job *j) {
        done = true;
        error = j->error();
        *why = j->errorString();
        if (onEnd)
            onEnd();
        loop.quit();
    });
    QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
    job->start();
    loop.exec();
    if (!done)
        *why = QStringLiteral("the keyring did not answer");
    return done && (error == QKeychain::NoError || error == QKeychain::EntryNotFound);
}

} // namespace

namespace keyring {

Answer readProxyPassword(const QString &user)
{
    auto *job = new QKeychain::ReadPasswordJob(service);
    job->setKey(user);
    Answer answer;
    answer.answered = finished(job, &answer.why, [&answer, job] { answer.secret = job->textData(); });
    if (!answer.answered)
        answer.secret.clear();
    return answer;
}

bool storeProxyPassword(const QString &user, const QString &password, QString *why)
{
    QKeychain::Job *job = nullptr;
    if (password.isEmpty()) {
        auto *remove = new QKeychain::DeletePasswordJob(service);
        remove->setKey(user);
        job = remove;
    } else {
        auto *write = new QKeychain::WritePasswordJob(service);
        write->setKey(user);
        write->setTextData(password);
        job = write;
    }
    return finished(job, why);
}

} // namespace keyring
