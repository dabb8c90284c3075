#pragma once

#include "platform/singleinstance.h"
#include "upload/uploadmanager.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSet>
#include <QSize>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>

class AccountStore;
class CloudAuth;
class Preferences;
class DriveCleaner;
class HistoryStore;
class PresetsStore;

// The service's sign-in link, kavo://setup?key=…&email=…&name=… (or vendrel://setup…).
struct SetupLink {
    QString key;
    std::optional<QString> email;
    std::optional<QString> name;

    // The parts of `url` when its scheme and host (compared in lower case) make it a sign-in
    // link; nothing otherwise. The first item of each name counts; a missing key reads as "".
    static std::optional<SetupLink> parse(const QUrl &url);
    // Exactly 64 hexadecimal digits.
    static bool isValidKey(const QString &key);
};

// The application's controller: it owns what the tray icon shows, hands drops to the upload
// queue and opens the popover for them, flashes the success icon after each upload, completes
// the web sign-in from the setup link, and starts the sweeper and the first refreshes at launch.
// The popover and the alerts are QML windows that follow its properties and signals.
class AppController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(IconState iconState READ iconState NOTIFY iconStateChanged)
    Q_PROPERTY(bool popoverVisible READ popoverVisible WRITE setPopoverVisible NOTIFY popoverVisibleChanged)
    Q_PROPERTY(UploadManager *uploadManager READ uploadManager CONSTANT)
    // The popover's top-left corner on screen, worked out each time it opens.
    Q_PROPERTY(QPoint popoverPosition READ popoverPosition NOTIFY popoverPositionChanged)
    // Without a tray the panel is an ordinary window: framed, and it stays when it loses focus.
    Q_PROPERTY(bool panelIsWindow READ panelIsWindow NOTIFY panelIsWindowChanged)
    // The panel is on screen only because a drag is under way in another application: it must
    // not take the focus from that application, and goes again when the drag ends elsewhere.
    Q_PROPERTY(bool panelShownForDrag READ panelShownForDrag NOTIFY panelShownForDragChanged)
    // A browser sign-in started from the settings is waiting for its answer.
    Q_PROPERTY(bool googleSignInPending READ googleSignInPending NOTIFY signInPendingChanged)
    Q_PROPERTY(bool dropboxSignInPending READ dropboxSignInPending NOTIFY signInPendingChanged)
public:
    enum class IconState { normal, highlighted, success };
    Q_ENUM(IconState)

    static constexpr int historyLimit = 15;
    static constexpr std::chrono::milliseconds successFlashDuration{1200};
    static constexpr QSize popoverSize{320, 400};
    // How long a panel shown for a drag waits, once the drag is over, for the drop to arrive.
    static constexpr std::chrono::milliseconds dropGrace{400};

    struct Parts {
        UploadManager *uploads = nullptr;
        AccountStore *account = nullptr;
        HistoryStore *history = nullptr;
        PresetsStore *presets = nullptr;
        DriveCleaner *sweeper = nullptr;
        CloudAuth *google = nullptr;
        CloudAuth *dropbox = nullptr;
        // The service's root, for its web pages (sign-in, sign-up, dashboard).
        QUrl serviceBaseUrl;
        // Opens a web page in the user's browser; false when none could be started.
        std::function<bool(const QUrl &)> openBrowser;
        // How often the history is reloaded while the popover is open.
        std::chrono::milliseconds popoverRefreshInterval = std::chrono::seconds(30);
        // Where the tray icon was last seen on screen; empty when no tray has told.
        std::function<QRect()> trayIconGeometry;
        // The pointer's position on screen.
        std::function<QPoint()> pointer;
        // Whether a pointer button is held down in any application (unknown: false).
        std::function<bool()> pointerButtonDown;
        // The panel's pin.
        Preferences *preferences = nullptr;
        // Asks the user for files (or a folder) and hands the choice, empty when cancelled, to
        // the callback.
        std::function<void(bool folder, std::function<void(const QList<QUrl> &)>)> chooseFiles;
        // The files a file manager copied to the clipboard; empty when it holds none.
        std::function<QList<QUrl>()> copiedFiles;
    };
    explicit AppController(Parts parts, QObject *parent = nullptr);

    // The launch sequence: the sweeper's schedule, a presets refresh and a history refresh.
    void launch();

    IconState iconState() const;
    bool popoverVisible() const { return m_popoverVisible; }
    void setPopoverVisible(bool visible);
    UploadManager *uploadManager() const { return m_parts.uploads; }
    QPoint popoverPosition() const { return m_popoverPosition; }
    // Where a panel of `size` goes for an icon at `icon` on a screen whose free area is `area`:
    // centred under the icon (over it when the icon sits in the lower half, as on a bottom
    // panel), kept inside the area.
    static QPoint placePopover(const QRect &icon, QSize size, const QRect &area);
    bool panelIsWindow() const { return m_panelIsWindow; }
    // Whether there is no tray to hang the panel from; it may change while Kavo runs.
    void setPanelIsWindow(bool isWindow);
    bool panelShownForDrag() const { return m_shownForDrag; }
    // Whether the tray icon is lit: a drag is over the panel or over the icon.
    bool dropHovering() const { return m_hovering || m_trayHovering; }

    // Only local files are taken; anything else refuses the whole drop.
    Q_INVOKABLE bool acceptsDrop(const QList<QUrl> &urls) const;

    // A drop: one upload for the files, then the popover (after the drop has been accepted).
    Q_INVOKABLE void handleDrop(const QList<QUrl> &urls);
    // "Upload files…" / "Upload a folder…": the chosen files are one drop.
    Q_INVOKABLE void chooseFilesToUpload(bool folder = false);
    // Paste into the panel: files copied in a file manager are one drop. False when the
    // clipboard holds no files.
    Q_INVOKABLE bool pasteFiles();
    // The drop target's hover look on the tray icon.
    Q_INVOKABLE void setDropHovering(bool hovering);
    Q_INVOKABLE void togglePopover();
    Q_INVOKABLE void showPopover();
    // The panel lost the focus: it closes, unless it is a window, pinned or a drop target now.
    // A press in another application may be the start of a drag, so while a button is held the
    // panel waits: it closes on the release, or stays for the drag.
    Q_INVOKABLE void panelLostFocus();
    // The user drags the pinned panel by its header.
    Q_INVOKABLE void movePanelBy(int dx, int dy);
    // A drag that may carry files began somewhere on the desktop: the panel shows under the tray
    // icon (without taking focus) for its length, and the icon lights while the pointer is on it.
    void dragStarted();
    // The drag ended: a panel shown only for it goes, unless the files were dropped on it.
    void dragEnded();
    // Opens the service's page at `path` ("login.php", "signup.php", "dashboard/") in the browser.
    Q_INVOKABLE void openServicePage(const QString &path);
    Q_INVOKABLE void refreshPresets();
    Q_INVOKABLE void showSettings() { Q_EMIT settingsRequested(); }
    // Browser sign-ins from the settings. A Google failure leaves it signed out; a Dropbox one is
    // reported through `dropboxSignInEnded`. One of each runs at a time.
    Q_INVOKABLE void signInToGoogle();
    Q_INVOKABLE void signInToDropbox();
    // Ends the pending sign-in ("google" or "dropbox") at once; a cancellation reports no error.
    Q_INVOKABLE void cancelSignIn(const QString &provider);
    bool googleSignInPending() const { return m_pending.contains(m_parts.google); }
    bool dropboxSignInPending() const { return m_pending.contains(m_parts.dropbox); }
    // A kavo://setup link: signs in with a valid key, else says why not. Any web page can open
    // one, so a link for another account while signed in is taken only after the user's yes,
    // unless they started a sign-in from Kavo in the last 15 minutes. The answer tells the
    // `kavo URL` that handed it over what happened (signed in, or asking), or why not.
    SingleInstance::Answer handleSetupLink(const QUrl &url);
    static constexpr std::chrono::minutes ownSignInWindow{15};
    // The user's answer to accountSwitchAsked.
    Q_INVOKABLE void answerAccountSwitch(bool switchAccount);
    void flashSuccessIcon();

