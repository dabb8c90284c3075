#include "bulktransfer.h"

#include "proxy.h"

#include <QFuture>
#include <QPromise>
#include <qcoro/qcorofuture.h>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {
// Progress is reported when it moved by a thousandth of the body, or after this long.
constexpr auto reportInterval = std::chrono::milliseconds(100);

void initialiseCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}
}

// libcurl's result codes as the URL-loading codes of the rest of the HTTP layer. `osErrno` is
// the socket's errno when the connection failed.
static int curlTransportCode(int curlCode, long osErrno)
{
    switch (curlCode) {
    case CURLE_OPERATION_TIMEDOUT:
        return TransportCode::timedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return TransportCode::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ENETUNREACH || osErrno == ENETDOWN)
            return TransportCode::notConnectedToInternet;
        // EHOSTUNREACH: the network is there, that one host is not.
        return TransportCode::cannotConnectToHost;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return TransportCode::networkConnectionLost;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_INITFAILED:
        return TransportCode::secureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
        return TransportCode::serverCertificateUntrusted;
    case CURLE_ABORTED_BY_CALLBACK:
        return TransportCode::cancelled;
    default:
        return TransportCode::unknown;
    }
}

// The transfers still running, so that the owner can cancel them and wait for their threads, and
// what they share: open connections, TLS sessions and name look-ups, so that the chunks of one
// Dropbox upload do not each pay for a new connection and handshake (on a real network that is
// several round trips a chunk).
//
// Progress needs the socket a transfer runs on, which curl tells (CURLINFO_ACTIVESOCKET) only
// once the transfer is over, and a reused connection is not opened again. So the sockets curl
// opens and closes are tracked here, and when a transfer starts on a connection (the
// pre-request callback, also for reused ones) its socket is found by its address and port.
struct TransferRegistry {
    std::mutex mutex;
    // Every transfer whose thread has not been joined yet.
    std::set<std::shared_ptr<BulkTransfers::Transfer>> live;

    CURLSH *share = nullptr;
    std::mutex shareLocks[CURL_LOCK_DATA_LAST];
    // The trusted certificates, read once: curl's default CA bundle and folder plus the extra
    // ones. Handing every connection this store spares each one reading the whole system bundle.
    X509_STORE *trust = nullptr;

    std::mutex socketsMutex;
    std::set<curl_socket_t> sockets;

    static curl_socket_t openSocket(void *self, curlsocktype purpose, curl_sockaddr *address)
    {
        const curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (socket != CURL_SOCKET_BAD && purpose == CURLSOCKTYPE_IPCXN) {
            auto *registry = static_cast<TransferRegistry *>(self);
            std::lock_guard lock(registry->socketsMutex);
            registry->sockets.insert(socket);
        }
        return socket;
    }
    static int closeSocket(void *self, curl_socket_t socket)
    {
        auto *registry = static_cast<TransferRegistry *>(self);
        {
            std::lock_guard lock(registry->socketsMutex);
            registry->sockets.erase(socket);
        }
        return ::close(socket);
    }
    // The tracked socket whose local port and peer port are these, or CURL_SOCKET_BAD.
    curl_socket_t socketFor(int localPort, int peerPort)
    {
        std::lock_guard lock(socketsMutex);
        for (const curl_socket_t socket : sockets) {
            sockaddr_storage local{}, peer{};
            socklen_t localSize = sizeof local, peerSize = sizeof peer;
            if (::getsockname(socket, reinterpret_cast<sockaddr *>(&local), &localSize) != 0
                || ::getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &peerSize) != 0)
                continue;
            if (portOf(local) == localPort && portOf(peer) == peerPort)
                return socket;
        }
        return CURL_SOCKET_BAD;
    }
    static int portOf(const sockaddr_storage &address)
    {
        if (address.ss_family == AF_INET)
            return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
        if (address.ss_family == AF_INET6)
            return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
        return -1;
    }

    QByteArray extraCaPem;
    std::once_flag trustLoaded;

    // The store, read on the first connection rather than when the HTTP layer is made: most runs
    // of the program never upload a file.
    X509_STORE *trustStore()
    {
        std::call_once(trustLoaded, [this] {
            if (CURL *probe = curl_easy_init()) {
                char *bundle = nullptr;
                char *folder = nullptr;
                if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &bundle) == CURLE_OK && bundle)
                    X509_STORE_load_file(trust, bundle);
                if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &folder) == CURLE_OK && folder)
                    X509_STORE_load_path(trust, folder);
                curl_easy_cleanup(probe);
            }
            BIO *bio = BIO_new_mem_buf(extraCaPem.constData(), int(extraCaPem.size()));
            while (X509 *certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
                X509_STORE_add_cert(trust, certificate);
                X509_free(certificate);
            }
            BIO_free(bio);
            ERR_clear_error(); // reading ends on "no start line"
        });
        return trust;
    }

    explicit TransferRegistry(QByteArray extraCa)
        : trust(X509_STORE_new())
        , extraCaPem(std::move(extraCa))
    {
        share = curl_share_init();
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &TransferRegistry::lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &TransferRegistry::unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        for (const curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS})
            curl_share_setopt(share, CURLSHOPT_SHARE, data);
    }
    ~TransferRegistry()
    {
        curl_share_cleanup(share);
        X509_STORE_free(trust);
    }
    static void lock(CURL *, curl_lock_data data, curl_lock_access, void *self)
    {
        static_cast<TransferRegistry *>(self)->shareLocks[data].lock();
    }
    static void unlock(CURL *, curl_lock_data data, void *self) { static_cast<TransferRegistry *>(self)->shareLocks[data].unlock(); }
};

