#include "filechooser.h"

#include "platform/desktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QRandomGenerator>

namespace {
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString chooserInterface = QStringLiteral("org.freedesktop.portal.FileChooser");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
} // namespace

FileChooser::FileChooser(QObject *parent)
    : QObject(parent)
{
}

FileChooser::~FileChooser()
{
    stopListening();
    delete m_dialog;
}

void FileChooser::choose(Kind kind, const QString &parentWindow, Done done)
{
    if (m_done) {
        if (auto *dialog = qobject_cast<QWidget *>(m_dialog)) {
            dialog->raise();
            dialog->activateWindow();
        }
        return;
    }
    m_done = std::move(done);
    if (!askPortal(kind, parentWindow))
        askWithDialog(kind);
}

bool FileChooser::askPortal(Kind kind, const QString &parentWindow)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    const bool present = bus.interface()->isServiceRegistered(portalService).value()
        || bus.interface()->activatableServiceNames().value().contains(portalService);
    if (!present)
        return false;
    // The answer comes as a signal on a request object whose path the portal derives from this
    // connection's name and a token of ours; listening before asking means it cannot be missed.
    const QString token = QStringLiteral("kavo%1").arg(QRandomGenerator::system()->generate());
    const QString sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    m_requestPath = portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    bus.connect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this, SLOT(portalResponse(uint, QVariantMap)));

    QVariantMap options{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("accept_label"), QStringLiteral("Upload")},
                        {QStringLiteral("multiple"), kind == Kind::files},
                        {QStringLiteral("directory"), kind == Kind::folder}};
    QDBusMessage ask = QDBusMessage::createMethodCall(portalService, portalPath, chooserInterface, QStringLiteral("OpenFile"));
    ask << parentWindow << title << options;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask, 25000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, kind](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> handle = *answered;
        if (handle.isError()) {
            // A portal without a file chooser behind it (or that does not answer): Qt's dialog.
            qWarning("kavo: the desktop's file chooser did not answer (%s); using Kavo's own", qPrintable(handle.error().message()));
            stopListening();
            askWithDialog(kind);
            return;
        }
        // Portals older than version 0.9 choose the request's path themselves.
        const QString path = handle.value().path();
        if (path != m_requestPath) {
            stopListening();
            m_requestPath = path;
            QDBusConnection::sessionBus().connect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this,
                                                  SLOT(portalResponse(uint, QVariantMap)));
        }
    });
    return true;
}

void FileChooser::portalResponse(uint response, const QVariantMap &results)
{
    stopListening();
    QList<QUrl> chosen;
    if (response == 0) // 1: cancelled, 2: ended otherwise
        for (const QString &uri : results.value(QStringLiteral("uris")).toStringList())
            chosen.append(QUrl(uri));
    finish(localFilesOnly(chosen));
}

void FileChooser::askWithDialog(Kind kind)
{
    auto *dialog = new QFileDialog(nullptr, title);
    m_dialog = dialog;
    dialog->setObjectName(QStringLiteral("kavoFileChooser"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(kind == Kind::folder ? QFileDialog::Directory : QFileDialog::ExistingFiles);
    if (kind == Kind::folder)
        dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Upload"));
    // Kavo's own working folder means nothing to the user; their files start at home.
    dialog->setDirectory(QDir::homePath());
    QPointer<FileChooser> self(this);
    connect(dialog, &QFileDialog::finished, this, [self, dialog](int result) {
        if (!self)
            return;
        self->m_dialog = nullptr;
        self->finish(result == QDialog::Accepted ? localFilesOnly(dialog->selectedUrls()) : QList<QUrl>());
    });
    dialog->open();
    dialog->raise();
    dialog->activateWindow();
}

void FileChooser::finish(const QList<QUrl> &chosen)
{
    Done done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(chosen);
}

void FileChooser::stopListening()
{
    if (m_requestPath.isEmpty())
        return;
    QDBusConnection::sessionBus().disconnect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this,
                                             SLOT(portalResponse(uint, QVariantMap)));
    m_requestPath.clear();
}
