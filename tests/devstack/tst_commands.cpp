// `kavo links` and `kavo link` through the real binary against kavo-devstack over TLS: what they
// print, their exit codes, the service's refusals, and a password that only ever travels on
// standard input or the terminal.

#include "demo.h"

namespace {

RegistrationRequest registration(const QString &name)
{
    RegistrationRequest request;
    request.driveFileID = QStringLiteral("drive-") + name;
    request.filename = name;
    request.filesize = 2516582;
    request.mimetype = QStringLiteral("application/pdf");
    request.expiryDays = 7;
    return request;
}

QList<QJsonObject> jsonLines(const QByteArray &out)
{
    QList<QJsonObject> lines;
    for (const QByteArray &line : out.split('\n'))
        if (!line.isEmpty())
            lines.append(QJsonDocument::fromJson(line).object());
    return lines;
}

// `kavo ARGUMENTS` on a terminal (a pty from script(1)), `input` typed into it; gives what the
// terminal showed.
Demo::Run onTerminal(Demo &demo, const QStringList &arguments, const QByteArray &input = {})
{
    QStringList quoted{QStringLiteral(KAVO_BINARY)};
    for (const QString &argument : arguments)
        quoted.append(QLatin1Char('\'') + QString(argument).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\''));
    QProcess script;
    script.setProcessEnvironment(demo.environment("exit 1\n"));
    script.start(QStringLiteral("script"), {"-qec", quoted.join(QLatin1Char(' ')), "/dev/null"});
    script.waitForStarted();
    QTest::qWait(700); // the prompt is up and the echo is off before the typing comes
    script.write(input);
    script.waitForFinished(60000);
    Demo::Run run{script.exitCode(), said(script.readAllStandardOutput().replace("\r\n", "\n")), script.readAllStandardError()};
    demo.printed += run.out + run.err;
    return run;
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void linksAreListedAndSearched()
    {
        Demo demo;
        START_DEVSTACK(demo);
        for (const char *name : {"Q3 & Q4+ report.pdf", "holiday.zip", "notes.txt"})
            QVERIFY(awaitTask(demo.api.registerUpload(registration(QString::fromUtf8(name)))));
        const QString newest = awaitTask(demo.api.fetchHistory(1)).value().first().token;
        QVERIFY(awaitTask(demo.api.setPassword(newest, "pw")));

        // Piped: JSON lines, newest first.
        Demo::Run run = demo.kavo({"links"});
        QCOMPARE(run.code, 0);
        const QList<QJsonObject> all = jsonLines(run.out);
        QCOMPARE(all.size(), 3);
        QCOMPARE(all[0]["name"].toString(), QStringLiteral("notes.txt"));
        QCOMPARE(all[0]["protected"].toBool(), true);
        QCOMPARE(all[1]["protected"].toBool(), false);
        QCOMPARE(all[2]["name"].toString(), QStringLiteral("Q3 & Q4+ report.pdf"));
        QCOMPARE(all[2]["size"].toInteger(), 2516582);
        QCOMPARE(all[2]["provider"].toString(), QStringLiteral("google"));
        QCOMPARE(all[2]["downloads"].toInteger(), 0);
        QVERIFY(all[2]["expires_at"].isString());
        QVERIFY(all[0]["url"].toString().endsWith("/l/" + newest));

        // The search reaches the service whole, whatever it holds.
        const QList<QJsonObject> found = jsonLines(demo.kavo({"links", "--search", "& q4+ REP"}).out);
        QCOMPARE(found.size(), 1);
        QCOMPARE(found.value(0)["name"].toString(), QStringLiteral("Q3 & Q4+ report.pdf"));
        QCOMPARE(jsonLines(demo.kavo({"links", "--limit", "2", "--json"}).out).size(), 2);

        // On a terminal: a table.
        run = onTerminal(demo, {"links"});
        QCOMPARE(run.code, 0);
        const QList<QByteArray> rows = run.out.trimmed().split('\n');
        QCOMPARE(rows.size(), 4);
        QVERIFY2(rows[0].simplified() == "NAME SIZE PROVIDER DOWNLOADS EXPIRES PASSWORD URL", rows[0].constData());
        QVERIFY(rows[1].startsWith("notes.txt ") && rows[1].contains(" 2.4 MB ") && rows[1].contains(" Google Drive ")
                && rows[1].contains(" yes "));
        QCOMPARE(onTerminal(demo, {"links", "--search", "nothing like it"}).out.trimmed(),
                 QByteArray("kavo: No links match \"nothing like it\"."));

        // Bad usage: exit 2 with the usage.
        for (const QStringList &wrong :
             {QStringList{"links", "--limit", "0"}, QStringList{"links", "--colour"}, QStringList{"links", "extra"}}) {
            run = demo.kavo(wrong);
            QCOMPARE(run.code, 2);
            QVERIFY2(run.err.contains("usage: kavo links"), run.err.constData());
        }
        run = demo.kavo({"links", "--help"});
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.startsWith("usage: kavo links"));
        run = demo.kavo({"share", "--help"});
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.startsWith("usage: kavo share FILE"));
        run = demo.kavo({"--help"});
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.contains("kavo link LINK ACTION") && run.out.contains("kavo share FILE"));
    }

    // Every edit, by token or by URL, with the service's texts for what it refuses.
    void everyEditOfALink()
    {
        Demo demo;
        START_DEVSTACK(demo);
        const Registration made = awaitTask(demo.api.registerUpload(registration("report.pdf"))).value();
        const QString token = made.token;
        const auto item = [&demo] { return awaitTask(demo.api.fetchHistory(1)).value().first(); };

        // Here, with no desktop, the link is printed and the copy's failure said.
        const QByteArray noDesktop
            = "kavo: The link isn't on the clipboard: there is no desktop here (neither DISPLAY nor WAYLAND_DISPLAY is set).\n";
        Demo::Run run = demo.kavo({"link", made.url, "copy"});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.out, (made.url + '\n').toUtf8());
        QCOMPARE(run.err, noDesktop);
        // Any URL the service gave for the link names it, in whatever shape (here its download
        // URL, with a trailing slash); one it did not give does not.
        const QString download = item().downloadURL;
        QVERIFY(!download.contains("/l/"));
        run = demo.kavo({"link", download + "/", "copy"});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err, noDesktop);
        QCOMPARE(run.out, (made.url + '\n').toUtf8());
        run = demo.kavo({"link", QString(made.url).replace(token, "nosuchlink"), "copy"});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.startsWith("kavo: No link https://"), run.err.constData());

        run = demo.kavo({"link", token, "password"}, "open sesame\n");
        QCOMPARE(run.code, 0);
        QVERIFY(item().isProtected);
        QCOMPARE(demo.kavo({"link", token, "password"}, "").code, 2); // nothing typed
        QCOMPARE(demo.kavo({"link", token, "password", "open sesame"}).code, 2); // never from argv
        QCOMPARE(demo.kavo({"link", token, "password", "--remove"}).code, 0);
        QVERIFY(!item().isProtected);

        QCOMPARE(demo.kavo({"link", token, "expiry", "never"}).code, 0);
        QCOMPARE(item().expiresAt, std::nullopt);
        QCOMPARE(demo.kavo({"link", token, "expiry", "1"}).code, 0);
        const QDateTime expires = QDateTime::fromString(item().expiresAt.value_or(QString()), Qt::ISODate);
        QVERIFY(qAbs(QDateTime::currentDateTimeUtc().secsTo(expires) - 86400) < 600);
        QCOMPARE(demo.kavo({"link", token, "expiry", "5"}).code, 2);

        QCOMPARE(demo.kavo({"link", token, "rename", "  final.pdf "}).code, 0);
        QCOMPARE(item().filename, QStringLiteral("final.pdf"));
        QCOMPARE(demo.kavo({"link", token, "rename", "   "}).code, 2);

        QCOMPARE(demo.kavo({"link", token, "design", "forest"}).code, 0);
        QCOMPARE(item().presetID, 3);
        QCOMPARE(demo.kavo({"link", token, "design", "2"}).code, 0);
        QCOMPARE(item().presetID, 2);
        run = demo.kavo({"link", token, "design", "Neon"});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err, QByteArray("kavo: No design \"Neon\". The designs: Kavo, Ocean, Forest.\n"));

        QCOMPARE(demo.kavo({"link", token, "send", "friend@example.com", "--message", "For Monday"}).code, 0);
        const QJsonArray outbox = QJsonDocument::fromJson(demo.hook("GET", "/__test/outbox").body)["outbox"].toArray();
        QCOMPARE(outbox.size(), 1);
        QVERIFY(QJsonDocument(outbox.first().toObject()).toJson().contains("For Monday"));
        run = demo.kavo({"link", token, "send", "nobody"});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err, QByteArray("kavo: Backend HTTP 400: That address doesn't look right.\n"));

        // Deleting asks first, and cannot without a terminal; the cloud file of this link cannot
        // be removed (no Drive sign-in here), which is said, and the link is gone.
        run = demo.kavo({"link", token, "delete"});
        QCOMPARE(run.code, 2);
        QVERIFY(run.err.contains("--yes"));
        run = onTerminal(demo, {"link", token, "delete"}, "n\n");
        QCOMPARE(run.code, 1);
        QVERIFY2(run.out.contains("Delete the link to final.pdf and the file in your Google Drive? [y/N]"), run.out.constData());
        QVERIFY(run.out.contains("kavo: Nothing was deleted."));
        run = demo.kavo({"link", token, "delete", "--yes"});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.err,
                 QByteArray("kavo: Cleanup incomplete: We removed the share link, but couldn't reach Google Drive to delete the file. "
                            "It's still in the Vendrel folder in your Drive \xe2\x80\x94 clean up manually if needed.\n"));
        QVERIFY(awaitTask(demo.api.fetchHistory(15)).value().isEmpty());
        run = demo.kavo({"link", token, "copy"});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err, ("kavo: No link " + token + " among your links.\n").toUtf8());

        for (const QStringList &wrong : {QStringList{"link"}, QStringList{"link", token}, QStringList{"link", token, "shred"},
                                         QStringList{"link", "not a link!", "copy"}, QStringList{"link", token, "copy", "--yes"}}) {
            run = demo.kavo(wrong);
            QCOMPARE(run.code, 2);
            QVERIFY2(run.err.contains("usage: kavo link"), run.err.constData());
        }
        QVERIFY(!demo.printed.contains("open sesame"));
    }

    // On a terminal the password is typed without echo; deleting a link made by an upload
    // removes its Drive file too.
    void typedPasswordAndDeleteWithTheCloudFile()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        const HistoryItem first = awaitTask(demo.api.fetchHistory(1)).value().first();
        QCOMPARE(QDir(demo.path("state/drive")).entryList(QDir::Files).size(), 1);

        const Demo::Run typed = onTerminal(demo, {"link", first.viewURL, "password"}, "hunter two\n");
        QCOMPARE(typed.code, 0);
        QVERIFY2(typed.out.contains("New password:"), typed.out.constData());
        QVERIFY(!typed.out.contains("hunter"));
        QCOMPARE(demo.download(first.token, "password=hunter%20two")->status, 200);

        const Demo::Run deleted = demo.kavo({"link", first.token, "delete", "--yes"});
        QCOMPARE(deleted.code, 0);
        QCOMPARE(deleted.err, QByteArray());
        QCOMPARE(QDir(demo.path("state/drive")).entryList(QDir::Files), QStringList());
        QVERIFY(!demo.printed.contains("hunter"));
        QVERIFY(demo.printedNoSecret(GoogleAuth::keychainAccount));
    }

    // A name made of terminal escape sequences (retitle the window, clear the screen, turn the
    // text around) is printed escaped by every command, byte for byte; JSON stays JSON.
    void namesWithEscapeSequencesArePrintedEscaped()
    {
        Demo demo;
        START_DEVSTACK(demo);
        const QByteArray raw = "x\x1b]0;owned\x07\x1b[2J\xe2\x80\xae"
                               "fdp.exe";
        const QByteArray escaped = "x\\x1b]0;owned\\x07\\x1b[2J\\u202efdp.exe";
        writeFile(demo.path("files/" + QString::fromUtf8(raw)), "escape");
        const QString token = demo.share(demo.path("files/" + QString::fromUtf8(raw)), googleBrowser);
        QVERIFY2(!token.isEmpty(), demo.shareErrors.constData());
        QVERIFY2(demo.shareErrors.contains(QByteArray("kavo: Uploading " + escaped + "\n")), demo.shareErrors.constData());

        const Demo::Run table = onTerminal(demo, {"links"});
        QCOMPARE(table.code, 0);
        QVERIFY2(table.out.contains(QByteArray("\n" + escaped + "  ")), table.out.constData());
        QCOMPARE(jsonLines(demo.kavo({"links"}).out).value(0)["name"].toString(), QString::fromUtf8(raw));

        const Demo::Run same = demo.kavo({"link", token, "rename", QString::fromUtf8(raw)});
        QCOMPARE(same.err, QByteArray("kavo: It is already called " + escaped + ".\n"));
        const Demo::Run missing = demo.kavo({"link", "zz\x1b[8m", "copy"});
        QVERIFY2(missing.err.startsWith("kavo: \"zz\\x1b[8m\" is neither a share link nor a link token\n"), missing.err.constData());
        for (const char control : {'\x1b', '\x07'})
            QVERIFY2(!demo.printed.contains(control), demo.printed.constData());
        QVERIFY(!demo.printed.contains("\xe2\x80\xae"));
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
