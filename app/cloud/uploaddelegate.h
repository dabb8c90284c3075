#pragma once

#include "clouduploader.h"

#include <QtGlobal>

// Turns the byte counts of a transfer into progress fractions for a ProgressCallback. Each report
// is posted to the main thread as its own event, so reports arrive there in order but possibly
// after the transfer has finished.
class UploadDelegate
{
public:
    explicit UploadDelegate(ProgressCallback progressCallback);
    UploadDelegate() = delete;

    const ProgressCallback &progressCallback() const { return m_progressCallback; }

    // An expected total of 0 or less (unknown) gives no report; the fraction is not clamped.
    void didSendBodyData(qint64 bytesSent, qint64 totalBytesSent, qint64 totalBytesExpectedToSend) const;

private:
    const ProgressCallback m_progressCallback;
};
