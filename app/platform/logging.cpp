#include "logging.h"

Q_LOGGING_CATEGORY(lcUpload, "com.quorvane.vendrel.upload", QtInfoMsg)
