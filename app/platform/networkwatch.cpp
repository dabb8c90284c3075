#include "networkwatch.h"

#include <QNetworkInformation>
#include <QTimer>
#include <qcoro/qcorotimer.h>

NetworkWatch::NetworkWatch(QObject *parent)
    : QObject(parent)
{
    if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability reachability) {
                if (reachability != QNetworkInformation::Reachability::Disconnected)
                    announceBack();
            });
}

QCoro::Task<void> NetworkWatch::wait(std::chrono::milliseconds longest)
{
    QTimer timer;
    timer.setSingleShot(true);
    connect(this, &NetworkWatch::back, &timer, [&timer] { timer.start(0); });
    timer.start(longest);
    co_await timer;
}
