#include "webauthsession.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <qcoro/qcorosignal.h>

namespace {
Error cancelled(const QString &why)
{
    return Error{WebAuthError::domain, WebAuthError::cancelledLogin, why};
}

// The tabs' connections whose page is written but may not have left yet.
QList<QPointer<QTcpSocket>> &answering()
{
    static QList<QPointer<QTcpSocket>> sockets;
    return sockets;
}
}

QByteArray WebAuthSession::pageFor(Outcome outcome, const QString &detail)
{
    QString heading;
    QString text;
    switch (outcome) {
    case Outcome::signedIn:
        heading = QStringLiteral("You're signed in.");
        text = QStringLiteral("You can close this tab and return to Kavo.");
        break;
    case Outcome::cancelled:
        heading = QStringLiteral("Sign-in cancelled.");
        text = QStringLiteral("Kavo was not given access. You can close this tab and sign in again from Kavo.");
        break;
    case Outcome::failed:
        heading = QStringLiteral("Sign-in failed.");
        text = (detail.isEmpty() ? QString() : detail + QLatin1Char(' '))
            + QStringLiteral("You can close this tab and try again from Kavo.");
        break;
    }
    return QStringLiteral("<!doctype html><html><head><meta charset=\"utf-8\"><title>Kavo</title></head>"
                          "<body style=\"font-family:sans-serif;text-align:center;margin-top:4em\">"
                          "<h2>%1</h2><p>%2</p></body></html>")
        .arg(heading.toHtmlEscaped(), text.toHtmlEscaped())
        .toUtf8();
}

void WebAuthSession::answerBrowser(Outcome outcome, const QString &detail)
{
    QTcpSocket *socket = m_answerSocket;
    m_answerSocket.clear();
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    const QByteArray page = pageFor(outcome, detail);
    socket->write(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\nContent-Length: "
        + QByteArray::number(page.size()) + "\r\n\r\n" + page);
    // What else the browser sent (the request's headers) is read and dropped: a socket closed
    // with unread input is reset, and the tab would lose the page.
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    socket->readAll();
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        answering().append(socket);
}

void WebAuthSession::deliverAnswers(std::chrono::milliseconds within)
{
    QDeadlineTimer deadline(within);
    QList<QPointer<QTcpSocket>> &sockets = answering();
    const auto pending = [&sockets] {
        sockets.removeIf(
            [](const QPointer<QTcpSocket> &socket) { return !socket || socket->state() == QAbstractSocket::UnconnectedState; });
        return !sockets.isEmpty();
    };
    while (pending() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

WebAuthSession::WebAuthSession(BrowserLauncher launcher, QObject *parent)
    : QObject(parent)
    , m_launcher(std::move(launcher))
{
    connect(&m_deadline, &QTimer::timeout, this,
            [this] { finish(cancelled(QStringLiteral("Sign-in was cancelled: the browser gave no answer in time."))); });
}

WebAuthSession::~WebAuthSession()
{
    // A tab still waiting hears at least that it is over.
    if (m_answerSocket)
        answerBrowser(Outcome::failed);
}

WebAuthSession::BrowserLauncher WebAuthSession::systemBrowser()
{
    return [](const QUrl &url) {
        // $BROWSER may hold several commands separated by ':'; the first one is used, with "%s"
        // standing for the URL when it appears.
        const QString browser = qEnvironmentVariable("BROWSER").split(QLatin1Char(':')).value(0).trimmed();
        if (!browser.isEmpty()) {
            QStringList command = QProcess::splitCommand(browser);
            const QString program = command.takeFirst();
            bool placed = false;
            for (QString &arg : command) {
                if (arg.contains(QLatin1String("%s"))) {
                    arg.replace(QLatin1String("%s"), url.toString(QUrl::FullyEncoded));
                    placed = true;
                }
            }
            if (!placed)
                command.append(url.toString(QUrl::FullyEncoded));
            return QProcess::startDetached(program, command);
        }
        const QString platform = QGuiApplication::platformName();
        const bool hasDesktop = !platform.isEmpty() && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
        if (hasDesktop && QDesktopServices::openUrl(url))
            return true;
        return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
    };
}

Result<QUrl> WebAuthSession::listenOnLoopback(const QString &path)
{
    delete m_server;
    m_server = new QTcpServer(this);
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        const QString reason = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return Error{WebAuthError::domain, WebAuthError::cannotListen, QStringLiteral("Couldn't wait for the browser's answer: ") + reason};
    }
    m_path = path;
    m_redirectUri = QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server->serverPort()).arg(path));
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection())
            handleConnection(socket);
    });
    return m_redirectUri;
}

