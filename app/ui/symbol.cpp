#include "symbol.h"

#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QQuickWindow>
#include <QStandardPaths>

#include <mutex>

namespace {

// How a symbol is drawn: its icon, turned by `rotation` degrees, and a second icon that shares
// the square (a stacked pair or a corner badge).
struct Recipe {
    enum class Layout { alone, stacked, badge };
    Recipe(QString icon, qreal rotation = 0)
        : icon(std::move(icon))
        , rotation(rotation)
    {
    }
    Recipe(QString icon, QString second, Layout layout)
        : icon(std::move(icon))
        , second(std::move(second))
        , layout(layout)
    {
    }
    QString icon;
    qreal rotation = 0;
    QString second;
    Layout layout = Layout::alone;
};

const QHash<QString, Recipe> &recipes()
{
    using L = Recipe::Layout;
    static const QHash<QString, Recipe> table{
        {QStringLiteral("arrow.up"), Recipe(QStringLiteral("go-up"))},
        {QStringLiteral("arrow.up.forward"), Recipe(QStringLiteral("go-up"), 45)},
        {QStringLiteral("sun.max.fill"), Recipe(QStringLiteral("weather-clear"))},
        {QStringLiteral("moon.fill"), Recipe(QStringLiteral("weather-clear-night"))},
        {QStringLiteral("chevron.down"), Recipe(QStringLiteral("pan-down"))},
        {QStringLiteral("chevron.right"), Recipe(QStringLiteral("pan-end"))},
        {QStringLiteral("chevron.up.chevron.down"), {QStringLiteral("pan-up"), QStringLiteral("pan-down"), L::stacked}},
        {QStringLiteral("checkmark"), Recipe(QStringLiteral("object-select"))},
        {QStringLiteral("tray.and.arrow.down"), Recipe(QStringLiteral("folder-download"))},
        {QStringLiteral("exclamationmark"), Recipe(QStringLiteral("dialog-warning"))},
        {QStringLiteral("paintpalette"), Recipe(QStringLiteral("applications-graphics"))},
        {QStringLiteral("clock"), Recipe(QStringLiteral("preferences-system-time"))},
        {QStringLiteral("clock.badge.xmark"), Recipe(QStringLiteral("appointment-missed"))},
        {QStringLiteral("lock"), Recipe(QStringLiteral("changes-allow"))},
        {QStringLiteral("lock.fill"), Recipe(QStringLiteral("changes-prevent"))},
        {QStringLiteral("pencil"), Recipe(QStringLiteral("document-edit"))},
        {QStringLiteral("doc.on.doc"), Recipe(QStringLiteral("edit-copy"))},
        {QStringLiteral("xmark"), Recipe(QStringLiteral("window-close"))},
        {QStringLiteral("magnifyingglass"), Recipe(QStringLiteral("edit-find"))},
        {QStringLiteral("arrow.clockwise"), Recipe(QStringLiteral("view-refresh"))},
        {QStringLiteral("xmark.circle.fill"), Recipe(QStringLiteral("window-close"))},
        {QStringLiteral("ellipsis"), Recipe(QStringLiteral("view-more-horizontal"))},
        {QStringLiteral("envelope"), Recipe(QStringLiteral("mail-unread"))},
        {QStringLiteral("trash"), Recipe(QStringLiteral("user-trash"))},
        {QStringLiteral("person.crop.circle.fill"), Recipe(QStringLiteral("avatar-default"))},
        {QStringLiteral("person.crop.circle.badge.exclamationmark"),
         {QStringLiteral("avatar-default"), QStringLiteral("emblem-important"), L::badge}},
        {QStringLiteral("cloud.fill"), Recipe(QStringLiteral("weather-overcast"))},
        {QStringLiteral("shippingbox.fill"), Recipe(QStringLiteral("package-x-generic"))},
        {QStringLiteral("pin"), Recipe(QStringLiteral("view-pin"))},
    };
    return table;
}

void useFallbackTheme()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Without a desktop (no platform theme) Qt names no theme at all and looks nowhere but in
        // its resources; the freedesktop default theme and folders then stand for the desktop's.
        if (QIcon::themeName().isEmpty()) {
            QIcon::setThemeName(QStringLiteral("hicolor"));
            QStringList paths = QIcon::themeSearchPaths();
            for (const QString &folder : QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                                                    QStandardPaths::LocateDirectory))
                if (!paths.contains(folder))
                    paths.append(folder);
            QIcon::setThemeSearchPaths(paths);
        }
        if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
            QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    });
}

