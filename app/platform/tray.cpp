#include "tray.h"

#include "platform/desktop.h"
#include "platform/x11.h"

#include <QApplication>
#include <QCursor>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

// The icons are drawn rather than shipped: a filled circle with the arrow (or the check mark)
// cut out of it, at the sizes panels ask for. The normal look is one colour, `ink`.
QIcon drawn(Tray::Look look, const QColor &ink)
{
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF circle(size * 0.06, size * 0.06, size * 0.88, size * 0.88);
        QColor fill = ink;
        QColor mark(Qt::transparent);
        if (look == Tray::Look::highlighted) {
            fill = QColor::fromRgbF(0.18f, 0.835f, 1.0f);
            mark = Qt::black;
        } else if (look == Tray::Look::success) {
            fill = QColor(0x34, 0xC7, 0x59);
            mark = Qt::white;
        }
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawEllipse(circle);
        QPainterPath path;
        const qreal s = size;
        if (look == Tray::Look::success) {
            path.moveTo(s * 0.30, s * 0.52);
            path.lineTo(s * 0.44, s * 0.66);
            path.lineTo(s * 0.71, s * 0.37);
        } else {
            path.moveTo(s * 0.5, s * 0.72);
            path.lineTo(s * 0.5, s * 0.30);
            path.moveTo(s * 0.32, s * 0.47);
            path.lineTo(s * 0.5, s * 0.29);
            path.lineTo(s * 0.68, s * 0.47);
        }
        QPen pen(mark, qMax(1.5, s * 0.11), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        if (mark == QColor(Qt::transparent)) {
            pen.setColor(Qt::black);
            painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        }
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(path);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// WCAG's relative luminance and contrast ratio.
qreal luminance(const QColor &c)
{
    const auto channel = [](qreal v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

qreal contrast(const QColor &a, const QColor &b)
{
    const qreal la = luminance(a), lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

const QColor lightInk(0xF2, 0xF2, 0xF2);
const QColor darkInk(0x1E, 0x1E, 0x1E);

// The foreground the XEmbed tray manager asks its icons to use, where it says
// (_NET_SYSTEM_TRAY_COLORS on its window: normal, error, warning and success, as 16-bit RGB).
std::optional<QColor> declaredTrayColor()
{
    xcb_connection_t *connection = X11::connection();
    if (!connection)
        return std::nullopt;
    const xcb_atom_t selection = X11::atom(connection, "_NET_SYSTEM_TRAY_S0");
    const xcb_atom_t colors = X11::atom(connection, "_NET_SYSTEM_TRAY_COLORS");
    if (selection == XCB_ATOM_NONE || colors == XCB_ATOM_NONE)
        return std::nullopt;
    xcb_get_selection_owner_reply_t *owner
        = xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    const xcb_window_t manager = owner ? owner->owner : xcb_window_t(XCB_WINDOW_NONE);
    std::free(owner);
    if (manager == XCB_WINDOW_NONE)
        return std::nullopt;
    xcb_get_property_reply_t *property
        = xcb_get_property_reply(connection, xcb_get_property(connection, 0, manager, colors, XCB_ATOM_CARDINAL, 0, 12), nullptr);
    std::optional<QColor> color;
    if (property && property->format == 32 && xcb_get_property_value_length(property) >= 12) {
        const auto *values = static_cast<const uint32_t *>(xcb_get_property_value(property));
        color = QColor::fromRgb(int(values[0] >> 8) & 0xFF, int(values[1] >> 8) & 0xFF, int(values[2] >> 8) & 0xFF);
    }
    std::free(property);
    return color;
}

// The panel behind `icon` on screen: the average of the icon window's corners, which the round
// icon leaves uncovered (around the window could be off the panel, or off the screen).
std::optional<QColor> colourBehind(const QRect &icon)
{
    QScreen *screen = QGuiApplication::screenAt(icon.center());
    if (!screen || icon.width() < 8 || icon.height() < 8)
        return std::nullopt;
    const QImage shot
        = screen->grabWindow(0, icon.x() - screen->geometry().x(), icon.y() - screen->geometry().y(), icon.width(), icon.height())
              .toImage();
    if (shot.width() < 8 || shot.height() < 8)
        return std::nullopt;
    qreal r = 0, g = 0, b = 0;
    int counted = 0;
    for (const QPoint corner :
         {QPoint(0, 0), QPoint(shot.width() - 2, 0), QPoint(0, shot.height() - 2), QPoint(shot.width() - 2, shot.height() - 2)})
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) {
                const QColor c = shot.pixelColor(corner + QPoint(dx, dy));
                r += c.redF();
                g += c.greenF();
                b += c.blueF();
                ++counted;
            }
    return QColor::fromRgbF(float(r / counted), float(g / counted), float(b / counted));
}

} // namespace

Tray::Tray(QObject *parent)
    : QObject(parent)
    , m_icon(new QSystemTrayIcon(this))
    , m_menu(new QMenu)
{
    m_icon->setToolTip(QStringLiteral("Kavo"));
    setLook(Look::normal);
    m_menu->addAction(QStringLiteral("Open Kavo"), this, &Tray::clicked);
    m_menu->addAction(QStringLiteral("Upload files…"), this, [this] { Q_EMIT uploadRequested(false); });
    m_menu->addAction(QStringLiteral("Upload a folder…"), this, [this] { Q_EMIT uploadRequested(true); });
    m_menu->addAction(QStringLiteral("Preferences…"), this, &Tray::settingsRequested);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("Quit"), this, &Tray::quitRequested); // as the panel says
    m_icon->setContextMenu(m_menu);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            m_lastClick = QRect(QCursor::pos(), QSize(1, 1));
            Q_EMIT clicked();
        }
    });
}

