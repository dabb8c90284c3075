#include "appcontroller.h"

#include "cloud/clouduploader.h"
#include "links/drivecleaner.h"
#include "platform/desktop.h"
#include "platform/endpoints.h"
#include "service/historystore.h"
#include "service/presetsstore.h"
#include "settings/preferences.h"
#include "shell/accountstore.h"
#include "upload/uploadmanager.h"

#include <QGuiApplication>
#include <QScreen>
#include <QUrlQuery>

#include <algorithm>

#include <cstdio>
#include <utility>

std::optional<SetupLink> SetupLink::parse(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("kavo") && scheme != QLatin1String("vendrel"))
        || url.host().toLower() != QLatin1String("setup"))
        return std::nullopt;
    const QUrlQuery query(url);
    // The first item of a name; queryItemValue gives the first, and "" for none or no value.
    const auto item = [&query](const QString &name) -> std::optional<QString> {
        if (!query.hasQueryItem(name))
            return std::nullopt;
        return query.queryItemValue(name, QUrl::FullyDecoded);
    };
    SetupLink link;
    link.key = item(QStringLiteral("key")).value_or(QString());
    link.email = item(QStringLiteral("email"));
    link.name = item(QStringLiteral("name"));
    return link;
}

bool SetupLink::isValidKey(const QString &key)
{
    if (key.size() != 64)
        return false;
    return std::ranges::all_of(key, [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
    });
}

AppController::AppController(Parts parts, QObject *parent)
    : QObject(parent)
    , m_parts(std::move(parts))
{
    m_successFlash.setSingleShot(true);
    m_successFlash.setInterval(successFlashDuration);
    connect(&m_successFlash, &QTimer::timeout, this, &AppController::iconStateChanged);
    m_popoverRefresh.setInterval(m_parts.popoverRefreshInterval);
    connect(&m_popoverRefresh, &QTimer::timeout, this, [this] { m_parts.history->refresh(historyLimit); });
    const std::chrono::milliseconds pointerPoll{40};
    m_dragPointer.setInterval(pointerPoll);
    connect(&m_dragPointer, &QTimer::timeout, this, &AppController::followPointerOverTrayIcon);
    m_releaseWait.setInterval(pointerPoll);
    connect(&m_releaseWait, &QTimer::timeout, this, &AppController::closeOnRelease);
    m_dragEndGrace.setSingleShot(true);
    m_dragEndGrace.setInterval(dropGrace);
    connect(&m_dragEndGrace, &QTimer::timeout, this, [this] {
        if (m_shownForDrag && !m_hovering && !m_dragging)
            setPopoverVisible(false);
    });
}

void AppController::launch()
{
    if (m_parts.sweeper)
        m_parts.sweeper->start();
    // Both lists need the API key, which the keychain may still be looking up.
    const auto refreshLists = [this] {
        m_parts.presets->refresh();
        m_parts.history->refresh(historyLimit);
    };
    if (m_parts.account)
        QCoro::connect(m_parts.account->loaded(), this, refreshLists);
    else
        refreshLists();
    connect(m_parts.uploads, &UploadManager::jobFinished, this, [this](const QUuid &, bool succeeded) {
        if (succeeded)
            flashSuccessIcon();
    });
    if (m_parts.account) {
        connect(m_parts.account, &AccountStore::signedInOrOut, this, [this] {
            if (!m_signingIn)
                refreshAfterAccountChange();
        });
    }
}

void AppController::openServicePage(const QString &path)
{
    const QUrl page = Endpoints::join(m_parts.serviceBaseUrl, path);
    if (path.startsWith(QLatin1String("login.php")) || path.startsWith(QLatin1String("signup.php")))
        m_sinceOwnSignIn.start();
    if (page.isValid() && m_parts.openBrowser)
        m_parts.openBrowser(page);
}

void AppController::refreshPresets()
{
    m_parts.presets->refresh();
}

void AppController::signInToGoogle()
{
    if (m_parts.google)
        signInTo(m_parts.google, false);
}

void AppController::signInToDropbox()
{
    if (m_parts.dropbox)
        signInTo(m_parts.dropbox, true);
}

