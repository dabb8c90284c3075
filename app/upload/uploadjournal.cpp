#include "uploadjournal.h"

#include "platform/jsoninteger.h"
#include "platform/logging.h"
#include "platform/savefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <algorithm>

namespace {
const QString version = QStringLiteral("v");

std::optional<UploadJob::State> stateFromName(const QString &name)
{
    const QMetaEnum states = QMetaEnum::fromType<UploadJob::State>();
    for (int i = 0; i < states.keyCount(); ++i) {
        const auto state = UploadJob::State(states.value(i));
        if (UploadJob::stateName(state) == name)
            return state;
    }
    return std::nullopt;
}

QJsonValue optionalInteger(const std::optional<qint64> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

} // namespace

QString UploadRecord::sessionSecretAccount(const QUuid &id)
{
    return QStringLiteral("Kavo.UploadSession.") + id.toString(QUuid::WithoutBraces);
}

QJsonObject JournalEntry::toJson() const
{
    QJsonArray sourceList;
    for (const QString &source : job.sourcePaths())
        sourceList.append(source);
    QJsonObject object{
        {version, 1},
        {QStringLiteral("id"), record.id.toString(QUuid::WithoutBraces)},
        {QStringLiteral("sources"), sourceList},
        {QStringLiteral("name"), job.displayName},
        {QStringLiteral("state"), UploadJob::stateName(job.state)},
        {QStringLiteral("dropped_at"), record.droppedAt.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("expiry_days"), record.expiryDays},
        {QStringLiteral("preset_id"), optionalInteger(record.presetID)},
        {QStringLiteral("provider"), record.provider ? rawValue(*record.provider) : QString()},
        {QStringLiteral("registration_sent"), record.registrationSent},
    };
    if (record.prepared) {
        object.insert(QStringLiteral("file"),
                      QJsonObject{{QStringLiteral("path"), record.prepared->path},
                                  {QStringLiteral("name"), record.prepared->name},
                                  {QStringLiteral("mime"), record.prepared->mimeType},
                                  {QStringLiteral("size"), record.prepared->size},
                                  {QStringLiteral("modified_ms"), record.prepared->modifiedMs}});
    }
    if (!record.session.isEmpty()) {
        QJsonObject kept{{QStringLiteral("path"), record.session.path},
                         {QStringLiteral("offset"), record.session.offset},
                         {QStringLiteral("size"), record.session.size},
                         {QStringLiteral("finishing"), record.session.finishing}};
        if (record.sessionHandleIsSecret())
            kept.insert(QStringLiteral("in_secret_store"), true);
        else
            kept.insert(QStringLiteral("id"), record.session.handle);
        object.insert(QStringLiteral("session"), kept);
    }
    if (record.cloud) {
        QJsonObject result{{QStringLiteral("provider"), rawValue(record.cloud->provider)},
                           {QStringLiteral("file_id"), record.cloud->providerFileID}};
        if (record.cloud->directURL)
            result.insert(QStringLiteral("direct_url"), *record.cloud->directURL);
        object.insert(QStringLiteral("cloud"), result);
    }
    return object;
}

std::optional<JournalEntry> JournalEntry::fromJson(const QJsonObject &object, QString *problem)
{
    const auto refuse = [problem](const QString &why) -> std::optional<JournalEntry> {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    if (object.value(version).toInteger() != 1)
        return refuse(QStringLiteral("not a record this version of Kavo knows"));
    UploadJob job;
    UploadRecord record;
    record.id = QUuid::fromString(object.value(QStringLiteral("id")).toString());
    if (record.id.isNull())
        return refuse(QStringLiteral("no job id"));
    job.id = record.id;
    for (const QJsonValue &source : object.value(QStringLiteral("sources")).toArray()) {
        if (!source.isString() || source.toString().isEmpty())
            return refuse(QStringLiteral("a source that is not a path"));
        job.sourceURLs.append(QUrl::fromLocalFile(source.toString()));
    }
    if (job.sourceURLs.isEmpty())
        return refuse(QStringLiteral("no sources"));
    job.displayName = object.value(QStringLiteral("name")).toString();
    const std::optional<UploadJob::State> state = stateFromName(object.value(QStringLiteral("state")).toString());
    if (!state)
        return refuse(QStringLiteral("an unknown state"));
    job.state = *state;
    record.droppedAt = QDateTime::fromString(object.value(QStringLiteral("dropped_at")).toString(), Qt::ISODateWithMs);
    const std::optional<qint64> expiryDays = jsonInteger(object.value(QStringLiteral("expiry_days")));
    if (!expiryDays)
        return refuse(QStringLiteral("no expiry"));
    record.expiryDays = *expiryDays;
    record.presetID = jsonInteger(object.value(QStringLiteral("preset_id")));
    record.provider = storageProviderFromRaw(object.value(QStringLiteral("provider")).toString());
    record.registrationSent = object.value(QStringLiteral("registration_sent")).toBool();

    if (object.contains(QStringLiteral("file"))) {
        const QJsonObject file = object.value(QStringLiteral("file")).toObject();
        UploadRecord::Prepared prepared{file.value(QStringLiteral("path")).toString(), file.value(QStringLiteral("name")).toString(),
                                        file.value(QStringLiteral("mime")).toString(), file.value(QStringLiteral("size")).toInteger(-1),
                                        file.value(QStringLiteral("modified_ms")).toInteger()};
        if (prepared.path.isEmpty() || prepared.name.isEmpty() || prepared.size < 1)
            return refuse(QStringLiteral("an unreadable prepared file"));
        record.prepared = prepared;
    }
    if (object.contains(QStringLiteral("session"))) {
        const QJsonObject session = object.value(QStringLiteral("session")).toObject();
        record.session.path = session.value(QStringLiteral("path")).toString();
        record.session.offset = session.value(QStringLiteral("offset")).toInteger(-1);
        record.session.size = session.value(QStringLiteral("size")).toInteger(-1);
        record.session.finishing = session.value(QStringLiteral("finishing")).toBool();
        // A secret-store handle is filled in by the queue; until then the session reads as empty.
        record.session.handle = session.value(QStringLiteral("id")).toString();
        if (!record.provider || record.session.offset < 0 || record.session.size < 0 || record.session.offset > record.session.size)
            return refuse(QStringLiteral("an unreadable upload session"));
    }
    if (object.contains(QStringLiteral("cloud"))) {
        const QJsonObject cloud = object.value(QStringLiteral("cloud")).toObject();
        const std::optional<StorageProvider> provider = storageProviderFromRaw(cloud.value(QStringLiteral("provider")).toString());
        const QString fileID = cloud.value(QStringLiteral("file_id")).toString();
        if (!provider || fileID.isEmpty())
            return refuse(QStringLiteral("an unreadable cloud file"));
        CloudUploadResult result{*provider, fileID, std::nullopt};
        if (cloud.value(QStringLiteral("direct_url")).isString())
            result.directURL = cloud.value(QStringLiteral("direct_url")).toString();
        record.cloud = result;
    }
    return JournalEntry{job, record};
}

UploadJournal::UploadJournal(QString path)
    : m_path(std::move(path))
{
}

QString UploadJournal::defaultPath()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/kavo/uploads.jsonl");
}

QList<JournalEntry> UploadJournal::load()
{
    QList<JournalEntry> entries;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (file.exists())
            qCWarning(lcUpload, "cannot read the upload queue %s: %s", qUtf8Printable(m_path), qUtf8Printable(file.errorString()));
        return entries;
    }
    int lineNumber = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty())
            continue;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        QString problem;
        std::optional<JournalEntry> entry;
        if (parseError.error != QJsonParseError::NoError || !document.isObject())
            problem = QStringLiteral("not a JSON object");
        else
            entry = JournalEntry::fromJson(document.object(), &problem);
        if (entry && std::ranges::any_of(entries, [&](const JournalEntry &e) { return e.record.id == entry->record.id; })) {
            entry.reset();
            problem = QStringLiteral("a second record of the same job");
        }
        if (!entry) {
            qCWarning(lcUpload, "upload queue %s, line %d left out: %s", qUtf8Printable(m_path), lineNumber, qUtf8Printable(problem));
            m_keepUnreadable = true;
            continue;
        }
        entries.append(*entry);
    }
    return entries;
}

