// Rows as user nobody or against another user's files: only root can stage them.
#include "Harness.h"

using namespace blendora;
using namespace blendora::faults;

class TestOtherUsers : public Suite {
    Q_OBJECT

  private slots:
    // Jobs run as user nobody where it may not read or write.
    void asNobody_data() {
        QTest::addColumn<Row>("row");
        QTest::newRow("output read-only file (nobody)")
            << Row{.existing = true,
                   .setup =
                       [](Place& p) {
                           p.lastly.push_back([&p] {
                               QFile::setPermissions(p.out + "/mixed.mp3", QFile::ReadOwner |
                                                                               QFile::ReadGroup |
                                                                               QFile::ReadOther);
                           });
                       },
                   .nobody = true,
                   .expect = kNoFile,
                   .reason = "mixed.mp3 cannot be replaced"};
        QTest::newRow("output folder read-only (nobody)")
            << Row{.setup = [](Place& p) { p.lastly.push_back([&p] { giveTo(p.out, 0); }); },
                   .nobody = true,
                   .expect = kNoFile};
        QTest::newRow("first input unreadable (nobody)")
            << Row{.setup =
                       [](Place& p) {
                           p.lastly.push_back([&p] {
                               const QByteArray first = nativePath(p.in + "/first.mp3");
                               ::chown(first.constData(), 0, 0);
                               ::chmod(first.constData(), 0600);
                           });
                       },
                   .nobody = true,
                   .expect = kNoFile,
                   .reason = "first"};
        QTest::newRow("second input in a folder nobody may enter (nobody)")
            << Row{.two = [](Place& p) { return p.copy("locked/second.mp3", p.files.toneB); },
                   .setup =
                       [](Place& p) {
                           p.lastly.push_back([&p] {
                               giveTo(p.in + "/locked", 0);
                               ::chmod(nativePath(p.in + "/locked").constData(), 0700);
                           });
                       },
                   .nobody = true,
                   .expect = "Second mp3 file not found."};
        QTest::newRow("TEMP read-only (nobody)")
            << Row{.setup = [](Place& p) { p.lastly.push_back([&p] { giveTo(p.temp, 0); }); },
                   .nobody = true,
                   .expect = kNoFile,
                   .reason = "Permission denied"};
    }
    void asNobody() { run(); }

