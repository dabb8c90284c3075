#pragma once

#include <QColor>
#include <QImage>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

// A named symbol ("lock.fill", "doc.on.doc", ...) from Kavo's own set (symbols/NAME.svg, built
// into the program), tinted with `color` and drawn `size` pixels square in the middle of the
// item: the same picture on every desktop, whatever icon theme it has or lacks.
class Symbol : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(qreal size READ size WRITE setSize NOTIFY sizeChanged)
public:
    explicit Symbol(QQuickItem *parent = nullptr);

    QString name() const { return m_name; }
    void setName(const QString &name);
    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    qreal size() const { return m_size; }
    void setSize(qreal size);

    void paint(QPainter *painter) override;

    // The symbol `pixels` square in `color`; a null image for an unknown name.
    static QImage image(const QString &name, const QColor &color, int pixels);
    // `source` with every visible pixel in `color` (keeping its alpha).
    static QImage tinted(const QImage &source, const QColor &color);

Q_SIGNALS:
    void nameChanged();
    void colorChanged();
    void sizeChanged();

private:
    QString m_name;
    QColor m_color = Qt::black;
    qreal m_size = 12;
};
