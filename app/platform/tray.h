#pragma once

#include <QObject>
#include <QPoint>

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
    void setLook(Look look);
    // The tray's own message balloon, for desktops without a notification service.
    void showMessage(const QString &title, const QString &body);
    // The middle of the icon's bottom edge on screen, or the pointer when the tray gives no
    // geometry.
    QPoint anchor() const;

Q_SIGNALS:
    void clicked();
    void settingsRequested();
    void quitRequested();

private:
    QSystemTrayIcon *m_icon;
    QMenu *m_menu;
};