struct BulkTransfers::Transfer {
    Request request;
    Http::Progress progress;
    std::chrono::milliseconds timeout{};
    ProxyChoice proxy;
    std::atomic<bool> cancelled{false};
    bool timedOut = false;
    bool answerTooLarge = false;

    // Written by the worker, read after it has finished.
    CURLcode code = CURLE_OK;
    long status = 0;
    long osErrno = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    std::optional<Error> readError;
    char errorText[CURL_ERROR_SIZE] = {};

    // The worker's own.
    CURL *easy = nullptr;
    std::thread thread;
    TransferRegistry *registry = nullptr;
    curl_socket_t socket = CURL_SOCKET_BAD; // the connection's, for its send queue
    qint64 handedOver = 0; // body bytes given to curl
    qint64 reported = -1;
    Clock::time_point lastReport;
    curl_off_t lastCount = -1; // bytes moved either way, to see when nothing moves
    Clock::time_point lastMove;

    void perform(TransferRegistry &registry);
    void report(qint64 taken);
    qint64 unacknowledged() const;

    static size_t readBody(char *buffer, size_t size, size_t count, void *self);
    static int seekBody(void *self, curl_off_t offset, int origin);
    static size_t writeBody(char *data, size_t size, size_t count, void *self);
    static size_t writeHeader(char *data, size_t size, size_t count, void *self);
    static int onConnection(void *self, char *peerAddress, char *localAddress, int peerPort, int localPort);
    static int onProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded);
    static CURLcode useTrust(CURL *, void *sslContext, void *registry);
};

size_t BulkTransfers::Transfer::readBody(char *buffer, size_t size, size_t count, void *self)
{
    auto *t = static_cast<Transfer *>(self);
    if (t->cancelled)
        return CURL_READFUNC_ABORT;
    const qint64 wanted = std::min<qint64>(qint64(size * count), t->request.length - t->handedOver);
    if (wanted <= 0)
        return 0;
    if (t->request.fd < 0) {
        std::memcpy(buffer, t->request.body.constData() + t->handedOver, size_t(wanted));
        t->handedOver += wanted;
        return size_t(wanted);
    }
    ssize_t got;
    do {
        got = ::pread(t->request.fd, buffer, size_t(wanted), off_t(t->request.offset + t->handedOver));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        const QString reason
            = got < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("the file ended before its announced size");
        t->readError = Error{ErrorDomain::file, got < 0 ? errno : 0,
                             QStringLiteral("Couldn't read ") + t->request.fileName + QStringLiteral(": ") + reason};
        return CURL_READFUNC_ABORT;
    }
    t->handedOver += got;
    return size_t(got);
}

int BulkTransfers::Transfer::seekBody(void *self, curl_off_t offset, int origin)
{
    auto *t = static_cast<Transfer *>(self);
    if (origin != SEEK_SET || offset < 0 || offset > t->request.length)
        return CURL_SEEKFUNC_CANTSEEK;
    t->handedOver = offset;
    return CURL_SEEKFUNC_OK;
}

