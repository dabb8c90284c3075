#pragma once

#include <QLoggingCategory>

// The upload pipeline's log: queue, source preparation and retry write here.
Q_DECLARE_LOGGING_CATEGORY(lcUpload)
