#include "uploaddelegate.h"

#include <QCoreApplication>
#include <QMetaObject>

UploadDelegate::UploadDelegate(ProgressCallback progressCallback)
    : m_progressCallback(std::move(progressCallback))
{
}

void UploadDelegate::didSendBodyData(qint64 bytesSent, qint64 totalBytesSent, qint64 totalBytesExpectedToSend) const
{
    Q_UNUSED(bytesSent);
    if (totalBytesExpectedToSend <= 0 || !m_progressCallback)
        return;
    const double fraction = double(totalBytesSent) / double(totalBytesExpectedToSend);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [callback = m_progressCallback, fraction] { callback(fraction); }, Qt::QueuedConnection);
}
