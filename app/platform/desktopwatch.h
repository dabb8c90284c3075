#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QTimer>

// What happens on the desktop outside Kavo's own windows that the panel follows, on X11:
// - a drag that starts in any application (the XDND source takes the XdndSelection, which
//   XFixes reports) and its end (every pointer button released again);
// - whether a pointer button is held down anywhere;
// - a system tray manager (XEmbed) arriving or going away.
// On other platforms (Wayland: no client sees a drag before it enters one of its own windows)
// it is inert and says so through `isSupported`.
class DesktopWatch : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    explicit DesktopWatch(QObject *parent = nullptr);
    ~DesktopWatch() override;

    bool isSupported() const { return m_connection != nullptr; }
    bool dragging() const { return m_dragging; }
    // Whether any pointer button is down now, in whatever application; false where unknown.
    bool pointerButtonDown() const;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

Q_SIGNALS:
    // A drag that may carry files began in some application; it ends with `dragEnded`.
    void dragStarted();
    void dragEnded();
    // The XEmbed tray manager of the screen came or went.
    void trayManagerChanged();

private:
    void pollPointer();
    void endDrag();
    bool mayCarryFiles() const;

    void *m_connection = nullptr; // xcb_connection_t
    quint32 m_root = 0;
    quint32 m_xdndSelection = 0;
    quint32 m_trayManagerSelection = 0;
    quint32 m_typeList = 0;
    quint32 m_uriList = 0;
    quint8 m_xfixesFirstEvent = 0;
    quint32 m_source = 0; // the drag source's window
    bool m_dragging = false;
    bool m_ignoredDrag = false; // a drag of other things than files, until it ends
    QTimer m_pointerPoll;
};
