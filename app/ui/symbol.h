#pragma once

#include <QColor>
#include <QIcon>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

// A named symbol ("lock.fill", "doc.on.doc", ...) drawn from the desktop's icon theme by its
// freedesktop name, the symbolic variant where the theme has one, tinted with `color` and drawn
// `size` pixels square in the middle of the item. Without the name in the desktop's theme the
// icon comes from Adwaita, the fallback theme the dependencies install.
class Symbol : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(qreal size READ size WRITE setSize NOTIFY sizeChanged)
    // False when no theme has an icon for the name (nothing is drawn).
    Q_PROPERTY(bool available READ available NOTIFY nameChanged)
public:
    explicit Symbol(QQuickItem *parent = nullptr);

    QString name() const { return m_name; }
    void setName(const QString &name);
    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    qreal size() const { return m_size; }
    void setSize(qreal size);
    bool available() const;

    void paint(QPainter *painter) override;

    // The theme icons a symbol is drawn from, in drawing order; empty for an unknown name.
    static QList<QIcon> iconsFor(const QString &name);
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
