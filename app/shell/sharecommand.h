#pragma once

#include <QStringList>

class UploadManager;

// `kavo share FILE...`: one drop through the upload queue without the tray. Progress goes to
// standard error (a bar when it is a terminal, one line per stage otherwise); the share link
// alone goes to standard output. Returns the exit code: 0 with a link, 1 with the job's message.
int runShareCommand(UploadManager &manager, const QStringList &paths);