Tray::~Tray()
{
    delete m_menu;
}

bool Tray::isAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void Tray::show()
{
    m_icon->show();
    acceptDropsOnIcon();
    // The tray places the icon a moment after it is shown; then the panel around it can be seen.
    QTimer::singleShot(800, this, &Tray::followPanel);
}

bool Tray::inXEmbedTray() const
{
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    return std::ranges::any_of(windows, [](QWidget *w) { return qstrcmp(w->metaObject()->className(), "QSystemTrayIconSys") == 0; });
}

QColor Tray::panelInk() const
{
    if (inXEmbedTray()) {
        if (const std::optional<QColor> declared = declaredTrayColor())
            return *declared;
        if (const std::optional<QColor> panel = colourBehind(iconGeometry()))
            return contrast(lightInk, *panel) >= contrast(darkInk, *panel) ? lightInk : darkInk;
    }
    // A StatusNotifierItem host tints the named icon itself; the pixmaps beside it (and an
    // XEmbed icon not placed yet) take the desktop's text colour, which its panels follow.
    return QGuiApplication::palette().color(QPalette::WindowText);
}

void Tray::followPanel()
{
    // The normal look reads the panel each time it is set; the other looks do not follow it.
    if (m_look == Look::normal)
        setLook(Look::normal);
}

void Tray::acceptDropsOnIcon()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") != 0 || widget->acceptDrops())
            continue;
        widget->setAcceptDrops(true);
        widget->installEventFilter(this);
    }
}

bool Tray::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::DragLeave) {
        Q_EMIT dropHovering(false);
        return true;
    }
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return QObject::eventFilter(watched, event);
    // The enter and move events are drop events too, with the same data.
    auto *drag = static_cast<QDropEvent *>(event);
    const QMimeData *data = drag->mimeData();
    const QList<QUrl> files = localFilesOnly(data && data->hasUrls() ? data->urls() : QList<QUrl>());
    if (files.isEmpty()) {
        drag->ignore();
        return true;
    }
    drag->setDropAction(Qt::CopyAction);
    drag->accept();
    if (type == QEvent::DragEnter)
        Q_EMIT dropHovering(true);
    if (type == QEvent::Drop) {
        Q_EMIT dropHovering(false);
        Q_EMIT filesDropped(files);
    }
    return true;
}

void Tray::hide()
{
    m_icon->hide();
}

bool Tray::isVisible() const
{
    return m_icon->isVisible();
}

void Tray::setLook(Look look)
{
    m_look = look;
    static const QIcon highlighted = drawn(Look::highlighted, {});
    static const QIcon success = drawn(Look::success, {});
    if (look == Look::normal) {
        m_ink = panelInk();
        const QIcon template_ = drawn(Look::normal, m_ink);
        // Named only where the desktop's theme has the icon (an install); the host then draws it.
        const QString name = QStringLiteral("kavo-symbolic");
        m_icon->setIcon(!inXEmbedTray() && QIcon::hasThemeIcon(name) ? QIcon::fromTheme(name, template_) : template_);
    } else {
        m_icon->setIcon(look == Look::highlighted ? highlighted : success);
    }
    m_icon->setToolTip(look == Look::success ? QStringLiteral("Upload complete") : QStringLiteral("Kavo"));
}

void Tray::setDark(bool dark)
{
    // The panel's named colours: the popup fill, primary and secondary text, the pressed fill.
    const QColor fill = dark ? QColor::fromRgbF(0.17f, 0.17f, 0.18f) : QColor(Qt::white);
    const QColor text = dark ? QColor(0xEB, 0xEB, 0xEB) : QColor(0x1F, 0x1F, 0x1F);
    const QColor secondary = dark ? QColor(0x93, 0x93, 0x94) : QColor(0x6B, 0x6B, 0x6B);
    const QColor highlight = dark ? QColor(0x49, 0x49, 0x4A) : QColor(0xE6, 0xE6, 0xE6);
    QPalette palette = m_menu->palette();
    for (const QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button})
        palette.setColor(role, fill);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::HighlightedText})
        palette.setColor(role, text);
    palette.setColor(QPalette::Highlight, highlight);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, secondary);
    m_menu->setPalette(palette);
}

void Tray::showMessage(const QString &title, const QString &body)
{
    m_icon->showMessage(title, body, QSystemTrayIcon::Information, 4000);
}

QRect Tray::iconGeometry() const
{
    const QRect geometry = m_icon->geometry();
    return geometry.isValid() && !geometry.isEmpty() ? geometry : m_lastClick;
}