    // Folders and files of another user at TEMP and at the output's name.
    void othersFolders_data() {
        QTest::addColumn<Row>("row");
        // The kernel takes ".." from where a link leads, a spelling of the path from the link's
        // own folder: the folder judged by its name is not the one opened, another user's.
        QTest::newRow("TEMP spelt through a link and '..', another user's folder")
            << Row{.setup =
                       [](Place& p) {
                           const QString theirs = p.root + "/theirs";
                           QDir().mkpath(theirs);
                           QDir().mkpath(p.root + "/private/inner");
                           QFile::link(p.root + "/private/inner", theirs + "/link");
                           p.env.insert("TEMP", theirs + "/link/..");
                           p.tempFolders << theirs << p.root + "/private";
                           p.lastly.push_back([&p, theirs] {
                               ::chown(nativePath(theirs).constData(), kNobody, kNobody);
                               ::chmod(nativePath(theirs).constData(), 0777);
                               struct stat st;
                               if (::lstat(nativePath(theirs).constData(), &st) == 0 &&
                                   st.st_uid == kNobody && (st.st_mode & 0777) == 0777 &&
                                   QFileInfo(theirs + "/link").isSymLink())
                                   p.did << "the link stands in a folder of nobody's";
                           });
                       },
                   .expect = kNoFile,
                   .reason = "changed by someone else",
                   .root = true,
                   .attack = "the link stands"};
        // A 0600 file of the user who mixes, and the output folder shared with mode `shared`.
        auto victimBeside = [](mode_t shared, uid_t runner, std::function<void(Place&)> then = {}) {
            return [=](Place& p) {
                p.env.insert("ROW", p.root);
                p.lastly.push_back([&p, shared, runner, then] {
                    const QByteArray victim = nativePath(p.root + "/victim");
                    test::writeAll(p.root + "/victim", kSecret);
                    ::chown(victim.constData(), runner, runner);
                    ::chmod(victim.constData(), 0600);
                    ::chown(nativePath(p.out).constData(), 0, 0);
                    ::chmod(nativePath(p.out).constData(), shared);
                    if (then)
                        then(p);
                });
            };
        };
        auto plantLink = [](Place& p) {
            const QByteArray at = nativePath(p.out + "/mixed.mp3");
            if (::symlink(nativePath(p.root + "/victim").constData(), at.constData()) == 0 &&
                ::lchown(at.constData(), kNobody, kNobody) == 0)
                p.did << "planted a link at the output name before the dialog";
        };
        auto victimKept = [](Place& p, uid_t runner) {
            struct stat st;
            if (::lstat(nativePath(p.root + "/victim").constData(), &st) != 0 ||
                test::readAll(p.root + "/victim") != kSecret || (st.st_mode & 07777) != 0600 ||
                st.st_uid != runner)
                return QStringList{"the victim's bytes, mode or owner changed"};
            return QStringList();
        };
        const QStringList mixed{"mixed.mp3"};

        for (const bool sticky : {true, false})
            for (const uid_t runner : {uid_t(0), kOther})
                for (const bool whileDecoding : {false, true}) {
                    Row row{.expect = kNoFile,
                            .as = runner,
                            .root = true,
                            .attack = "planted a link at the output name"};
                    row.setup =
                        victimBeside(sticky ? 01777 : 0777, runner,
                                     whileDecoding ? std::function<void(Place&)>() : plantLink);
                    Snapshot::Kind kind = Snapshot::Other; // the link stays
                    if (whileDecoding) {
                        row.setup = [setup = row.setup](Place& p) {
                            setup(p);
                            p.env.insert("PLANT_WHILE_DECODING", p.root + "/victim");
                        };
                        row.reason = "was changed";
                    } else if (sticky && runner) {
                        row.reason = "cannot be replaced";
                    } else {
                        row.expect = kDone; // the link is replaced as a name
                        kind = Snapshot::File;
                    }
                    row.check = [=](Place& p, const QString& said) {
                        QStringList problems = victimKept(p, runner) + leftAtOutput(p, mixed, kind);
                        struct stat st;
                        if (kind == Snapshot::File &&
                            (::lstat(nativePath(p.out + "/mixed.mp3").constData(), &st) != 0 ||
                             st.st_uid != runner))
                            problems << "the new file is not the runner's: " + said;
                        return problems;
                    };
                    QTest::addRow("link planted %s, %s folder%s",
                                  whileDecoding ? "while decoding" : "before the dialog",
                                  sticky ? "sticky shared" : "shared",
                                  runner ? " (another user)" : "")
                        << row;
                }

        // Root replaces a file of nobody's: the owner stays, the set-id bits go. Another user
        // makes it their own, with the umask applied as to a file of their own making.
        const mode_t umask = ::umask(0);
        ::umask(umask);
        for (const auto& [who, how] : {std::pair{uid_t(0), mode_t(06777)},
                                       {uid_t(0), mode_t(0600)},
                                       {kOther, mode_t(0666)}}) {
            const uid_t runner = who;
            const mode_t mode = how;
            QTest::addRow("%s replaces nobody's %04o file", runner ? "another user" : "root", mode)
                << Row{.existing = true,
                       .setup =
                           [mode](Place& p) {
                               p.lastly.push_back([&p, mode] {
                                   const QByteArray out = nativePath(p.out + "/mixed.mp3");
                                   ::chown(out.constData(), kNobody, kNobody);
                                   ::chmod(out.constData(), mode);
                               });
                           },
                       .as = runner,
                       .check =
                           [=](Place& p, const QString& said) {
                               struct stat st;
                               ::lstat(nativePath(p.out + "/mixed.mp3").constData(), &st);
                               QStringList problems = leftAtOutput(p, mixed, Snapshot::File);
                               const uid_t owner = runner ? runner : kNobody;
                               if (st.st_uid != owner || st.st_gid != owner ||
                                   (st.st_mode & 07777) != (mode & 0777 & ~(runner ? umask : 0)))
                                   problems << QStringLiteral("the new file is %1:%2 mode %3: %4")
                                                   .arg(st.st_uid)
                                                   .arg(st.st_gid)
                                                   .arg(st.st_mode & 07777, 0, 8)
                                                   .arg(said);
                               return problems;
                           },
                       .root = true};
        }
    }
    void othersFolders() { run(); }

