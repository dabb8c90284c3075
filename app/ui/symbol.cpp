#include "symbol.h"

#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QQuickWindow>

namespace {

QString resource(const QString &name)
{
    return QStringLiteral(":/symbols/") + name + QStringLiteral(".svg");
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

bool Symbol::available() const
{
    return !m_name.isEmpty() && QFile::exists(resource(m_name));
}

QImage Symbol::image(const QString &name, const QColor &color, int pixels)
{
    if (name.isEmpty() || pixels <= 0 || !QFile::exists(resource(name)))
        return {};
    // Drawn from the vector at the size asked for, so it is sharp at every size and scale.
    const QIcon icon(resource(name));
    const QImage drawn = icon.pixmap(QSize(pixels, pixels)).toImage().scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
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
