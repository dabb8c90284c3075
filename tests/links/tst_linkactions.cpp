// The rows' link actions against a loopback service, and the texts the rows show.

#include "cloudstandins.h"
#include "links/linkactions.h"
#include "loopbackapplication.h"
#include "service/linktexts.h"
#include "testutil.h"
#include "upload/uploadmanager.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

struct Links : LoopbackApplication {
    QSignalSpy finished{app.links.get(), &LinkActions::finished};

    Links()
    {
        server.enqueue("GET", "/api/history.php",
                       Response::json(200,
                                      "{\"items\":[{\"token\":\"t1\",\"filename\":\"report.pdf\",\"filesize\":2048,"
                                      "\"mimetype\":\"application/pdf\",\"custom_message\":\"\",\"protected\":false,"
                                      "\"download_count\":0,\"status\":\"active\",\"view_url\":\"v\",\"download_url\":\"d\"}]}"));
        awaitTask(app.history.refresh(15));
        server.clearLog();
    }
    // The outcome of the next action: its name and error text.
    QStringList outcome()
    {
        if (!QTest::qWaitFor([this] { return !finished.isEmpty(); }, 3000))
            return {};
        const QList<QVariant> last = finished.takeFirst();
        return {last.at(1).toString(), last.at(2).toString()};
    }
    QJsonObject sent(const QString &path) const { return QJsonDocument::fromJson(server.requests("POST", path).value(0).body).object(); }
};

} // namespace

