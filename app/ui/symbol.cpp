#include "symbol.h"

#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QIcon>
#include <QPainter>
#include <QQuickWindow>

namespace {

QString resource(const QString &name)
{
    return QStringLiteral(":/symbols/") + name + QStringLiteral(".svg");
}

// One icon per symbol for the life of the program: an icon keeps the pixmaps it has drawn, so a
// symbol is read from its SVG and drawn at a size once, not at every paint.
QIcon icon(const QString &name)
{
    static QHash<QString, QIcon> icons;
    const auto found = icons.constFind(name);
    if (found != icons.constEnd())
        return *found;
    const QIcon made = QFile::exists(resource(name)) ? QIcon(resource(name)) : QIcon();
    icons.insert(name, made);
    return made;
}

} // namespace

Symbol::Symbol(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    setImplicitSize(m_size, m_size);
}

void Symbol::setName(const QString &name)
{
    if (m_name == name)
        return;
    m_name = name;
    Q_EMIT nameChanged();
    update();
}

void Symbol::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    Q_EMIT colorChanged();
    update();
}

void Symbol::setSize(qreal size)
{
    if (qFuzzyCompare(m_size, size))
        return;
    m_size = size;
    setImplicitSize(size, size);
    Q_EMIT sizeChanged();
    update();
}

QImage Symbol::image(const QString &name, const QColor &color, int pixels)
{
    const QIcon drawing = name.isEmpty() || pixels <= 0 ? QIcon() : icon(name);
    if (drawing.isNull())
        return {};
    // Drawn from the vector at the size asked for, so it is sharp at every size and scale.
    const QImage drawn
        = drawing.pixmap(QSize(pixels, pixels)).toImage().scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return tinted(drawn, color);
}

QImage Symbol::tinted(const QImage &source, const QColor &color)
{
    QImage out = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&out);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(out.rect(), color);
    return out;
}

void Symbol::paint(QPainter *painter)
{
    if (m_size <= 0)
        return;
    const qreal ratio = window() ? window()->effectiveDevicePixelRatio() : qApp->devicePixelRatio();
    QImage drawn = image(m_name, m_color, qMax(1, qRound(m_size * ratio)));
    if (drawn.isNull())
        return;
    drawn.setDevicePixelRatio(ratio);
    const QRectF target((width() - m_size) / 2.0, (height() - m_size) / 2.0, m_size, m_size);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawImage(target, drawn);
}
