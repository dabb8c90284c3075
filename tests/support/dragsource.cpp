// A stand-in for a file manager in the desktop tests: a window that takes the focus when it is
// pressed and, when the pointer then moves with the button held, starts a real drag (XDND on
// X11) of the files named on its command line (or, with --text, of that text and no files). It
// prints one line as it starts ("ready") and one for each drag's outcome ("drag copied" or
// "drag ignored").

#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include <cstdio>

namespace {

class Source : public QLabel
{
public:
    Source(QList<QUrl> files, QString text)
        : m_files(std::move(files))
        , m_text(std::move(text))
    {
        setText(QStringLiteral("%1 item(s) to drag").arg(m_files.size()));
        setAlignment(Qt::AlignCenter);
        setFocusPolicy(Qt::StrongFocus);
    }

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        m_pressedAt = event->position().toPoint();
        m_pressed = true;
    }
    void mouseReleaseEvent(QMouseEvent *) override { m_pressed = false; }
    void mouseMoveEvent(QMouseEvent *event) override
    {
        if (!m_pressed || (event->position().toPoint() - m_pressedAt).manhattanLength() < QApplication::startDragDistance())
            return;
        m_pressed = false;
        auto *data = new QMimeData;
        if (m_text.isEmpty())
            data->setUrls(m_files);
        else
            data->setText(m_text);
        auto *drag = new QDrag(this);
        drag->setMimeData(data);
        const Qt::DropAction result = drag->exec(Qt::CopyAction);
        std::printf("drag %s\n", result == Qt::CopyAction ? "copied" : "ignored");
        std::fflush(stdout);
    }

private:
    QList<QUrl> m_files;
    QString m_text;
    QPoint m_pressedAt;
    bool m_pressed = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QList<QUrl> files;
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString text = arguments.value(0) == QLatin1String("--text") ? arguments.value(1) : QString();
    if (!text.isEmpty())
        arguments.clear();
    for (const QString &path : arguments)
        files.append(QUrl::fromLocalFile(path));
    Source window(files, text);
    window.setWindowTitle(QStringLiteral("Drag source"));
    window.resize(360, 240);
    window.move(60, 300);
    window.show();
    std::printf("ready\n");
    std::fflush(stdout);
    return QApplication::exec();
}
