#pragma once

#include <QColor>
#include <QList>
#include <QObject>
#include <QRect>
#include <QUrl>

class QMenu;
class QSystemTrayIcon;

// The tray icon (StatusNotifierItem or XEmbed, whichever the desktop offers): three looks, a
// click that toggles the popover, and a small menu for desktops that only open menus.
//
// The normal look is a monochrome template, as panels expect: for a StatusNotifierItem host the
// icon is named ("kavo-symbolic", from the hicolor theme, which hosts tint to fit their panel),
// with pixmaps in the desktop's text colour for hosts that do not find it; in an XEmbed tray it
// is drawn in the colour the tray asks for (_NET_SYSTEM_TRAY_COLORS), else in whichever of a
// light and a dark ink stands out more from the panel around the icon.
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
    // Looks again at the panel behind the icon (after it moved, or the tray changed) and redraws
    // the normal look to fit it.
    void followPanel();
    // The colour the normal look is drawn in now.
    QColor ink() const { return m_ink; }
    // The menu in Kavo's light or dark colours, as the panel (an XEmbed tray draws the menu
    // here; a StatusNotifierItem host draws it in the desktop's own).
    void setDark(bool dark);
    QMenu *menu() const { return m_menu; }
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

    bool inXEmbedTray() const;
    QColor panelInk() const;

    QSystemTrayIcon *m_icon;
    QMenu *m_menu;
    QRect m_lastClick;
    Look m_look = Look::normal;
    QColor m_ink;
};
