#pragma once

#include "platform/error.h"

#include <QObject>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>

class AccessTokenSource;
class BackendAPI;
class CloudAuth;
class CloudCleanup;

namespace CleanerError {
inline const QString domain = QStringLiteral("cleaner");
Error driveHTTP(int status, const QByteArray &body);
}

// Deletes the Google Drive files of expired links in the background: 15 seconds after start and
// then 6 hours after the end of each pass, it asks the service for the expired links awaiting
// cleanup, deletes each file from Drive and reports the link as cleaned. Every outcome worth
// noting is one line on standard output.
class DriveCleaner : public QObject
{
    Q_OBJECT
public:
    struct Options {
        std::chrono::milliseconds firstDelay = std::chrono::seconds(15);
        std::chrono::milliseconds period = std::chrono::hours(6);
        std::function<void(const QString &)> print; // defaults to a line on standard output
    };

    // The files go through `cleanup`, as a deleted link's do.
    DriveCleaner(BackendAPI *backend, CloudCleanup *cleanup, CloudAuth *google, AccessTokenSource *tokens, Options options,
                 QObject *parent = nullptr);

    // Starts the schedule, replacing any running one.
    void start();
    bool isRunning() const { return m_isRunning; }
    // One pass; returns at once while another pass runs.
    QCoro::Task<void> sweep();

private:
    QCoro::Task<Result<void>> deleteDriveFile(QString fileID);
    QCoro::Task<void> runScheduled(quint64 generation);

    BackendAPI *m_backend;
    CloudCleanup *m_cleanup;
    CloudAuth *m_google;
    AccessTokenSource *m_tokens;
    Options m_options;
    QTimer m_timer;
    quint64 m_generation = 0;
    bool m_isRunning = false;
};
