#pragma once

#include <QList>
#include <QObject>
#include <QUrl>
#include <QVariantMap>

#include <functional>

// Asks the user for files, or a folder, to upload: through the desktop's file chooser portal
// (org.freedesktop.portal.FileChooser) where the session bus has one, so the desktop's own dialog
// shows; else with Qt's file dialog. One question at a time; an answer with anything but local
// files in it counts as none.
class FileChooser : public QObject
{
    Q_OBJECT
public:
    enum class Kind { files, folder };
    using Done = std::function<void(const QList<QUrl> &chosen)>;

    explicit FileChooser(QObject *parent = nullptr);
    ~FileChooser() override;

    // `parentWindow` is the portal's handle of the window the dialog belongs to ("x11:1a00003"),
    // or empty. `done` gets the choice, or nothing when the user cancelled; it is not called when
    // a question is already open (that one is raised instead).
    void choose(Kind kind, const QString &parentWindow, Done done);
    bool isAsking() const { return bool(m_done); }

    static inline const QString title = QStringLiteral("Upload with Kavo");

private Q_SLOTS:
    void portalResponse(uint response, const QVariantMap &results);

private:
    bool askPortal(Kind kind, const QString &parentWindow);
    void askWithDialog(Kind kind);
    void finish(const QList<QUrl> &chosen);
    void stopListening();

    Done m_done;
    QString m_requestPath;
    QObject *m_dialog = nullptr;
};