size_t BulkTransfers::Transfer::writeBody(char *data, size_t size, size_t count, void *self)
{
    auto *t = static_cast<Transfer *>(self);
    const auto length = static_cast<qsizetype>(size) * static_cast<qsizetype>(count);
    if (length > Http::maxAnswerBytes - t->body.size()) {
        t->answerTooLarge = true;
        return 0; // libcurl ends the transfer with a write error
    }
    t->body.append(data, length);
    return size * count;
}

size_t BulkTransfers::Transfer::writeHeader(char *data, size_t size, size_t count, void *self)
{
    auto *t = static_cast<Transfer *>(self);
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    if (line.startsWith("HTTP/")) {
        t->headers.clear(); // an interim answer (100 Continue) came before this one
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        t->headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return size * count;
}

int BulkTransfers::Transfer::onConnection(void *self, char *, char *, int peerPort, int localPort)
{
    auto *t = static_cast<Transfer *>(self);
    t->socket = t->registry->socketFor(localPort, peerPort);
    return CURL_PREREQFUNC_OK;
}

qint64 BulkTransfers::Transfer::unacknowledged() const
{
    if (socket == CURL_SOCKET_BAD)
        return 0;
    int queued = 0;
    return ::ioctl(socket, SIOCOUTQ, &queued) == 0 ? queued : 0;
}

void BulkTransfers::Transfer::report(qint64 taken)
{
    if (!progress || taken <= reported)
        return;
    const Clock::time_point now = Clock::now();
    const qint64 step = std::max<qint64>(request.length / 1000, 1);
    if (taken < request.length && taken - reported < step && now - lastReport < reportInterval)
        return;
    reported = taken;
    lastReport = now;
    progress(taken, request.length);
}

int BulkTransfers::Transfer::onProgress(void *self, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded)
{
    auto *t = static_cast<Transfer *>(self);
    if (t->cancelled)
        return 1;
    // The time-out counts from the last byte that moved, as QNetworkRequest's transfer timeout
    // does. curl calls this at least about once a second, also while nothing moves.
    const Clock::time_point now = Clock::now();
    if (downloaded + uploaded != t->lastCount) {
        t->lastCount = downloaded + uploaded;
        t->lastMove = now;
    } else if (now - t->lastMove >= t->timeout) {
        t->timedOut = true;
        return 1;
    }
    if (t->request.length > 0) {
        // What the far end has acknowledged; the total only once the answer says it is all there.
        const qint64 taken = std::clamp<qint64>(qint64(uploaded) - t->unacknowledged(), 0, t->request.length - 1);
        t->report(taken);
    }
    return 0;
}

CURLcode BulkTransfers::Transfer::useTrust(CURL *, void *sslContext, void *registry)
{
    X509_STORE *store = static_cast<TransferRegistry *>(registry)->trustStore();
    X509_STORE_up_ref(store);
    SSL_CTX_set_cert_store(static_cast<SSL_CTX *>(sslContext), store);
    return CURLE_OK;
}

void BulkTransfers::Transfer::perform(TransferRegistry &registry)
{
    easy = curl_easy_init();
    if (!easy) {
        code = CURLE_FAILED_INIT;
        return;
    }
    this->registry = &registry;
    curl_easy_setopt(easy, CURLOPT_SHARE, registry.share);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &TransferRegistry::openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &registry);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &TransferRegistry::closeSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, &registry);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::onConnection);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    const QByteArray url = request.url.toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    // HTTP/1.1: one large body at a time gains nothing from HTTP/2's multiplexing, and its flow
    // control only slows it down.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Kavo/" KAVO_VERSION);
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    if (request.freshConnection) {
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    }

    // The low-speed limit (no byte moving for `timeout`) is checked in onProgress: curl's own
    // averages its speed over several seconds, so it would fire late after a fast start.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(timeout.count()));
    lastMove = Clock::now();

    // The proxy was chosen by the same rules QNetworkAccessManager's requests follow; the
    // environment is not consulted again here.
    const QByteArray proxyUrl = proxy.isDirect() ? QByteArray() : proxy.proxy.toEncoded();
    curl_easy_setopt(easy, CURLOPT_PROXY, proxyUrl.constData());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Transfer::useTrust);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &registry);

    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::readBody);
    curl_easy_setopt(easy, CURLOPT_READDATA, this);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::seekBody);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
    if (request.verb == "PUT") {
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(request.length));
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.length));
        if (request.verb != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb.constData());
    }
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::writeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::writeHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);

    curl_slist *list = nullptr;
    for (const auto &[name, value] : request.headers)
        list = curl_slist_append(list, QByteArray(name + ": " + value).constData());
    // No "Expect: 100-continue": it costs a round trip per request, and an early refusal still
    // stops the body (curl stops sending once a final answer of 300 or more has come).
    list = curl_slist_append(list, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

    code = curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    if (code == CURLE_OK && status >= 200 && status < 300 && progress)
        progress(request.length, request.length);
    curl_slist_free_all(list);
    curl_easy_cleanup(easy);
    easy = nullptr;
}