void AppController::cancelSignIn(const QString &provider)
{
    CloudAuth *auth = storageProviderFromRaw(provider) == StorageProvider::dropbox ? m_parts.dropbox : m_parts.google;
    if (!auth || !m_pending.contains(auth))
        return;
    m_cancelled.insert(auth);
    auth->cancelSignIn();
}

QCoro::Task<void> AppController::signInTo(CloudAuth *provider, bool reportsFailure)
{
    if (m_pending.contains(provider))
        co_return;
    QPointer<AppController> self(this);
    m_pending.insert(provider);
    m_cancelled.remove(provider);
    Q_EMIT signInPendingChanged();
    const Result<void> signedIn = co_await provider->signIn();
    if (!self)
        co_return;
    m_pending.remove(provider);
    const bool cancelledByUser = m_cancelled.remove(provider);
    Q_EMIT signInPendingChanged();
    if (reportsFailure)
        Q_EMIT dropboxSignInEnded(signedIn || cancelledByUser ? QString() : signedIn.error().description);
}

QCoro::Task<void> AppController::refreshForPopover()
{
    QPointer<AppController> self(this);
    if (m_parts.presets->presets().isEmpty()) {
        co_await m_parts.presets->refresh();
        if (!self)
            co_return;
    }
    co_await m_parts.history->refresh(historyLimit);
}

QCoro::Task<void> AppController::refreshAfterAccountChange()
{
    QPointer<AppController> self(this);
    co_await m_parts.presets->refresh();
    if (!self)
        co_return;
    co_await m_parts.history->refresh(historyLimit);
}

AppController::IconState AppController::iconState() const
{
    if (m_successFlash.isActive())
        return IconState::success;
    return dropHovering() ? IconState::highlighted : IconState::normal;
}

void AppController::setPanelIsWindow(bool isWindow)
{
    if (m_panelIsWindow == isWindow)
        return;
    m_panelIsWindow = isWindow;
    Q_EMIT panelIsWindowChanged();
}

void AppController::setShownForDrag(bool shown)
{
    if (m_shownForDrag == shown)
        return;
    m_shownForDrag = shown;
    Q_EMIT panelShownForDragChanged();
}

void AppController::setPopoverVisible(bool visible)
{
    if (m_popoverVisible == visible)
        return;
    if (visible && (!m_panelIsWindow || m_popoverPosition.isNull()))
        placePopoverForOpening();
    m_popoverVisible = visible;
    m_releaseWait.stop();
    if (!visible) {
        m_sinceHidden.start();
        m_popoverRefresh.stop();
        setShownForDrag(false);
    }
    Q_EMIT popoverVisibleChanged();
    if (visible) {
        // The panel's background is the opaque fill under the wash, the fallback of the glass one.
        std::printf("[Kavo] background: VisualEffectView fallback\n");
        std::fflush(stdout);
        refreshForPopover();
        m_popoverRefresh.start();
    }
}

QPoint AppController::placePopover(const QRect &icon, QSize size, const QRect &area)
{
    const int gap = 4;
    const bool below = icon.y() + icon.height() / 2 < area.y() + area.height() / 2;
    int x = icon.x() + icon.width() / 2 - size.width() / 2;
    int y = below ? icon.bottom() + 1 + gap : icon.top() - gap - size.height();
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - size.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
    return {x, y};
}

void AppController::placePopoverForOpening()
{
    if (m_panelIsWindow) {
        // A window of its own starts in the middle of the screen; the user moves it from there.
        const QScreen *screen = QGuiApplication::primaryScreen();
        const QPoint centre = screen ? screen->availableGeometry().center() : QPoint(popoverSize.width(), popoverSize.height());
        m_popoverPosition = centre - QPoint(popoverSize.width() / 2, popoverSize.height() / 2);
        Q_EMIT popoverPositionChanged();
        return;
    }
    QRect icon = m_parts.trayIconGeometry ? m_parts.trayIconGeometry() : QRect();
    const QPoint pointer = m_parts.pointer ? m_parts.pointer() : QPoint();
    const QScreen *screen = QGuiApplication::screenAt(icon.isEmpty() ? pointer : icon.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), popoverSize);
    if (icon.isEmpty()) {
        // A tray that does not say where its icon is (StatusNotifierItem hosts) and no click on
        // it yet: at the pointer, unless a drag is under the pointer; that panel goes to the top
        // right corner, where trays mostly are, out of the way of what the drag passes over.
        icon = m_shownForDrag ? QRect(area.right(), area.top(), 1, 1) : QRect(pointer, QSize(1, 1));
    }
    const QPoint position = placePopover(icon, popoverSize, area);
    if (position == m_popoverPosition)
        return;
    m_popoverPosition = position;
    Q_EMIT popoverPositionChanged();
}

