#pragma once

#include <QDialog>
#include <QUrl>

#include <qcoro/qcorotask.h>

class Clipboard;
class QButtonGroup;
class QLabel;
class QProgressBar;
class QPushButton;
class ShareUpload;

// What the file manager handed over: one file, a web address, something else, or nothing.
struct SharedItem {
    // `unreadable`: a file link that names no file ("file:").
    enum class Kind { none, file, url, unsupported, unreadable };
    Kind kind = Kind::none;
    QUrl url;

    // A local path or file:// URL is a file; an http(s) URL a web address; anything else is
    // unsupported. Only the first argument counts.
    static SharedItem fromArguments(const QStringList &arguments);
};

// The share sheet: the file's name, how long the link lives, Upload and Cancel. On success the
// link goes on the clipboard and the sheet closes itself 1.8 s later (accepted); Cancel rejects.
class ShareDialog : public QDialog
{
    Q_OBJECT
public:
    static inline const QList<int> expiryDays{1, 7, 30, 90};
    static inline const QStringList expiryTitles{QStringLiteral("1 day"), QStringLiteral("7 days"), QStringLiteral("30 days"),
                                                 QStringLiteral("90 days")};

    ShareDialog(SharedItem item, ShareUpload *upload, Clipboard *clipboard, QWidget *parent = nullptr);

    QString status() const;
    bool canUpload() const;
    int selectedDays() const;
    void selectDays(int days);

public Q_SLOTS:
    void startUpload();

private:
    enum class Tone { secondary, red, green };
    void showStatus(const QString &text, Tone tone);
    void setBusy(bool busy);
    QCoro::Task<void> upload(QUrl file, int days);

    ShareUpload *m_upload;
    Clipboard *m_clipboard;
    QUrl m_fileURL;
    QLabel *m_fileLabel;
    QButtonGroup *m_expiry;
    QWidget *m_expiryControl;
    QPushButton *m_uploadButton;
    QPushButton *m_cancelButton;
    QProgressBar *m_spinner;
    QLabel *m_statusLabel;
};
