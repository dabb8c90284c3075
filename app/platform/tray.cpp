#include "tray.h"

#include "platform/desktop.h"

#include <QApplication>
#include <QCursor>
#include <QDropEvent>
#include <QMimeData>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

// The icons are drawn rather than shipped: a filled circle with the arrow (or the check mark)
// cut out of it, at the sizes panels ask for.
QIcon drawn(Tray::Look look)
{
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF circle(size * 0.06, size * 0.06, size * 0.88, size * 0.88);
        QColor fill(0xF2, 0xF2, 0xF2);
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
    m_menu->addAction(QStringLiteral("Quit Kavo"), this, &Tray::quitRequested);
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
    static const QIcon icons[] = {drawn(Look::normal), drawn(Look::highlighted), drawn(Look::success)};
    m_icon->setIcon(icons[int(look)]);
    m_icon->setToolTip(look == Look::success ? QStringLiteral("Upload complete") : QStringLiteral("Kavo"));
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
