#pragma once

#include "clouduploader.h"

#include <QtGlobal>

// Turns the byte counts of a transfer, reported from whatever thread moves the bytes, into the
// progress fractions of a ProgressCallback on the main thread: each report is posted there as its
// own event, so reports arrive in order but possibly after the transfer has finished.
class ProgressReporter
{
public:
    explicit ProgressReporter(ProgressCallback progressCallback);
    ProgressReporter() = delete;

    // `sent` of `expected` bytes have gone; an expected total of 0 or less (unknown) gives no
    // report, and the fraction is not clamped.
    void report(qint64 sent, qint64 expected) const;

private:
    const ProgressCallback m_progressCallback;
};
