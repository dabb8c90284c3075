#pragma once

#include "http.h"

#include <QUrl>

// Sends a file as the body of one HTTP/1.1 PUT on a connection of its own and reads the answer.
// QNetworkAccessManager keeps at most 32 KiB of a request body in flight per turn of the event
// loop, which caps an upload far below what the network carries; this keeps up to 4 MiB queued,
// reading the file 1 MiB at a time, so memory stays bounded whatever the file's size.
// Works over http and https (certificates verified against the system's roots).
QCoro::Task<Result<HttpResponse>> streamingPut(QUrl url, QList<QPair<QByteArray, QByteArray>> headers, QString filePath,
                                               qint64 size, Http::Progress progress,
                                               std::chrono::milliseconds timeout = Http::defaultTimeout);
