// A desktop's secret service (org.freedesktop.secrets) on the session bus, as far as libsecret
// goes with it when the user refuses its prompts:
//   --locked ACCOUNT...   a keyring that is locked, holding an item of Kavo's for each ACCOUNT; every
//                         unlock prompt is dismissed, so their secrets are never given out.
//   --no-keyring          no keyring yet; the prompt to create the first one is dismissed.
// Each call is written to standard error ("Service.SearchItems", "Prompt.Prompt", ...), so that a
// test can see what was asked. Prints "ready" once it owns the name.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QTimer>

#include <cstdio>

namespace {
const QString root = QStringLiteral("/org/freedesktop/secrets");
const QString collectionPath = root + QStringLiteral("/collection/login");
using Paths = QList<QDBusObjectPath>;
using Attributes = QMap<QString, QString>;

class SecretService : public QDBusVirtualObject
{
public:
    bool locked = false;
    bool hasKeyring = true;
    QList<Attributes> items; // all locked

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString interface = message.interface().section(QLatin1Char('.'), -1);
        const QString member = message.member();
        std::fprintf(stderr, "%s.%s %s\n", qPrintable(interface), qPrintable(member), qPrintable(message.path()));
        const auto reply = [&](const QVariantList &arguments) {
            QDBusMessage answer = message.createReply(arguments);
            connection.send(answer);
        };
        const auto fail = [&](const QString &name, const QString &text) { connection.send(message.createErrorReply(name, text)); };

        if (member == QLatin1String("GetAll") || member == QLatin1String("Get")) {
            const QVariantMap properties = propertiesOf(message.path());
            if (member == QLatin1String("GetAll"))
                reply({properties});
            else
                reply({QVariant::fromValue(QDBusVariant(properties.value(message.arguments().value(1).toString())))});
        } else if (member == QLatin1String("OpenSession")) {
            if (message.arguments().value(0).toString() != QLatin1String("plain"))
                return fail(QStringLiteral("org.freedesktop.DBus.Error.NotSupported"), QStringLiteral("Algorithm not supported")), true;
            reply({QVariant::fromValue(QDBusVariant(QString())), QVariant::fromValue(QDBusObjectPath(root + QStringLiteral("/session/s1")))});
        } else if (member == QLatin1String("SearchItems")) {
            const Attributes wanted = qdbus_cast<Attributes>(message.arguments().value(0));
            Paths found;
            for (qsizetype i = 0; i < items.size(); ++i) {
                bool matches = true;
                for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
                    matches = matches && items[i].value(it.key()) == it.value();
                if (matches)
                    found.append(QDBusObjectPath(collectionPath + QLatin1Char('/') + QString::number(i + 1)));
            }
            reply({QVariant::fromValue(Paths()), QVariant::fromValue(found)});
        } else if (member == QLatin1String("ReadAlias")) {
            reply({QVariant::fromValue(QDBusObjectPath(hasKeyring ? collectionPath : QStringLiteral("/")))});
        } else if (member == QLatin1String("Unlock") || member == QLatin1String("CreateCollection")) {
            // A dismissed prompt completes with what its call would have given: no objects.
            const bool unlock = member == QLatin1String("Unlock");
            const QVariant none = unlock ? QVariant::fromValue(Paths()) : QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")));
            const QDBusObjectPath prompt(root + QStringLiteral("/prompt/p") + QString::number(m_prompts.size() + 1));
            m_prompts.insert(prompt.path(), none);
            reply({none, QVariant::fromValue(prompt)});
        } else if (member == QLatin1String("CreateItem")) {
            if (!hasKeyring)
                fail(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), QStringLiteral("Object does not exist at path “%1”").arg(collectionPath));
            else
                fail(QStringLiteral("org.freedesktop.Secret.Error.IsLocked"), QStringLiteral("Cannot create an item in a locked collection"));
        } else if (member == QLatin1String("Prompt")) {
            reply({});
            // The user dismisses it.
            const QString path = message.path();
            const QVariant result = m_prompts.value(path);
            QTimer::singleShot(20, [connection, path, result]() mutable {
                QDBusMessage completed = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.Secret.Prompt"), QStringLiteral("Completed"));
                completed << true << QVariant::fromValue(QDBusVariant(result));
                connection.send(completed);
            });
        } else if (member == QLatin1String("Delete") || member == QLatin1String("GetSecrets") || member == QLatin1String("GetSecret")) {
            fail(QStringLiteral("org.freedesktop.Secret.Error.IsLocked"), QStringLiteral("Cannot get secrets of a locked object"));
        } else {
            fail(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), QStringLiteral("No such method ") + member);
        }
        return true;
    }

private:
    QVariantMap propertiesOf(const QString &path) const
    {
        if (path == root)
            return {{QStringLiteral("Collections"), QVariant::fromValue(hasKeyring ? Paths{QDBusObjectPath(collectionPath)} : Paths())}};
        if (path == collectionPath)
            return {{QStringLiteral("Locked"), locked}, {QStringLiteral("Label"), QStringLiteral("Login")}};
        return {{QStringLiteral("Locked"), true}};
    }

    QHash<QString, QVariant> m_prompts; // path: the result it completes with
};
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Attributes>();
    SecretService service;
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--no-keyring")) {
        service.hasKeyring = false;
    } else if (arguments.value(0) == QLatin1String("--locked")) {
        service.locked = true;
        for (const QString &account : arguments.mid(1))
            service.items.append({{QStringLiteral("server"), QStringLiteral("Kavo")},
                                  {QStringLiteral("user"), account},
                                  {QStringLiteral("type"), QStringLiteral("plaintext")},
                                  {QStringLiteral("xdg:schema"), QStringLiteral("org.qt.keychain")}});
    } else {
        std::fputs("usage: kavo-test-secret-service --locked ACCOUNT... | --no-keyring\n", stderr);
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerVirtualObject(root, &service, QDBusConnection::SubPath)
        || !bus.registerService(QStringLiteral("org.freedesktop.secrets")))
        return 1;
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    return app.exec();
}