Q_SIGNALS:
    void iconStateChanged();
    void popoverVisibleChanged();
    void popoverPositionChanged();
    void panelIsWindowChanged();
    void panelShownForDragChanged();
    // The panel was asked for (a drop, a click, `kavo`): it comes to the front with the focus.
    void panelRaiseRequested();
    // A modal informational alert with one "OK" button.
    void alert(const QString &title, const QString &message);
    // A sign-in link asks to switch to another account: "Switch account" or "Keep current
    // account" (the default), answered through answerAccountSwitch.
    void accountSwitchAsked(const QString &title, const QString &message);
    // The sign-in link has been handled: the account is stored, the refreshes have ended.
    void signInCompleted();
    void settingsRequested();
    // `error` is empty when the Dropbox sign-in succeeded.
    void dropboxSignInEnded(const QString &error);
    void signInPendingChanged();

private:
    QCoro::Task<void> completeSignIn(SetupLink link);
    // What the popover needs when it opens: the presets (only when none are loaded yet), then
    // the history.
    QCoro::Task<void> refreshForPopover();
    QCoro::Task<void> refreshAfterAccountChange();
    QCoro::Task<void> signInTo(CloudAuth *provider, bool reportsFailure);
    // Under the tray icon's last known place; on the pointer's screen, at the pointer, when there
    // is none.
    void placePopoverForOpening();
    void setShownForDrag(bool shown);
    void updateIconHover(bool panel, bool trayIcon);
    // During a drag: the pointer over the tray icon lights it.
    void followPointerOverTrayIcon();
    // After a focus loss with a button down: close on its release unless a drag began.
    void closeOnRelease();

    Parts m_parts;
    bool m_popoverVisible = false;
    bool m_hovering = false;
    bool m_trayHovering = false;
    bool m_panelIsWindow = false;
    bool m_dragging = false;
    bool m_shownForDrag = false;
    bool m_signingIn = false;
    std::optional<SetupLink> m_pendingSwitch;
    QElapsedTimer m_sinceOwnSignIn; // since the user last opened the service's sign-in pages
    QSet<CloudAuth *> m_pending;
    QSet<CloudAuth *> m_cancelled;
    QPoint m_popoverPosition;
    QElapsedTimer m_sinceHidden;
    QTimer m_successFlash;
    QTimer m_popoverRefresh;
    QTimer m_dragPointer;
    QTimer m_releaseWait;
    QTimer m_dragEndGrace;
};
