#pragma once

#include <QObject>
#include <QList>
#include <QRect>
#include <QUrl>

class QMenu;
class QSystemTrayIcon;

// The tray icon (StatusNotifierItem or XEmbed, whichever the desktop offers): three looks, a
// click that toggles the popover, and a small menu for desktops that only open menus.
class Tray : public QObject
{
    Q_OBJECT
public:
    enum class Look { normal, highlighted, success };

    explicit Tray(QObject *parent = nullptr);
    ~Tray() override;

    static bool isAvailable();
    void show();
    void hide();
    bool isVisible() const;
    void setLook(Look look);
    // The tray's own message balloon, for desktops without a notification service.
    void showMessage(const QString &title, const QString &body);
    // Where the icon is on screen: its geometry when the tray gives one, else where the pointer
    // was at the last click on it (the icon is under the pointer then); empty before either.
    QRect iconGeometry() const;

Q_SIGNALS:
    void clicked();
    void settingsRequested();
    void uploadRequested(bool folder);
    // Files released on the icon itself, where the tray lets the drag reach it (XEmbed trays,
    // whose icon is a window of Kavo's own).
    void filesDropped(const QList<QUrl> &urls);
    void dropHovering(bool hovering);
    void quitRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Lets the icon's own window (XEmbed) take drags; a StatusNotifierItem has no window here.
    void acceptDropsOnIcon();

    QSystemTrayIcon *m_icon;
    QMenu *m_menu;
    QRect m_lastClick;
};