QString UploadJournal::write(const QList<JournalEntry> &entries)
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath())) {
        const QString problem = QStringLiteral("the folder %1 cannot be made").arg(info.absolutePath());
        qCWarning(lcUpload, "cannot keep the upload queue: %s", qUtf8Printable(problem));
        return problem;
    }
    QFile::setPermissions(info.absolutePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (m_keepUnreadable) {
        // What could not be read is kept for whoever wants to look, never silently dropped.
        const QString keep = m_path + QStringLiteral(".unreadable");
        QFile::remove(keep);
        if (QFile::copy(m_path, keep))
            QFile::setPermissions(keep, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        m_keepUnreadable = false;
    }
    if (entries.isEmpty()) {
        QFile file(m_path);
        if (!file.exists() || file.remove())
            return {};
        qCWarning(lcUpload, "cannot empty the upload queue %s: %s", qUtf8Printable(m_path), qUtf8Printable(file.errorString()));
        return file.errorString();
    }
    QByteArray lines;
    for (const JournalEntry &entry : entries)
        lines += QJsonDocument(entry.toJson()).toJson(QJsonDocument::Compact) + '\n';
    // On failure the file keeps the queue as it was last written whole.
    const QString problem = replaceFileWhole(m_path, lines);
    if (!problem.isEmpty())
        qCWarning(lcUpload, "cannot write the upload queue %s: %s", qUtf8Printable(m_path), qUtf8Printable(problem));
    return problem;
}
