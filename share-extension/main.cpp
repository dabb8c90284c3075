// kavo-share: the file manager's "Share via Kavo". Uploads one file to Google Drive with the
// credentials the Kavo tray application shares, registers it and copies the link.
//
//   kavo-share FILE|URL
//
// Exits 0 once the link is on the clipboard, 1 when cancelled.

#include "platform/defaultsstore.h"
#include "platform/desktop.h"
#include "platform/endpoints.h"
#include "platform/http.h"
#include "platform/localpath.h"
#include "platform/secretstore.h"
#include "platform/singleinstance.h"
#include "platform/terminaltext.h"
#include "sharedialog.h"
#include "shareupload.h"

#include <QApplication>
#include <QNetworkAccessManager>

using namespace std::chrono_literals;

int main(int argc, char *argv[])
{
    if (ClipboardHolder::isHolder(argc, argv))
        return ClipboardHolder::serve(argc, argv);
    installTerminalSafeLog();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavo-share"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVO_VERSION));

    const Endpoints endpoints = Endpoints::current();
    QNetworkAccessManager network;
    Http http(&network, 60s, endpoints.extraCaPem);
    const std::unique_ptr<SecretStore> secrets = SecretStore::createDefault();
    ShareUpload upload(&http, endpoints, DefaultsStore::suite(), secrets.get());
    // The dialog closes right after copying: the link goes to the running tray, or a holder.
    LastingClipboard clipboard;
    clipboard.setHandToTray(&SingleInstance::copyInInstance);
    // From the bytes given: a file name that is not valid UTF-8 becomes a file URL that keeps them.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(LocalPath::argument(QByteArray(argv[i])));
    ShareDialog dialog(SharedItem::fromArguments(arguments), &upload, &clipboard);
    dialog.show();
    return dialog.exec() == QDialog::Accepted ? 0 : 1;
}
