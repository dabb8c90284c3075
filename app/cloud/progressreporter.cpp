#include "progressreporter.h"

#include <QCoreApplication>
#include <QMetaObject>

ProgressReporter::ProgressReporter(ProgressCallback progressCallback)
    : m_progressCallback(std::move(progressCallback))
{
}

void ProgressReporter::report(qint64 sent, qint64 expected) const
{
    if (expected <= 0 || !m_progressCallback)
        return;
    const double fraction = double(sent) / double(expected);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [callback = m_progressCallback, fraction] { callback(fraction); }, Qt::QueuedConnection);
}