bool AppController::acceptsDrop(const QList<QUrl> &urls) const
{
    return !localFilesOnly(urls).isEmpty();
}

void AppController::handleDrop(const QList<QUrl> &urls)
{
    const QList<QUrl> files = reachableFiles(urls);
    if (files.isEmpty())
        return;
    m_parts.uploads->enqueue(files);
    // Dropped on the panel shown for the drag: it stays, as the panel the drop opens.
    m_dragEndGrace.stop();
    setShownForDrag(false);
    QPointer<AppController> self(this);
    QTimer::singleShot(0, this, [self] {
        if (self)
            self->showPopover();
    });
}

void AppController::chooseFilesToUpload(bool folder)
{
    if (!m_parts.chooseFiles)
        return;
    QPointer<AppController> self(this);
    m_parts.chooseFiles(folder, [self](const QList<QUrl> &chosen) {
        if (self && !chosen.isEmpty())
            self->handleDrop(chosen);
    });
}

bool AppController::pasteFiles()
{
    const QList<QUrl> files = m_parts.copiedFiles ? m_parts.copiedFiles() : QList<QUrl>();
    if (!acceptsDrop(files))
        return false;
    handleDrop(files);
    return true;
}

void AppController::setDropHovering(bool hovering)
{
    updateIconHover(hovering, m_trayHovering);
    // Files that leave the panel while the drag goes on elsewhere: the drag's end decides.
    if (!hovering && m_shownForDrag && !m_dragging && !m_dragEndGrace.isActive())
        m_dragEndGrace.start();
}

void AppController::updateIconHover(bool panel, bool trayIcon)
{
    const IconState before = iconState();
    m_hovering = panel;
    m_trayHovering = trayIcon;
    if (iconState() != before)
        Q_EMIT iconStateChanged();
}

void AppController::panelLostFocus()
{
    if (!m_popoverVisible || m_panelIsWindow || m_dragging || m_hovering || (m_parts.preferences && m_parts.preferences->keepPanelOpen()))
        return;
    if (m_parts.pointerButtonDown && m_parts.pointerButtonDown()) {
        m_releaseWait.start();
        return;
    }
    setPopoverVisible(false);
}

void AppController::movePanelBy(int dx, int dy)
{
    if (dx == 0 && dy == 0)
        return;
    m_popoverPosition += QPoint(dx, dy);
    Q_EMIT popoverPositionChanged();
}

void AppController::closeOnRelease()
{
    if (m_parts.pointerButtonDown && m_parts.pointerButtonDown())
        return;
    m_releaseWait.stop();
    if (!m_dragging)
        setPopoverVisible(false);
}

void AppController::dragStarted()
{
    m_dragging = true;
    m_dragEndGrace.stop();
    if (m_panelIsWindow)
        return;
    // A panel the user had open stays as it is (and open after the drag).
    m_releaseWait.stop();
    if (!m_popoverVisible) {
        setShownForDrag(true);
        setPopoverVisible(true);
    }
    m_dragPointer.start();
}

void AppController::dragEnded()
{
    m_dragging = false;
    m_dragPointer.stop();
    updateIconHover(m_hovering, false);
    // The drop message reaches the panel just after the buttons are up: give it a moment.
    if (m_shownForDrag)
        m_dragEndGrace.start();
}

void AppController::followPointerOverTrayIcon()
{
    const QRect icon = m_parts.trayIconGeometry ? m_parts.trayIconGeometry() : QRect();
    const bool over = !icon.isEmpty() && m_parts.pointer && icon.contains(m_parts.pointer());
    updateIconHover(m_hovering, over);
}