void WebAuthSession::handleConnection(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // A slow or silent client must not hold the listener: it gets a few seconds to send its line.
    auto *patience = new QTimer(socket);
    patience->setSingleShot(true);
    connect(patience, &QTimer::timeout, socket, &QTcpSocket::abort);
    patience->start(5000);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, patience] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > 8192)
                socket->abort();
            return;
        }
        const QList<QByteArray> requestLine = socket->readLine(8192).trimmed().split(' ');
        const QByteArray method = requestLine.value(0);
        const QUrl target = QUrl::fromEncoded(requestLine.value(1));
        const bool isAnswer = m_waiting && method == "GET" && target.path() == m_path;
        if (!isAnswer) {
            socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        if (!carriesState(target)) {
            // Another program, or a stale tab: the sign-in goes on waiting for its own answer.
            qWarning("kavo: a sign-in answer without this sign-in's state came to the browser listener; it was refused");
            const QByteArray page = "This answer does not belong to the sign-in Kavo is waiting for.\n";
            socket->write("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\nContent-Length: "
                          + QByteArray::number(page.size()) + "\r\n\r\n" + page);
            socket->disconnectFromHost();
            return;
        }
        // The tab waits for the outcome (answerBrowser), up to a minute.
        disconnect(socket, &QTcpSocket::readyRead, socket, nullptr);
        patience->start(60000);
        // The tab's connection outlives the listener (closed now) and this session: it goes
        // once its page is written and it has disconnected.
        socket->setParent(nullptr);
        m_answerSocket = socket;
        QUrl callback = m_redirectUri;
        callback.setQuery(target.query(QUrl::FullyEncoded), QUrl::StrictMode);
        finish(callback);
    });
}

void WebAuthSession::deliver(const QUrl &callback)
{
    if (!m_waiting)
        return;
    if (!carriesState(callback)) {
        qWarning("kavo: ignored a sign-in answer without this sign-in's state");
        return;
    }
    finish(callback);
}

bool WebAuthSession::carriesState(const QUrl &answer) const
{
    if (m_state.isEmpty())
        return true;
    const QUrlQuery query(answer);
    const QStringList given = query.allQueryItemValues(QStringLiteral("state"), QUrl::FullyDecoded);
    return given.size() == 1 && given.first() == m_state;
}

void WebAuthSession::cancel()
{
    if (m_waiting)
        finish(cancelled(QStringLiteral("Sign-in was cancelled.")));
}

void WebAuthSession::finish(Result<QUrl> outcome)
{
    if (!m_waiting)
        return;
    m_waiting = false;
    m_deadline.stop();
    m_outcome = std::move(outcome);
    if (m_server) {
        m_server->close(); // one answer only
    }
    Q_EMIT finished();
}

QCoro::Task<Result<QUrl>> WebAuthSession::run(QUrl authorizationUrl, std::chrono::milliseconds timeout)
{
    QPointer<WebAuthSession> self(this);
    m_outcome.reset();
    m_waiting = true;
    m_deadline.setSingleShot(true);
    m_deadline.start(timeout);
    if (!m_launcher(authorizationUrl)) {
        finish(Error{WebAuthError::domain, WebAuthError::noBrowser,
                     QStringLiteral("Couldn't open a web browser to sign in. Set the BROWSER variable to your browser's "
                                    "command and try again.")});
    }
    if (m_waiting) {
        auto done = qCoro(this, &WebAuthSession::finished);
        co_await done;
    }
    if (!self || !m_outcome)
        co_return cancelled(QStringLiteral("Sign-in was cancelled."));
    co_return Result<QUrl>(*m_outcome);
}
