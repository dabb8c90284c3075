#pragma once

#include <QObject>
#include <qcoro/qcorotask.h>

#include <chrono>

// Says when the network may be back, for work that waits for it: when the system's network
// information (NetworkManager, GLib) reports it reachable again, or at the latest when the time
// a waiter gives runs out. Without such a backend only the time ends a wait.
class NetworkWatch : public QObject
{
    Q_OBJECT
public:
    explicit NetworkWatch(QObject *parent = nullptr);

    QCoro::Task<void> wait(std::chrono::milliseconds longest);

    // Ends every wait now: the network is back.
    void announceBack() { Q_EMIT back(); }

Q_SIGNALS:
    void back();
};