void AppController::togglePopover()
{
    // A click on the tray icon first takes the focus from the open popover, which closes it;
    // the click itself must then not open it again.
    if (!m_popoverVisible && m_sinceHidden.isValid() && m_sinceHidden.elapsed() < 300)
        return;
    setPopoverVisible(!m_popoverVisible);
}

void AppController::showPopover()
{
    setPopoverVisible(true);
    // Also when it was open already: a minimised or buried window comes to the front.
    Q_EMIT panelRaiseRequested();
}

void AppController::flashSuccessIcon()
{
    // A later success restarts the timer: the check mark stays until 1.2 s after the last one.
    const bool wasShowing = m_successFlash.isActive();
    m_successFlash.start();
    if (!wasShowing)
        Q_EMIT iconStateChanged();
}

SingleInstance::Answer AppController::handleSetupLink(const QUrl &url)
{
    const std::optional<SetupLink> link = SetupLink::parse(url);
    if (!link)
        return {};
    if (!SetupLink::isValidKey(link->key)) {
        const QString why = QStringLiteral("The signup link didn't contain a valid API key.");
        Q_EMIT alert(QStringLiteral("Couldn't sign in"), why);
        return {why, {}};
    }
    AccountStore *account = m_parts.account;
    const bool anotherAccount = account->isSignedIn() && account->apiKey().compare(link->key, Qt::CaseInsensitive) != 0;
    const bool startedHere = m_sinceOwnSignIn.isValid()
        && m_sinceOwnSignIn.elapsed() < std::chrono::duration_cast<std::chrono::milliseconds>(ownSignInWindow).count();
    if (anotherAccount && !startedHere) {
        qWarning("kavo: a sign-in link for another account came while signed in; asking before switching");
        m_pendingSwitch = *link;
        const QString current = account->email() ? QStringLiteral(" (") + *account->email() + QLatin1Char(')') : QString();
        const QString other = link->email ? QStringLiteral(" (") + *link->email + QLatin1Char(')') : QString();
        Q_EMIT accountSwitchAsked(QStringLiteral("Switch to another account?"),
                                  QStringLiteral("A web page asks to connect Kavo to another Kavo account%1. If you switch, your new "
                                                 "uploads will be listed in that account instead of yours%2. Switch only if you "
                                                 "just signed in to it yourself.")
                                      .arg(other, current));
        return {{},
                QStringLiteral("This link is for another Kavo account%1. Kavo asks in its window whether to switch; "
                               "nothing changes until you answer there.")
                    .arg(other)};
    }
    if (anotherAccount)
        qWarning("kavo: switched to the account of a sign-in link, from a sign-in started in Kavo");
    else
        qWarning("kavo: signed in with a sign-in link");
    completeSignIn(*link);
    return {{}, link->email ? QStringLiteral("Kavo is signed in as %1.").arg(*link->email) : QStringLiteral("Kavo is signed in.")};
}

void AppController::answerAccountSwitch(bool switchAccount)
{
    const std::optional<SetupLink> link = std::exchange(m_pendingSwitch, std::nullopt);
    if (!link)
        return;
    if (!switchAccount) {
        qWarning("kavo: kept the current account; the sign-in link for another account was not used");
        return;
    }
    qWarning("kavo: switched to the account of a sign-in link, as the user said");
    completeSignIn(*link);
}

QCoro::Task<void> AppController::completeSignIn(SetupLink link)
{
    QPointer<AppController> self(this);
    // The account change this posts would start the same reloads; this sign-in runs them itself,
    // since the alert waits for them.
    m_signingIn = true;
    m_parts.account->signIn(link.key, link.email, link.name);
    m_signingIn = false;
    co_await refreshAfterAccountChange();
    if (!self)
        co_return;
    Q_EMIT alert(QStringLiteral("Signed in"),
                 link.email ? QStringLiteral("You're signed in as ") + *link.email + QStringLiteral(". Kavo is ready to upload.")
                            : QStringLiteral("Kavo is now signed in and ready to upload."));
    Q_EMIT signInCompleted();
}