BulkTransfers::BulkTransfers(std::chrono::milliseconds timeout, QByteArray extraCaPem)
    : m_timeout(timeout)
    , m_registry((initialiseCurl(), std::make_shared<TransferRegistry>(std::move(extraCaPem))))
{
}

BulkTransfers::~BulkTransfers()
{
    // Joined here, not left to finish on their own: a thread still releasing the shared
    // connections and TLS sessions as the process ends would leave them behind.
    cancelAll();
    std::set<std::shared_ptr<Transfer>> live;
    {
        std::lock_guard lock(m_registry->mutex);
        live.swap(m_registry->live);
    }
    for (const std::shared_ptr<Transfer> &transfer : live) {
        if (transfer->thread.joinable())
            transfer->thread.join();
    }
}

void BulkTransfers::cancelAll()
{
    std::lock_guard lock(m_registry->mutex);
    for (const std::shared_ptr<Transfer> &transfer : m_registry->live)
        transfer->cancelled = true;
}

QCoro::Task<Result<HttpResponse>> BulkTransfers::send(Request request, Http::Progress progress)
{
    const Result<ProxyChoice> proxy = ProxyEnvironment::choose(request.url);
    if (!proxy)
        co_return proxy.error();

    auto transfer = std::make_shared<Transfer>();
    transfer->request = std::move(request);
    transfer->progress = std::move(progress);
    transfer->timeout = m_timeout;
    transfer->proxy = proxy.value();

    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> done = promise->future();
    promise->start();
    // The thread holds plain pointers: the transfer lives in the registry until its thread is
    // joined, and the registry outlives every thread (~BulkTransfers joins what is left).
    const std::shared_ptr<TransferRegistry> registry = m_registry;
    {
        std::lock_guard lock(registry->mutex);
        registry->live.insert(transfer);
        transfer->thread = std::thread([t = transfer.get(), r = registry.get(), p = promise.get()] {
            t->perform(*r);
            p->finish();
        });
    }

    co_await done;
    {
        std::lock_guard lock(registry->mutex);
        if (transfer->thread.joinable())
            transfer->thread.join(); // it has finished its work; this waits for its last instructions
        registry->live.erase(transfer);
    }

    if (transfer->readError)
        co_return *transfer->readError;
    if (transfer->answerTooLarge)
        co_return Http::answerTooLarge(Http::maxAnswerBytes);
    if (transfer->timedOut)
        co_return Error{ErrorDomain::transport, TransportCode::timedOut,
                        QStringLiteral("The request timed out: nothing moved for ") + QString::number(double(m_timeout.count()) / 1000.0)
                            + QStringLiteral(" s.")};
    if (transfer->cancelled)
        co_return Error{ErrorDomain::transport, TransportCode::cancelled, QStringLiteral("The request was cancelled.")};
    if (transfer->code != CURLE_OK) {
        const QString text
            = transfer->errorText[0] ? QString::fromUtf8(transfer->errorText) : QString::fromUtf8(curl_easy_strerror(transfer->code));
        const int code = curlTransportCode(transfer->code, transfer->osErrno);
        // Through a proxy the machine's own interfaces say nothing about the way out.
        const int worded = transfer->proxy.isDirect() ? offlineAware(code, transfer->request.url.host()) : code;
        co_return Error{ErrorDomain::transport, worded, withoutUrlQueries(text)};
    }
    HttpResponse response;
    response.status = int(transfer->status);
    response.headers = transfer->headers;
    response.body = transfer->body;
    co_return response;
}
