#include "platform/tlstrust.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Loading a store takes milliseconds; a machine that cannot do it in this time is not helped.
constexpr int loadLimitMs = 1000;

QByteArray readAll(const QString &path, QString *why)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *why = f.errorString();
        return QByteArray();
    }
    return f.readAll();
}

} // namespace

TlsTrust::TlsTrust()
{
    // Where this libcurl finds the system's certificates unless told otherwise.
    if (CURL *easy = curl_easy_init()) {
        char *bundle = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &bundle) == CURLE_OK && bundle)
            m_systemBundle = QFile::decodeName(bundle);
        curl_easy_cleanup(easy);
    }
}

TlsTrust::~TlsTrust() = default;

TlsTrust::Source TlsTrust::sourceOf(const QString &path)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile())
        return Source{path, -1, QDateTime()};
    return Source{path, info.size(), info.lastModified()};
}

QString TlsTrust::prepare(void *multi, const QString &extraCaFile, bool mayLoad)
{
    const Source system = sourceOf(m_systemBundle);
    const Source extra = sourceOf(extraCaFile);
    if (!m_prepared || system != m_system || extra != m_extra) {
        QByteArray caFile;
        bool cacheable = false;
        if (extraCaFile.isEmpty()) {
            caFile = system.size >= 0 ? QFile::encodeName(m_systemBundle) : QByteArray();
            cacheable = !caFile.isEmpty();
        } else {
            QString why;
            const QByteArray extraBytes = readAll(extraCaFile, &why);
            if (!why.isEmpty())
                return QStringLiteral("the extra CA certificates \"%1\" cannot be read: %2").arg(extraCaFile, why);
            // Without a system bundle, or where the joined file cannot be written, the extra file
            // alone goes to libcurl, which then keeps the system's folder: the same trust, loaded
            // at each connection.
            caFile = QFile::encodeName(extraCaFile);
            const QByteArray systemBytes = system.size >= 0 ? readAll(m_systemBundle, &why) : QByteArray();
            if (!systemBytes.isEmpty()) {
                const QByteArray joined = systemBytes + '\n' + extraBytes;
                if (!m_dir)
                    m_dir = std::make_unique<QTemporaryDir>();
                // Named after what it holds: libcurl keeps a store by the file's name, so a
                // changed extra file must not reuse the old store.
                const QString path = m_dir->filePath(
                    QStringLiteral("trust-%1.pem")
                        .arg(QString::fromLatin1(QCryptographicHash::hash(joined, QCryptographicHash::Sha256).toHex().left(16))));
                QSaveFile out(path);
                if (m_dir->isValid() && out.open(QIODevice::WriteOnly) && out.write(joined) == joined.size()
                    && out.commit()) {
                    caFile = QFile::encodeName(path);
                    cacheable = true;
                }
            }
        }
        m_system = system;
        m_extra = extra;
        m_caFile = caFile;
        m_cacheable = cacheable;
        m_prepared = true;
        m_loaded = false;
    }
    if (mayLoad && m_cacheable && !m_loaded && multi) {
        load(multi);
        m_loaded = true;
    }
    return QString();
}

int TlsTrust::apply(void *easy) const
{
    if (m_caFile.isEmpty())
        return CURLE_OK;
    CURLcode result = curl_easy_setopt(easy, CURLOPT_CAINFO, m_caFile.constData());
    // libcurl keeps a store only when it comes from a CA file alone; the file holds the system's
    // certificates, which its folder holds too.
    if (result == CURLE_OK && m_cacheable)
        result = curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char *>(nullptr));
    return result;
}

// libcurl builds the store when a TLS connection begins, so one is begun: to a socket of our own
// on 127.0.0.1, which takes the connection and ends it once the client's first bytes (which
// come after the store is built) have arrived.
void TlsTrust::load(void *multi) const
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int peer = -1;
    CURL *easy = nullptr;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && ::listen(listener, 1) == 0
        && ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0
        && (easy = curl_easy_init()) != nullptr) {
        const QByteArray url = "https://127.0.0.1:" + QByteArray::number(ntohs(address.sin_port)) + '/';
        bool ready = curl_easy_setopt(easy, CURLOPT_URL, url.constData()) == CURLE_OK
            && curl_easy_setopt(easy, CURLOPT_PROXY, "") == CURLE_OK
            && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK && apply(easy) == CURLE_OK
            && curl_multi_add_handle(static_cast<CURLM *>(multi), easy) == CURLM_OK;
        QElapsedTimer clock;
        clock.start();
        while (ready && clock.elapsed() < loadLimitMs) {
            int running = 0;
            curl_multi_perform(static_cast<CURLM *>(multi), &running);
            if (peer < 0)
                peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            char byte = 0;
            if ((peer >= 0 && ::recv(peer, &byte, 1, MSG_PEEK) > 0) || running == 0)
                break;
            curl_waitfd wait{peer >= 0 ? peer : listener, CURL_WAIT_POLLIN, 0};
            curl_multi_wait(static_cast<CURLM *>(multi), &wait, 1, 10, nullptr);
        }
        if (ready)
            curl_multi_remove_handle(static_cast<CURLM *>(multi), easy);
    }
    curl_easy_cleanup(easy);
    if (peer >= 0)
        ::close(peer);
    ::close(listener);
}
