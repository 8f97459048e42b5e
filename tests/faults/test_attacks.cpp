// A second user against the job: only root can stage it.
#include "Harness.h"

using namespace blendora;
using namespace blendora::faults;

class TestAttacks : public Suite {
    Q_OBJECT

  private slots:
    // A second user against the job, run by root and by an ordinary user: what they plant in
    // the folders they can write, and the ways a process can be handed odd state.
    void attacks_data() {
        QTest::addColumn<Row>("row");
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        // The attacker starts before the job, as nobody, watching the folder it can write; the
        // job starts once it says it watches, and what it did after joins the row's `did`.
        auto attacker = [setpriv](const QString& kind, QString Place::*folder,
                                  const QString& victim, gid_t group = kNobody) {
            return [=](Place& p) {
                auto proc = std::make_shared<QProcess>();
                proc->start(setpriv,
                            {"--reuid=65534", QStringLiteral("--regid=%1").arg(group),
                             "--clear-groups", "--", QCoreApplication::applicationFilePath(),
                             "--attack", kind, p.*folder, p.root + "/" + victim});
                if (!proc->waitForReadyRead(30000) || proc->readLine() != "watching\n")
                    p.skip = QStringLiteral("the attacker did not start watching");
                p.attacker = proc;
                p.undo.push_back([proc] {
                    proc->kill();
                    proc->waitForFinished();
                });
            };
        };
        // The runner's own file and folder, and where the attacker's encoder would leave a mark.
        auto victims = [](uid_t runner, mode_t temp, uid_t tempOwner) {
            return [=](Place& p) {
                test::writeAll(p.root + "/victim", kSecret);
                QDir().mkpath(p.root + "/victim-folder");
                test::writeAll(p.root + "/victim-folder/a", "a");
                test::writeAll(p.root + "/victim-folder/b", "b");
                for (const char* v : {"/victim", "/victim-folder", "/victim-folder/a"})
                    ::chown(nativePath(p.root + v).constData(), runner, runner);
                ::chmod(nativePath(p.root + "/victim").constData(), 0600);
                ::chmod(nativePath(p.root + "/victim-folder").constData(), 0700);
                ::chown(nativePath(p.temp).constData(), tempOwner, tempOwner);
                ::chmod(nativePath(p.temp).constData(), temp);
                ::chmod(nativePath(p.out).constData(), 0777);
                ::chmod(nativePath(p.root).constData(), 0755);
            };
        };
        // `passedOver`: the job had to work in the private folder instead of the TEMP attacked,
        // and say so; the attacker, who watched TEMP, found nothing to do.
        auto unharmed = [](const QString& expect, bool passedOver = false) {
            return [=](Place& p, const QString& said) {
                QStringList problems;
                const QString elsewhere =
                    " can be changed by other users, so Blendora works in " + p.root + "/runtime";
                if (passedOver && !p.said.join('\n').contains(elsewhere))
                    problems << "TEMP not said to be passed over: " + p.said.join(" | ");
                if (passedOver && !p.did.isEmpty())
                    problems << "the attacker acted in a TEMP passed over: " + p.did.join("; ");
                if (!said.startsWith(expect))
                    problems << "expected \"" + expect + "\": " + said;
                if (QFile::exists(p.root + "/pwned"))
                    problems << QStringLiteral("the attacker's encoder ran");
                if (test::readAll(p.root + "/victim") != kSecret)
                    problems << QStringLiteral("the victim's file was written");
                if (QDir(p.root + "/victim-folder").entryList(QDir::Files) != QStringList{"a", "b"})
                    problems << QStringLiteral("the victim's folder lost its files");
                struct stat st;
                const QString out = p.out + "/mixed.mp3";
                if (expect == kDone &&
                    (::lstat(nativePath(out).constData(), &st) != 0 || !S_ISREG(st.st_mode)))
                    problems << QStringLiteral("the output is no file of the mix");
                else if (expect == kDone)
                    problems << soundProblems(out, {2.0, 0, 0});
                if (expect != kDone && test::readAll(out).startsWith("a newer mix") == false &&
                    QFile::exists(out))
                    problems << QStringLiteral("the newer file at the name was replaced");
                return problems;
            };
        };
        auto both = [](Setup a, Setup b) {
            return [=](Place& p) {
                a(p);
                b(p);
            };
        };
        for (const uid_t runner : {uid_t(0), kOther}) {
            const char* who = runner ? "an ordinary user" : "root";
            // `attack`: the attacker's words for what it did; none where TEMP is passed over.
            const auto row = [&](const char* name, Setup lastly, const QString& attack,
                                 Setup setup = {}, const QString& expect = kDone) {
                Row r{.setup =
                          [=](Place& p) {
                              p.env.insert("ROW", p.root);
                              p.tempFolders << p.root + "/runtime";
                              if (setup)
                                  setup(p);
                              p.lastly.push_back([&p, lastly] { lastly(p); });
                          },
                      .expect = expect,
                      .reason = expect == kNoFile ? QStringLiteral("was changed") : QString(),
                      .as = runner,
                      .check = unharmed(expect, attack.isEmpty()),
                      .root = true,
                      .attack = attack};
                QTest::addRow("%s, %s mixing", name, who) << r;
            };
            const auto others = victims(runner, 0777, kNobody);
            row("TEMP another user's: the encoder swapped",
                both(others, attacker("encoder", &Place::temp, "pwned")), {});
            row("TEMP another user's: temp2.wav a link to the victim's file",
                both(others, attacker("wav", &Place::temp, "victim")), {});
            row("TEMP another user's: the job folder a link to the victim's folder",
                both(others, attacker("folder", &Place::temp, "victim-folder")), {});
            row("TEMP shared without the sticky bit: the encoder swapped",
                both(victims(runner, 0777, runner), attacker("encoder", &Place::temp, "pwned")),
                {});
            // strace holds the save's rename for a second: the window the attacker needs.
            const QStringList held{"strace",
                                   "-f",
                                   "-qq",
                                   "-o",
                                   "/dev/null",
                                   "-e",
                                   "trace=renameat2",
                                   "-e",
                                   "inject=renameat2:delay_enter=1000000"};
            row("the temporary beside the output swapped for a link during the save",
                both(victims(runner, 0755, runner), attacker("beside", &Place::out, "victim")),
                "to the victim", [held](Place& p) { p.wrapper = held; });
            // NFS, 9p and FUSE refuse RENAME_NOREPLACE; a file written meanwhile stays.
            QStringList refused = held;
            refused.last() = "inject=renameat2:error=EINVAL:delay_enter=1000000";
            row(
                "a file appears at the name where renames cannot refuse to replace",
                both(victims(runner, 0755, runner), attacker("appear", &Place::out, "victim")),
                "wrote a newer mixed.mp3", [refused](Place& p) { p.wrapper = refused; }, kNoFile);
        }
        // TEMP writable by root's group, a group of root's own name and no listed members: a
        // process of that group swaps the new job folder for a link to root's folder while
        // strace holds the mkdir's return.
        QTest::newRow("TEMP of root's group: the new job folder swapped for a link, root mixing")
            << Row{.setup =
                       [=](Place& p) {
                           p.env.insert("ROW", p.root);
                           p.wrapper = QStringList{"strace",
                                                   "-f",
                                                   "-qq",
                                                   "-o",
                                                   "/dev/null",
                                                   "-e",
                                                   "trace=mkdirat",
                                                   "-e",
                                                   "inject=mkdirat:delay_exit=300000"};
                           victims(0, 0770, 0)(p);
                           attacker("folder", &Place::temp, "victim-folder", 0)(p);
                       },
                   .expect = kNoFile,
                   .reason = "replaced the new job folder",
                   .during =
                       [](Place& p, QProcess& job) {
                           job.waitForFinished(120000);
                           // The attacker's link stays for its owner to remove.
                           for (const QFileInfo& link : QDir(p.temp).entryInfoList(
                                    {"blendora-job-*"}, QDir::System | QDir::Dirs))
                               if (link.isSymLink())
                                   QFile::remove(link.filePath());
                           return false;
                       },
                   .check = unharmed(kNoFile),
                   .root = true,
                   .attack = "to the victim"};
    }
    void attacks() { run(); }
};

BLENDORA_FAULTS_MAIN(TestAttacks)

#include "test_attacks.moc"
