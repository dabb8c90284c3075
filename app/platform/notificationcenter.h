#pragma once

#include <QObject>
#include <QString>

// The application-wide notifications: a name, no sender, no payload. The composition root makes
// one centre and hands it to whoever posts or observes.
class NotificationCenter : public QObject
{
    Q_OBJECT
public:
    static inline const QString uploadSucceeded = QStringLiteral("VendrelUploadSucceeded");
    static inline const QString accountChanged = QStringLiteral("VendrelAccountChanged");
    static inline const QString popoverDidOpen = QStringLiteral("VendrelPopoverDidOpen");

    using QObject::QObject;

    void post(const QString &name) { Q_EMIT posted(name); }

    // Calls `handler` on every post of `name` for as long as `context` lives.
    template<typename Handler>
    QMetaObject::Connection observe(const QString &name, const QObject *context, Handler handler)
    {
        return connect(this, &NotificationCenter::posted, context, [name, handler](const QString &posted) {
            if (posted == name)
                handler();
        });
    }

Q_SIGNALS:
    void posted(const QString &name);
};
