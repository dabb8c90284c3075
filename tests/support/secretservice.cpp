// A desktop's secret service (org.freedesktop.secrets) on the session bus, as far as libsecret
// goes with it:
//   --open                an unlocked keyring that keeps what is stored in it (in memory, in the
//                         "plain" session only), gives it back and deletes it.
//   --locked ACCOUNT...   a keyring that is locked, holding an item of Kavo's for each ACCOUNT; every
//                         unlock prompt is dismissed, so their secrets are never given out.
//   --no-keyring          no keyring yet; the prompt to create the first one is dismissed.
// Each call is written to standard error ("Service.SearchItems", "Prompt.Prompt", ...), followed
// by "stored ACCOUNT" or "deleted ACCOUNT" when an item changes, so that a test can see what was
// asked. Prints "ready" once it owns the name.

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
const QString noPrompt = QStringLiteral("/");
using Paths = QList<QDBusObjectPath>;
using Attributes = QMap<QString, QString>;

// A secret as the service hands it over: (session, parameters, value, content type).
struct Secret {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};
using Secrets = QMap<QDBusObjectPath, Secret>;

struct Item {
    Attributes attributes;
    QString label;
    Secret secret;
    bool deleted = false;
};

}
Q_DECLARE_METATYPE(Secret)
Q_DECLARE_METATYPE(Secrets)

QDBusArgument &operator<<(QDBusArgument &argument, const Secret &secret)
{
    argument.beginStructure();
    argument << secret.session << secret.parameters << secret.value << secret.contentType;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Secret &secret)
{
    argument.beginStructure();
    argument >> secret.session >> secret.parameters >> secret.value >> secret.contentType;
    argument.endStructure();
    return argument;
}

namespace {
class SecretService : public QDBusVirtualObject
{
public:
    bool locked = false;
    bool hasKeyring = true;
    QList<Item> items; // item N is at collectionPath/N

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
            reply(
                {QVariant::fromValue(QDBusVariant(QString())), QVariant::fromValue(QDBusObjectPath(root + QStringLiteral("/session/s1")))});
        } else if (member == QLatin1String("SearchItems")) {
            const Attributes wanted = qdbus_cast<Attributes>(message.arguments().value(0));
            Paths found;
            for (qsizetype i = 0; i < items.size(); ++i)
                if (matches(items[i], wanted))
                    found.append(QDBusObjectPath(itemPath(i)));
            reply({QVariant::fromValue(locked ? Paths() : found), QVariant::fromValue(locked ? found : Paths())});
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
                fail(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                     QStringLiteral("Object does not exist at path “%1”").arg(collectionPath));
            else if (locked)
                fail(QStringLiteral("org.freedesktop.Secret.Error.IsLocked"),
                     QStringLiteral("Cannot create an item in a locked collection"));
            else
                reply({QVariant::fromValue(QDBusObjectPath(createItem(message))), QVariant::fromValue(QDBusObjectPath(noPrompt))});
        } else if (!locked && member == QLatin1String("GetSecrets")) {
            Secrets secrets;
            for (const QDBusObjectPath &path : qdbus_cast<Paths>(message.arguments().value(0)))
                if (const Item *item = itemAt(path.path()))
                    secrets.insert(path, item->secret);
            reply({QVariant::fromValue(secrets)});
        } else if (!locked && member == QLatin1String("GetSecret")) {
            if (const Item *item = itemAt(message.path()))
                reply({QVariant::fromValue(item->secret)});
            else
                fail(QStringLiteral("org.freedesktop.Secret.Error.NoSuchObject"), QStringLiteral("No such item"));
        } else if (!locked && member == QLatin1String("Delete")) {
            if (Item *item = const_cast<Item *>(itemAt(message.path()))) {
                item->deleted = true;
                std::fprintf(stderr, "deleted %s\n", qPrintable(item->attributes.value(QStringLiteral("user"))));
                reply({QVariant::fromValue(QDBusObjectPath(noPrompt))});
            } else {
                fail(QStringLiteral("org.freedesktop.Secret.Error.NoSuchObject"), QStringLiteral("No such item"));
            }
        } else if (member == QLatin1String("Prompt")) {
            reply({});
            // The user dismisses it.
            const QString path = message.path();
            const QVariant result = m_prompts.value(path);
            QTimer::singleShot(20, [connection, path, result]() mutable {
                QDBusMessage completed
                    = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.Secret.Prompt"), QStringLiteral("Completed"));
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
        QVariantMap properties{{QStringLiteral("Locked"), locked}};
        if (const Item *item = itemAt(path)) {
            properties.insert(QStringLiteral("Attributes"), QVariant::fromValue(item->attributes));
            properties.insert(QStringLiteral("Label"), item->label);
        }
        return properties;
    }
    static QString itemPath(qsizetype index) { return collectionPath + QLatin1Char('/') + QString::number(index + 1); }
    static bool matches(const Item &item, const Attributes &wanted)
    {
        if (item.deleted)
            return false;
        for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
            if (item.attributes.value(it.key()) != it.value())
                return false;
        return true;
    }
    const Item *itemAt(const QString &path) const
    {
        if (!path.startsWith(collectionPath + QLatin1Char('/')))
            return nullptr;
        const qsizetype index = path.mid(collectionPath.size() + 1).toLongLong() - 1;
        return index >= 0 && index < items.size() && !items[index].deleted ? &items[index] : nullptr;
    }
    // CreateItem(properties, secret, replace): an item with the same attributes is replaced when
    // asked to be; the path of the item that holds the secret now.
    QString createItem(const QDBusMessage &message)
    {
        const QVariantMap properties = qdbus_cast<QVariantMap>(message.arguments().value(0));
        Item item;
        item.attributes = qdbus_cast<Attributes>(properties.value(QStringLiteral("org.freedesktop.Secret.Item.Attributes")));
        item.label = properties.value(QStringLiteral("org.freedesktop.Secret.Item.Label")).toString();
        item.secret = qdbus_cast<Secret>(message.arguments().value(1));
        const bool replace = message.arguments().value(2).toBool();
        std::fprintf(stderr, "stored %s\n", qPrintable(item.attributes.value(QStringLiteral("user"))));
        for (qsizetype i = 0; replace && i < items.size(); ++i)
            if (!items[i].deleted && items[i].attributes == item.attributes) {
                items[i] = item;
                return itemPath(i);
            }
        items.append(item);
        return itemPath(items.size() - 1);
    }

    QHash<QString, QVariant> m_prompts; // path: the result it completes with
};
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Attributes>();
    qDBusRegisterMetaType<Secret>();
    qDBusRegisterMetaType<Secrets>();
    SecretService service;
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--open")) {
    } else if (arguments.value(0) == QLatin1String("--no-keyring")) {
        service.hasKeyring = false;
    } else if (arguments.value(0) == QLatin1String("--locked")) {
        service.locked = true;
        for (const QString &account : arguments.mid(1))
            service.items.append(Item{{{QStringLiteral("server"), QStringLiteral("Kavo")},
                                       {QStringLiteral("user"), account},
                                       {QStringLiteral("type"), QStringLiteral("plaintext")},
                                       {QStringLiteral("xdg:schema"), QStringLiteral("org.qt.keychain")}},
                                      {},
                                      {},
                                      false});
    } else {
        std::fputs("usage: kavo-test-secret-service --open | --locked ACCOUNT... | --no-keyring\n", stderr);
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
