#include "sharedialog.h"

#include "platform/desktop.h"
#include "shareupload.h"

#include <QButtonGroup>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

SharedItem SharedItem::fromArguments(const QStringList &arguments)
{
    SharedItem item;
    if (arguments.isEmpty() || arguments.first().isEmpty())
        return item;
    const QString argument = arguments.first();
    const QUrl url(argument, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("file")) {
        // Without a path there is nothing to read; nothing may be sent for it. A name that is not
        // text is read through its alias.
        const QList<QUrl> reachable = reachableFiles({url});
        item = url.toLocalFile().isEmpty() || url.path().endsWith(QLatin1Char('/')) || reachable.isEmpty()
            ? SharedItem{Kind::unreadable, {}}
            : SharedItem{Kind::file, reachable.first()};
    } else if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        item = {Kind::url, url};
    } else if (url.scheme().isEmpty() || QDir::isAbsolutePath(argument)) {
        item = {Kind::file, QUrl::fromLocalFile(QFileInfo(argument).absoluteFilePath())};
    } else {
        item.kind = Kind::unsupported;
    }
    return item;
}

ShareDialog::ShareDialog(SharedItem item, ShareUpload *upload, Clipboard *clipboard, QWidget *parent)
    : QDialog(parent)
    , m_upload(upload)
    , m_clipboard(clipboard)
    , m_fileLabel(new QLabel(this))
    , m_expiry(new QButtonGroup(this))
    , m_expiryControl(new QWidget(this))
    , m_uploadButton(new QPushButton(QStringLiteral("Upload"), this))
    , m_spinner(new QProgressBar(this))
    , m_statusLabel(new QLabel(this))
{
    setWindowTitle(QStringLiteral("Share via Kavo"));
    setFixedSize(340, 220);

    auto *header = new QLabel(QStringLiteral("Share via Kavo"), this);
    QFont bold = header->font();
    bold.setBold(true);
    bold.setPointSizeF(14 * 0.75);
    header->setFont(bold);

    QPalette secondary = palette();
    secondary.setColor(QPalette::WindowText, palette().color(QPalette::PlaceholderText));
    const auto sized = [](QWidget *widget, qreal points) {
        QFont font = widget->font();
        font.setPointSizeF(points * 0.75);
        widget->setFont(font);
    };
    sized(m_fileLabel, 12);
    m_fileLabel->setPalette(secondary);
    auto *expiryLabel = new QLabel(QStringLiteral("Link expires after"), this);
    sized(expiryLabel, 11);
    expiryLabel->setPalette(secondary);

    auto *segments = new QHBoxLayout(m_expiryControl);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    for (int i = 0; i < expiryTitles.size(); ++i) {
        auto *segment = new QPushButton(expiryTitles.at(i), m_expiryControl);
        segment->setCheckable(true);
        segment->setAutoDefault(false);
        m_expiry->addButton(segment, i);
        segments->addWidget(segment);
    }
    m_expiry->button(1)->setChecked(true);

    m_spinner->setRange(0, 0);
    m_spinner->setTextVisible(false);
    m_spinner->setMaximumHeight(6);
    m_spinner->hide();
    sized(m_statusLabel, 11);
    m_statusLabel->setAlignment(Qt::AlignCenter);
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setTextFormat(Qt::PlainText); // texts from servers are never markup

    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    QPushButton *cancelButton = m_cancelButton;
    cancelButton->setAutoDefault(false);
    m_uploadButton->setDefault(true); // Return uploads
    connect(m_uploadButton, &QPushButton::clicked, this, &ShareDialog::startUpload);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancelButton);
    buttons->addSpacing(8);
    buttons->addWidget(m_uploadButton);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 16);
    layout->setSpacing(0);
    layout->addWidget(header);
    layout->addSpacing(6);
    layout->addWidget(m_fileLabel);
    layout->addSpacing(18);
    layout->addWidget(expiryLabel);
    layout->addSpacing(6);
    layout->addWidget(m_expiryControl);
    layout->addSpacing(14);
    layout->addWidget(m_spinner);
    layout->addWidget(m_statusLabel);
    layout->addStretch();
    layout->addLayout(buttons);

    switch (item.kind) {
    case SharedItem::Kind::none:
        showStatus(QStringLiteral("No file received."), Tone::red);
        m_uploadButton->setEnabled(false);
        break;
    case SharedItem::Kind::unsupported:
        showStatus(QStringLiteral("Unsupported item type."), Tone::red);
        m_uploadButton->setEnabled(false);
        break;
    case SharedItem::Kind::unreadable:
        showStatus(QStringLiteral("Couldn't read file."), Tone::red);
        m_uploadButton->setEnabled(false);
        break;
    case SharedItem::Kind::file:
    case SharedItem::Kind::url:
        m_fileURL = item.url;
        m_fileLabel->setText(fontMetrics().elidedText(QFileInfo(item.url.path()).fileName(), Qt::ElideMiddle, 300));
        break;
    }
}

QString ShareDialog::status() const
{
    return m_statusLabel->text();
}

bool ShareDialog::canUpload() const
{
    return m_uploadButton->isEnabled();
}

int ShareDialog::selectedDays() const
{
    return expiryDays.value(m_expiry->checkedId(), 7);
}

void ShareDialog::selectDays(int days)
{
    if (QAbstractButton *segment = m_expiry->button(int(expiryDays.indexOf(days))))
        segment->setChecked(true);
}

void ShareDialog::showStatus(const QString &text, Tone tone)
{
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText,
                     tone == Tone::red         ? QColor(0xD1, 0x24, 0x2F)
                         : tone == Tone::green ? QColor(0x1A, 0x7F, 0x37)
                                               : palette().color(QPalette::PlaceholderText));
    m_statusLabel->setPalette(colours);
    m_statusLabel->setText(text);
}

void ShareDialog::setBusy(bool busy)
{
    m_uploadButton->setEnabled(!busy);
    m_expiryControl->setEnabled(!busy);
    m_spinner->setVisible(busy);
}

void ShareDialog::startUpload()
{
    if (!m_fileURL.isValid() || !m_uploadButton->isEnabled())
        return;
    setBusy(true);
    showStatus(QStringLiteral("Uploading…"), Tone::secondary);
    upload(m_fileURL, selectedDays());
}

QCoro::Task<void> ShareDialog::upload(QUrl file, int days)
{
    QPointer<ShareDialog> self(this);
    const Result<QString> link = co_await m_upload->perform(file, days);
    if (!self)
        co_return;
    if (!link) {
        setBusy(false);
        showStatus(link.error().description, Tone::red);
        co_return;
    }
    m_spinner->hide();
    const QString notCopied = m_clipboard->setText(link.value());
    if (!notCopied.isEmpty()) {
        // The upload is done; the link stays here to be copied by hand until the user closes.
        showStatus(QStringLiteral("The link is ready but isn't on the clipboard (%1):\n%2").arg(notCopied, link.value()), Tone::secondary);
        m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        m_uploadButton->setEnabled(false);
        m_cancelButton->setText(QStringLiteral("Close"));
        m_cancelButton->disconnect(this);
        connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::accept);
        m_cancelButton->setDefault(true);
        co_return;
    }
    showStatus(QStringLiteral("Link copied to clipboard!"), Tone::green);
    // Nothing more can be pressed; the sheet goes away on its own.
    QTimer::singleShot(1800, this, &QDialog::accept);
}