class TestLinkActions : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Each edit patches the link's history row, and the finished upload of the same link (its
    // row in the panel shows the same state), not another one.
    void editsPatchTheHistory()
    {
        Links l;
        const auto finished = [&l](const QString &token) {
            UploadJob job = UploadJob::forDrop({QUrl::fromLocalFile("/tmp/report.pdf")});
            job.state = UploadJob::State::Done;
            job.token = token;
            job.shareURL = "http://127.0.0.1/l/" + token;
            job.displayName = QStringLiteral("report.pdf");
            l.app.uploads->uploads()->prepend(job);
            return job.id;
        };
        const QUuid same = finished("t1"), other = finished("t2");
        const auto job = [&l](QUuid id) { return l.app.uploads->job(id).value(); };
        l.server.route("POST", "/api/set_preset.php", Response::json(200, "{\"ok\":true}"));
        l.app.links->setPreset("t1", 3);
        QCOMPARE(l.outcome(), (QStringList{"design", ""}));
        QCOMPARE(l.sent("/api/set_preset.php").value("preset_id").toInteger(), 3);
        QCOMPARE(l.app.history.items().first().presetID, 3);
        QCOMPARE(job(same).presetID, 3);
        QCOMPARE(job(other).presetID, std::nullopt);

        l.server.route("POST", "/api/set_expiry.php", Response::json(200, "{\"expires_at\":\"2030-01-01T00:00:00Z\"}"));
        l.app.links->setExpiry("t1", 30);
        QCOMPARE(l.outcome(), (QStringList{"expiry", ""}));
        QCOMPARE(job(same).expiryDays, 30);
        QCOMPARE(job(same).expiresAt, QStringLiteral("2030-01-01T00:00:00Z"));

        l.server.route("POST", "/api/rename.php", Response::json(200, "{\"filename\":\"final (1).pdf\"}"));
        l.app.links->rename("t1", "report.pdf", "  report.pdf ");
        QTest::qWait(50);
        QVERIFY(l.server.requests("POST", "/api/rename.php").isEmpty()); // nothing to change
        l.app.links->rename("t1", "report.pdf", " final.pdf ");
        QCOMPARE(l.outcome(), (QStringList{"rename", ""}));
        QCOMPARE(l.sent("/api/rename.php").value("filename").toString(), QStringLiteral("final.pdf"));
        QCOMPARE(l.app.history.items().first().filename, QStringLiteral("final (1).pdf")); // the stored name
        QCOMPARE(job(same).displayName, QStringLiteral("final (1).pdf"));
        QCOMPARE(job(other).displayName, QStringLiteral("report.pdf"));

        l.server.route("POST", "/api/set_password.php", Response::json(200, "{\"ok\":true}"));
        l.app.links->setPassword("t1", "secret");
        QCOMPARE(l.outcome(), (QStringList{"password", ""}));
        QVERIFY(l.app.history.items().first().isProtected);
        QVERIFY(job(same).isProtected);
        QVERIFY(!job(other).isProtected);

        l.server.route("POST", "/api/send_link.php", Response::json(200, "{\"ok\":true}"));
        l.app.links->sendLink("t1", "  ann@example.com ", " See you\n");
        QCOMPARE(l.outcome(), (QStringList{"send", ""}));
        QCOMPARE(l.sent("/api/send_link.php"), (QJsonObject{{"token", "t1"}, {"to", "ann@example.com"}, {"note", " See you\n"}}));

        l.app.links->copy("http://127.0.0.1/l/t1");
        QCOMPARE(l.clipboard.texts, QStringList{QStringLiteral("http://127.0.0.1/l/t1")});
    }

    // A finished upload's row edits its link through the same edits; a failure is said in the
    // job's row, after what was being done, and touches neither the history nor the link's
    // error there. A job without a link yet sends nothing.
    void finishedUploadsEditTheirLink()
    {
        Links l;
        UploadJob done = UploadJob::forDrop({QUrl::fromLocalFile("/tmp/report.pdf")});
        done.state = UploadJob::State::Done;
        done.token = QStringLiteral("t1");
        done.displayName = QStringLiteral("report.pdf");
        UploadJob running = UploadJob::forDrop({QUrl::fromLocalFile("/tmp/other.pdf")});
        running.state = UploadJob::State::Uploading;
        l.app.uploads->uploads()->prepend(done);
        l.app.uploads->uploads()->prepend(running);
        const auto job = [&l](const UploadJob &j) { return l.app.uploads->job(j.id).value(); };
        const QString id = done.id.toString(QUuid::WithoutBraces);

        l.server.route("POST", "/api/rename.php", Response::json(200, "{\"filename\":\"final (1).pdf\"}"));
        l.app.links->renameJob(id, " final.pdf ");
        QTRY_COMPARE(job(done).displayName, QStringLiteral("final (1).pdf"));
        QCOMPARE(l.app.history.items().first().filename, QStringLiteral("final (1).pdf"));

        const auto failing
            = [&l](const char *path) { l.server.route("POST", path, Response::json(500, "{\"error\":\"Database is read-only.\"}")); };
        for (const char *path : {"/api/set_password.php", "/api/set_expiry.php", "/api/set_preset.php"})
            failing(path);
        l.app.links->setJobPassword(id, "secret");
        QTRY_VERIFY(job(done).errorMessage);
        QVERIFY2(job(done).errorMessage->startsWith("Couldn't set password: Backend HTTP 500: ")
                     && job(done).errorMessage->contains("Database is read-only."),
                 qPrintable(*job(done).errorMessage));
        l.app.links->changeJobExpiry(id, 3);
        QTRY_VERIFY(job(done).errorMessage->startsWith("Couldn't change expiry: "));
        l.app.links->changeJobDesign(id, 2);
        QTRY_VERIFY(job(done).errorMessage->startsWith("Couldn't change design: "));
        QVERIFY(!job(done).isProtected);
        QCOMPARE(job(done).presetID, std::nullopt);
        QVERIFY(!l.app.history.items().first().isProtected);
        QCOMPARE(l.app.history.model()->error("t1"), QString());
        QVERIFY(l.finished.isEmpty());

        const qsizetype sent = l.server.requests().size();
        l.app.links->setJobPassword(running.id.toString(QUuid::WithoutBraces), "secret");
        l.app.links->renameJob(running.id.toString(QUuid::WithoutBraces), "new.pdf");
        QTest::qWait(100);
        QCOMPARE(l.server.requests().size(), sent);
    }

    void answersAfterTheActionsAreGoneTouchNothing()
    {
        // The panel's actions go away (the application quits) while edits are in flight; their
        // answers then arrive to nobody.
        Links l;
        auto *actions = new LinkActions(&l.app.backend, &l.app.cleanup, &l.app.history, l.app.uploads.get(), &l.clipboard);
        l.server.route("POST", "/api/set_preset.php", Response::delayed(150, Response::json(200, "{\"ok\":true}")));
        l.server.route("POST", "/api/set_expiry.php",
                       Response::delayed(150, Response::json(200, "{\"expires_at\":\"2030-01-01T00:00:00Z\"}")));
        l.server.route("POST", "/api/rename.php", Response::delayed(150, Response::json(200, "{\"filename\":\"new.pdf\"}")));
        l.server.route("POST", "/api/delete.php", Response::delayed(150, Response::json(200, "{\"ok\":true}")));
        actions->setPreset("t1", 3);
        actions->setExpiry("t1", 7);
        actions->rename("t1", "report.pdf", "new.pdf");
        actions->deleteLink("t1", QString(), "google");
        QVERIFY(QTest::qWaitFor([&] { return l.server.requests().size() == 4; }, 2000));
        delete actions;
        QTest::qWait(400);
        QCOMPARE(l.app.history.items().size(), 1);
        QCOMPARE(l.app.history.items().first().filename, QStringLiteral("report.pdf"));
        QCOMPARE(l.app.history.items().first().presetID, std::nullopt);
    }

    void failuresLeaveTheItem()
    {
        Links l;
        l.server.route("POST", "/api/set_expiry.php", Response::json(500, "{\"error\":\"Database is read-only.\"}"));
        l.app.links->setExpiry("t1", 7);
        const QStringList failed = l.outcome();
        QCOMPARE(failed.value(0), QStringLiteral("expiry"));
        QVERIFY2(failed.value(1).contains("Database is read-only."), qPrintable(failed.value(1)));
        QCOMPARE(l.app.history.items().first().expiresAt, std::nullopt);

        l.server.route("POST", "/api/delete.php", Response::json(404, "{\"error\":\"No such link.\"}"));
        l.app.links->deleteLink("t1", QString(), "google");
        QCOMPARE(l.outcome(), (QStringList{"delete", "Backend HTTP 404: No such link."}));
        QCOMPARE(l.app.history.items().size(), 1);
    }

    // A link with a cloud file: the file goes first. The service's refusal is the delete's error
    // (and says nothing of the file); the file's failure is only a warning once the link is gone.
    void deletionTakesTheCloudFileFirst()
    {
        Links l;
        FixedToken drive;
        CloudCleanup cleanup(&l.app.http, l.app.endpoints, &drive, &drive);
        LinkActions actions(&l.app.backend, &cleanup, &l.app.history, l.app.uploads.get(), &l.clipboard);
        QSignalSpy finished(&actions, &LinkActions::finished);
        l.server.route("DELETE", "/drive/v3/files/file-1", Response::json(204, ""));
        l.server.route("POST", "/api/delete.php", Response::json(500, ""));
        actions.deleteLink("t1", "file-1", "google");
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.first().mid(1), (QVariantList{"delete", "Backend HTTP 500: ", ""}));
        QStringList order;
        for (const FakeServer::Request &request : l.server.requests())
            order.append(QString::fromLatin1(request.method) + ' ' + request.path);
        QCOMPARE(order, (QStringList{"DELETE /drive/v3/files/file-1", "POST /api/delete.php"}));
        QCOMPARE(l.app.history.items().size(), 1);

        l.server.route("DELETE", "/drive/v3/files/file-1", Response::json(400, "{}"));
        l.server.route("POST", "/api/delete.php", Response::json(200, "{}"));
        actions.deleteLink("t1", "file-1", "google");
        QTRY_COMPARE(finished.size(), 2);
        QCOMPARE(finished.last().mid(1),
                 (QVariantList{"delete", "",
                               "We removed the share link, but Google Drive returned an unexpected response (HTTP 400). You may want "
                               "to remove the file manually from the Vendrel folder in Drive."}));
        QVERIFY(l.app.history.items().isEmpty());
    }

    void summaries_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("downloads");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("expected");
        row("bytes", qint64(1023), qint64(0), "active", "1023 B");
        row("KB, one download", qint64(1024), qint64(1), "active", "1.0 KB · 1 download");
        row("MB, downloads", qint64(1048576), qint64(2), "protected", "1.0 MB · 2 downloads · password");
        row("GB, expired", qint64(1073741824), qint64(0), "expired", "1.0 GB · expired");
        row("just under a MB", qint64(1048575), qint64(0), "active", "1024.0 KB");
    }

    void summaries()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, downloads);
        QFETCH(QString, status);
        QFETCH(QString, expected);
        QCOMPARE(LinkTexts::summary(size, downloads, status), expected);
    }

    void rowTexts()
    {
        const QDateTime future = QDateTime::currentDateTimeUtc().addDays(10);
        const QString date = QLocale().toString(future.toLocalTime().date(), QStringLiteral("d MMM yyyy"));
        QCOMPARE(LinkTexts::expiryText(future.toString(Qt::ISODate)), "Expires " + date);
        QVERIFY(!LinkTexts::hasExpired(future.toString(Qt::ISODate)));
        QVERIFY(LinkTexts::expiryText("2020-12-05T10:00:00Z").startsWith("Expired "));
        QVERIFY(LinkTexts::hasExpired("2020-12-05T10:00:00+01:00"));
        for (const QString &unparsable :
             {QString(), QStringLiteral("2026-12-05T10:00:00.250Z"), QStringLiteral("2026-12-05"), QStringLiteral("next week")})
            QCOMPARE(LinkTexts::expiryText(unparsable), QString());

        QCOMPARE(LinkActions::stageText(UploadJob::State::Uploading, 0.425), QStringLiteral("Uploading… 42%"));
        QCOMPARE(LinkActions::stageText(UploadJob::State::Uploading, 0.0), QStringLiteral("Uploading… 0%"));
        QCOMPARE(LinkActions::stageText(UploadJob::State::Zipping, 0), QStringLiteral("Zipping folder…"));
        QCOMPARE(LinkActions::stageText(UploadJob::State::Registering, 1), QStringLiteral("Finishing…"));

        QCOMPARE(LinkActions::uploadTitle("Holiday.zip", {QUrl::fromLocalFile("/home/a/Holiday")}), QStringLiteral("Holiday.zip"));
        QCOMPARE(LinkActions::uploadTitle("", {QUrl::fromLocalFile("/home/a/Holiday/"), QUrl::fromLocalFile("/b")}),
                 QStringLiteral("Holiday"));
        QCOMPARE(LinkActions::uploadTitle("", {QUrl::fromLocalFile("/home/a/Ré sumé.pdf")}), QString::fromUtf8("Ré sumé.pdf"));
        QCOMPARE(LinkActions::uploadTitle("", {}), QStringLiteral("Upload"));

        QCOMPARE(LinkActions::renamed("report.pdf", "  report.pdf \n"), QString());
        QCOMPARE(LinkActions::renamed("report.pdf", "   "), QString());
        QCOMPARE(LinkActions::renamed("report.pdf", " final.pdf "), QStringLiteral("final.pdf"));
    }
};

QTEST_GUILESS_MAIN(TestLinkActions)
#include "tst_linkactions.moc"