// The symbolic variant where the theme has one, else the full-colour icon (which is tinted all the
// same); a null icon when neither exists. Qt's own lookup would also try shorter names ("edit"
// for "edit-copy"), which can be a different picture, so the two names are asked for exactly.
QIcon themed(const QString &name)
{
    useFallbackTheme();
    for (const QString &candidate : QStringList{name + QStringLiteral("-symbolic"), name})
        if (QIcon::hasThemeIcon(candidate))
            return QIcon::fromTheme(candidate);
    return {};
}

QImage render(const QIcon &icon, int pixels)
{
    return icon.pixmap(QSize(pixels, pixels)).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
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
    return !iconsFor(m_name).isEmpty();
}

QList<QIcon> Symbol::iconsFor(const QString &name)
{
    const auto recipe = recipes().constFind(name);
    if (recipe == recipes().constEnd())
        return {};
    QList<QIcon> icons;
    for (const QString &icon : QStringList{recipe->icon, recipe->second}) {
        if (icon.isEmpty())
            continue;
        const QIcon found = themed(icon);
        if (found.isNull())
            return {};
        icons.append(found);
    }
    return icons;
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
    const QList<QIcon> icons = iconsFor(m_name);
    if (icons.isEmpty() || m_size <= 0)
        return;
    const Recipe &recipe = *recipes().constFind(m_name);
    const qreal ratio = window() ? window()->effectiveDevicePixelRatio() : qApp->devicePixelRatio();
    const int pixels = qMax(1, qRound(m_size * ratio));

    // The whole symbol is composed in device pixels, then tinted once.
    QImage canvas(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter composer(&canvas);
        composer.setRenderHint(QPainter::SmoothPixmapTransform);
        switch (recipe.layout) {
        case Recipe::Layout::alone: {
            const QImage image = render(icons.first(), pixels);
            composer.translate(pixels / 2.0, pixels / 2.0);
            composer.rotate(recipe.rotation);
            composer.translate(-pixels / 2.0, -pixels / 2.0);
            composer.drawImage(QRectF(0, 0, pixels, pixels), image);
            break;
        }
        case Recipe::Layout::stacked: {
            const int half = qMax(1, pixels * 11 / 20);
            composer.drawImage(QRectF((pixels - half) / 2.0, 0, half, half), render(icons.at(0), half));
            composer.drawImage(QRectF((pixels - half) / 2.0, pixels - half, half, half), render(icons.at(1), half));
            break;
        }
        case Recipe::Layout::badge: {
            composer.drawImage(QRectF(0, 0, pixels, pixels), render(icons.at(0), pixels));
            const int badge = qMax(1, pixels / 2);
            // A clear ring keeps the badge apart from the picture under it.
            composer.setCompositionMode(QPainter::CompositionMode_Clear);
            composer.setPen(Qt::NoPen);
            composer.setBrush(Qt::black);
            composer.drawEllipse(QRectF(pixels - badge - 1.5, pixels - badge - 1.5, badge + 3, badge + 3));
            composer.setCompositionMode(QPainter::CompositionMode_SourceOver);
            composer.drawImage(QRectF(pixels - badge, pixels - badge, badge, badge), render(icons.at(1), badge));
            break;
        }
        }
    }
    QImage image = tinted(canvas, m_color);
    image.setDevicePixelRatio(ratio);
    const QRectF target((width() - m_size) / 2.0, (height() - m_size) / 2.0, m_size, m_size);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawImage(target, image);
}
