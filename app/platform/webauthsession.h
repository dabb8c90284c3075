#pragma once

#include "error.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class QTcpServer;
class QTcpSocket;

namespace WebAuthError {
inline const QString domain = QStringLiteral("webauth");
enum Code : int { cancelledLogin = 1, cannotListen, noBrowser };
}

// One browser sign-in: opens the authorization URL in the user's browser and waits for the
// redirect that carries the answer. The redirect arrives either on a one-shot listener on
// 127.0.0.1 (listenOnLoopback) or from elsewhere through deliver(), for custom-scheme links
// handed over by the single-instance channel. The wait ends with a cancellation error after
// cancel() or after ten minutes.
class WebAuthSession : public QObject
{
    Q_OBJECT
public:
    // Opens a URL in the browser; false when no browser could be started. The default honours
    // $BROWSER, then the desktop, then xdg-open.
    using BrowserLauncher = std::function<bool(const QUrl &)>;
    static constexpr std::chrono::minutes defaultTimeout{10};

    explicit WebAuthSession(BrowserLauncher launcher = systemBrowser(), QObject *parent = nullptr);
    ~WebAuthSession() override;

    static BrowserLauncher systemBrowser();

    // Starts the listener and gives the redirect URI to put in the authorization URL:
    // http://127.0.0.1:<port><path>. Only a GET of exactly that path is taken as the answer.
    Result<QUrl> listenOnLoopback(const QString &path);

    // The `state` every answer must carry (query item "state"): an answer without it, or with
    // another, is not this sign-in's. On the loopback it gets a 400 page and the wait goes on;
    // through deliver() it is ignored and logged.
    void expectState(const QString &state) { m_state = state; }

    // Opens the browser and waits for the redirect URL (with its query).
    QCoro::Task<Result<QUrl>> run(QUrl authorizationUrl, std::chrono::milliseconds timeout = defaultTimeout);

    // Hands in a redirect received elsewhere (a custom-scheme link).
    void deliver(const QUrl &callback);

    // What the browser tab that brought the loopback answer is told, once the sign-in knows: the
    // tab waits for it (up to a minute) instead of saying "signed in" before anything was checked.
    enum class Outcome { signedIn, cancelled, failed };
    void answerBrowser(Outcome outcome, const QString &detail = {});
    // Lets the pages handed to browser tabs reach them, for at most `within`: a program about to
    // exit calls it, since a page still in its socket's buffer would die with the process and
    // the tab would show a broken connection instead.
    static void deliverAnswers(std::chrono::milliseconds within = std::chrono::seconds(3));
    // The page for an outcome; `detail` is shown as text.
    static QByteArray pageFor(Outcome outcome, const QString &detail);
    void cancel();

Q_SIGNALS:
    void finished();

private:
    void handleConnection(QTcpSocket *socket);
    QPointer<QTcpSocket> m_answerSocket;
    void finish(Result<QUrl> outcome);
    bool carriesState(const QUrl &answer) const;

    BrowserLauncher m_launcher;
    QTcpServer *m_server = nullptr;
    QString m_path;
    QUrl m_redirectUri;
    QString m_state;
    bool m_waiting = false;
    QTimer m_deadline;
    std::optional<Result<QUrl>> m_outcome;
};