    // Settings of another user's, or reached through another user's links.
    void othersSettings_data() {
        QTest::addColumn<std::function<QString(Place&)>>("setup");
        QTest::addColumn<bool>("nobody");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("atStart");
        QTest::addColumn<AfterFiles>("after");
        const QString kept = "/stored/one.mp3";
        auto ownConfig = [](Place& p) {
            p.env.remove("XDG_CONFIG_HOME");
            QDir().mkpath(p.root + "/home/.config");
            return p.root + "/home/.config/Quorvane.ini";
        };
        QTest::newRow("settings file read-only, paths stored (nobody)")
            << std::function([kept](Place& p) {
                   const QString file = p.root + "/config/Quorvane.ini";
                   test::writeAll(file, "[Blendora]\nText1=" + kept.toUtf8() + "\nText2=/b.mp3\n");
                   p.lastly.push_back([file] { QFile::setPermissions(file, QFile::ReadOwner); });
                   return file;
               })
            << true << kept << false << AfterFiles();
        QTest::newRow("~/.config read-only (nobody)") << std::function([ownConfig](Place& p) {
            const QString file = ownConfig(p);
            p.lastly.push_back([&p] { giveTo(p.root + "/home/.config", 0); });
            return file;
        }) << true << QString() << false << AfterFiles();
        QTest::newRow("HOME read-only (nobody)") << std::function([](Place& p) {
            p.env.remove("XDG_CONFIG_HOME");
            p.lastly.push_back([&p] { giveTo(p.root + "/home", 0); });
            return p.root + "/home/.config/Quorvane.ini";
        }) << true << QString() << false << AfterFiles();
        // The planter's word, once everything is given away: a link of `owner`'s stands at `at`.
        auto planted = [](Place& p, const QString& at, uid_t owner) {
            p.lastly.push_back([&p, at, owner] {
                struct stat st;
                if (::lstat(nativePath(at).constData(), &st) == 0 && S_ISLNK(st.st_mode) &&
                    st.st_uid == owner)
                    p.did << QStringLiteral("a link of user %1 stands at %2").arg(owner).arg(at);
            });
        };
        // Root with a HOME of someone else's, who made the settings file a link to a file only
        // root may read: none of it shows in the fields.
        const QByteArray rootOnly = "[Blendora]\nText1=/root/only.mp3\n";
        QTest::newRow("attack: settings a link to root's file, in another user's HOME")
            << std::function([rootOnly, planted](Place& p) {
                   p.env.remove("XDG_CONFIG_HOME");
                   QDir().mkpath(p.root + "/home/.config");
                   test::writeAll(p.root + "/victim", rootOnly);
                   QFile::setPermissions(p.root + "/victim", QFile::ReadOwner | QFile::WriteOwner);
                   QFile::link(p.root + "/victim", p.root + "/home/.config/Quorvane.ini");
                   giveTo(p.root + "/home", kOther);
                   planted(p, p.root + "/home/.config/Quorvane.ini", kOther);
                   return p.root + "/home/.config/Quorvane.ini";
               })
            << false << QString() << true << AfterFiles{{"victim", rootOnly}};
        // The same user made ~/.config a link to a folder of root's.
        QTest::newRow("attack: ~/.config a link to root's folder, in another user's HOME")
            << std::function([planted](Place& p) {
                   p.env.remove("XDG_CONFIG_HOME");
                   QDir().mkpath(p.root + "/rootconfig");
                   QFile::link(p.root + "/rootconfig", p.root + "/home/.config");
                   giveTo(p.root + "/home", kOther);
                   planted(p, p.root + "/home/.config", kOther);
                   return p.root + "/home/.config/Quorvane.ini";
               })
            << false << QString() << false << AfterFiles{{"rootconfig/Quorvane.ini", {}}};
        // Root's own settings folder reached through a link another user owns: judged as the link.
        QTest::newRow("attack: XDG_CONFIG_HOME another user's link to root's folder")
            << std::function([planted](Place& p) {
                   QDir().mkpath(p.root + "/rootconfig");
                   QFile::link(p.root + "/rootconfig", p.root + "/link");
                   ::lchown(nativePath(p.root + "/link").constData(), kOther, kOther);
                   planted(p, p.root + "/link", kOther);
                   p.env.insert("XDG_CONFIG_HOME", p.root + "/link");
                   return p.root + "/link/Quorvane.ini";
               })
            << false << QString() << false << AfterFiles{{"rootconfig/Quorvane.ini", {}}};
        // Root's settings in a folder anyone may write, without the sticky bit: whoever writes
        // there can swap the settings folder under root.
        QTest::newRow("attack: XDG_CONFIG_HOME in a folder open to all, not sticky")
            << std::function([](Place& p) {
                   const QString open = p.root + "/open";
                   QDir().mkpath(open + "/config");
                   p.lastly.push_back([&p, open] {
                       struct stat st;
                       if (::chmod(nativePath(open).constData(), 0777) == 0 &&
                           ::stat(nativePath(open).constData(), &st) == 0 &&
                           (st.st_mode & 07777) == 0777)
                           p.did << QStringLiteral("%1 is open to all").arg(open);
                   });
                   p.env.insert("XDG_CONFIG_HOME", open + "/config");
                   return open + "/config/Quorvane.ini";
               })
            << false << QString() << false << AfterFiles{{"open/config/Quorvane.ini", {}}};
        // A settings folder others can write (a shared account's): the link another user put at
        // the name is replaced, never written through to the user's own file it points at.
        QTest::newRow("attack: settings a link to the user's file, in a shared folder (nobody)")
            << std::function([planted](Place& p) {
                   test::writeAll(p.root + "/victim", kSecret);
                   const QString file = p.root + "/config/Quorvane.ini";
                   QFile::link(p.root + "/victim", file);
                   p.lastly.push_back([&p, file] {
                       ::chmod(nativePath(p.root + "/victim").constData(), 0600);
                       ::chown(nativePath(p.root + "/config").constData(), 0, 0);
                       ::chmod(nativePath(p.root + "/config").constData(), 0777);
                       ::lchown(nativePath(file).constData(), kOther, kOther);
                   });
                   planted(p, file, kOther);
                   return file;
               })
            << true << QString() << true
            << AfterFiles{{"victim", kSecret},
                          {"config/Quorvane.ini", "[Blendora]\nText1=ab\nText2=c\n"}};
        // In a settings folder others can write, another user gives the lock's name to a file of
        // the user's: a second name of it (where links to others' files are allowed), or one that
        // anyone may write, moved there. Nothing is ever written into it.
        for (const bool linked : {true, false})
            QTest::addRow("attack: the lock %s, in a shared folder (nobody)",
                          linked ? "a second name of the user's file"
                                 : "the user's file anyone may write")
                << std::function([linked](Place& p) {
                       const QString lock = p.root + "/config/Quorvane.ini.lock";
                       const QString victim = linked ? p.root + "/victim" : lock;
                       test::writeAll(victim, kSecret);
                       if (linked)
                           ::link(nativePath(victim).constData(), nativePath(lock).constData());
                       p.lastly.push_back([&p, victim, lock, linked] {
                           ::chmod(nativePath(victim).constData(), linked ? 0600 : 0666);
                           ::chown(nativePath(p.root + "/config").constData(), 0, 0);
                           ::chmod(nativePath(p.root + "/config").constData(), 0777);
                           struct stat st;
                           if (::lstat(nativePath(lock).constData(), &st) == 0 &&
                               st.st_uid == kNobody &&
                               (st.st_mode & 07777) == (linked ? 0600u : 0666u) &&
                               st.st_nlink == (linked ? 2u : 1u))
                               p.did
                                   << QStringLiteral("the lock's name stands for the user's file");
                       });
                       return QString();
                   })
                << true << QString() << false
                << AfterFiles{{linked ? "victim" : "config/Quorvane.ini.lock", kSecret},
                              {"config/Quorvane.ini", "[Blendora]\nText1=ab\nText2=c\n"}};
    }
    void othersSettings() { runSettings(); }
};

BLENDORA_FAULTS_MAIN(TestOtherUsers)

#include "test_otherusers.moc"
