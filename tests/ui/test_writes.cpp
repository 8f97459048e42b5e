// Every file a whole mix creates, opens for writing, renames or removes, the toolkit's and the
// libraries' included: a mix through the real window and its dialogs runs under strace, and each
// write is held against the places docs/DESIGN.md names.
#include "Form1.h"
#include "Paths.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

using namespace blendora;

namespace {

constexpr uid_t kOther = 4321, kNobody = 65534;
const QByteArray kSecret("only root may read this\n");

// The person at the window: fills each file dialog by typing and Return, says Yes to a question
// and OK to a message, and tells each message on standard output. A dialog still there a second
// later (a busy machine gave the key to the completer's list) is answered again.
int mixThroughDialogs(const QStringList& opens, const QString& save) {
    // Gone with strace, should the row give up on it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    test::RecordingShell shell;
    Form1 form(Form1Seams{nullptr, &shell, nullptr, [] { return 0.5; }, [] {}});
    QStringList toOpen = opens;
    QPointer<QWidget> answered;
    QString given;
    int waited = 0;
    QTimer person;
    QObject::connect(&person, &QTimer::timeout, [&] {
        QWidget* shown = QApplication::activeModalWidget();
        if (!shown || (shown == answered && ++waited < 20))
            return;
        waited = 0;
        if (auto* dialog = qobject_cast<QFileDialog*>(shown)) {
            if (shown != answered)
                given = dialog->acceptMode() == QFileDialog::AcceptSave ? save : toOpen.takeFirst();
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            edit->setText(given);
            // Outside this slot: a box the key opens would hold it, and the person with it.
            QTimer::singleShot(0, edit, [edit] { QTest::keyClick(edit, Qt::Key_Return); });
        } else if (auto* box = qobject_cast<QMessageBox*>(shown); box && shown != answered) {
            std::printf("%s\n", qPrintable(box->text().simplified()));
            std::fflush(stdout);
            QAbstractButton* yes = box->button(QMessageBox::Yes);
            QTimer::singleShot(0, box,
                               [box, yes] { (yes ? yes : box->buttons().constFirst())->click(); });
        }
        answered = shown;
    });
    person.start(50);
    if (!form.Form_Load())
        return 2;
    form.show();
    form.PushButton1_Click();
    form.PushButton3_Click();
    form.PushButton2_Click();
    form.Form_QueryUnload();
    return 0;
}

// The places the design lets a run write to, with its placeholders filled; a place whose
// placeholder this run has no value for is no place for it.
QList<QRegularExpression> allowedPlaces(const QMap<QString, QString>& values) {
    const QString design =
        QString::fromUtf8(test::readAll(QStringLiteral(BLENDORA_SOURCE_DIR "/docs/DESIGN.md")));
    const QString block = design.section(QStringLiteral("<!-- writes -->"), 1, 1);
    QList<QRegularExpression> places;
    for (QString line : block.split('\n')) {
        line = line.section(QLatin1Char(' '), 0, 0);
        if (!line.startsWith('/') && !line.startsWith('{'))
            continue;
        QString pattern = QRegularExpression::escape(line).replace("\\*", "[^/]*");
        bool known = true;
        static const QRegularExpression placeholder("\\\\\\{([A-Z]+)\\\\\\}");
        for (auto m = placeholder.match(pattern); m.hasMatch(); m = placeholder.match(pattern))
            if (values.contains(m.captured(1)))
                pattern.replace(m.captured(0), QRegularExpression::escape(values[m.captured(1)]));
            else
                known = false, pattern.replace(m.captured(0), QString());
        if (known)
            places << QRegularExpression('^' + pattern + "(/.*)?$");
    }
    return places;
}

// Each path a process's trace shows created, opened for writing, renamed or removed. A name
// reached through /proc/self/fd/N is the folder N was when the trace last showed it.
QStringList writtenPaths(const QByteArray& trace) {
    static const QRegularExpression call(R"re(^(\w+)\((.*)\) = (-?\d+)(?:<([^>]*)>)?)re");
    static const QRegularExpression decorated(R"re((\d+)<([^>]*)>)re");
    static const QRegularExpression argument("(?:(?:\\d+|AT_FDCWD)<([^>]*)>, )?\"([^\"]*)\"");
    static const QRegularExpression writing("O_WRONLY|O_RDWR|O_CREAT|O_TRUNC");
    QMap<QString, QString> held;
    QStringList paths;
    for (const QByteArray& raw : trace.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const auto m = call.match(line);
        for (auto it = decorated.globalMatch(line); it.hasNext();) {
            const auto d = it.next();
            held["/proc/self/fd/" + d.captured(1) + '/'] = d.captured(2) + '/';
        }
        const QString name = m.captured(1);
        if (!m.hasMatch() || m.captured(3).toLongLong() < 0)
            continue;
        if (name.startsWith("open") || name == "creat") {
            if (name == "creat" || m.captured(2).contains(writing))
                paths << m.captured(4);
            continue;
        }
        QStringList named;
        for (auto it = argument.globalMatch(m.captured(2)); it.hasNext();) {
            const auto a = it.next();
            QString path =
                a.captured(2).startsWith('/') ? a.captured(2) : a.captured(1) + '/' + a.captured(2);
            for (auto fd = held.cbegin(); fd != held.cend(); ++fd)
                if (path.startsWith(fd.key()))
                    path = fd.value() + path.mid(fd.key().size());
            named << path;
        }
        // A link's first name is only read, a symbolic link's only text.
        paths << (name.startsWith("link") || name.startsWith("symlink") ? named.mid(1) : named);
    }
    return paths;
}

void giveTo(const QString& path, uid_t user, mode_t mode) {
    QVERIFY(::lchown(nativePath(path).constData(), user, user) == 0);
    if (mode)
        QVERIFY(::chmod(nativePath(path).constData(), mode) == 0);
}

} // namespace

class TestWrites : public QObject {
    Q_OBJECT

    enum Stage { OtherUsersHome, RootsConfigInTheirHome, NoHome, SharedConfig };

  private slots:
    void everyWrite_data() {
        QTest::addColumn<int>("stage");
        QTest::newRow("root with another user's HOME, QtProject.conf a link to root's file")
            << int(OtherUsersHome);
        QTest::newRow("root with another user's HOME, its .config made by root before")
            << int(RootsConfigInTheirHome);
        QTest::newRow("root without HOME") << int(NoHome);
        QTest::newRow("a settings folder open to all, QtProject.conf linked by another user")
            << int(SharedConfig);
    }

    void everyWrite() {
        QFETCH(int, stage);
        if (::geteuid() != 0)
            TEST_SKIP("the rows stage other users' files: only root can");
        const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
        if (strace.isEmpty())
            TEST_SKIP("strace lists the writes: it is not installed");
        QTemporaryDir base;
        const QString root = base.path();
        const QString in = root + "/in", out = root + "/out", temp = root + "/temp",
                      home = root + "/home", shared = root + "/shared";
        for (const QString& folder : {in, out, temp, home + "/.config", shared})
            QVERIFY(QDir().mkpath(folder));
        giveTo(root, 0, 0755);
        const QStringList inputs{test::makeToneMp3(in, "first", 44100, 2, 1, 440),
                                 test::makeToneMp3(in, "second", 44100, 2, 1, 660)};
        test::writeAll(out + "/mixed.mp3", "an earlier mix\n");
        test::writeAll(root + "/secret", kSecret);
        giveTo(root + "/secret", 0, 0600);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"TEMP", "TMPDIR", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(name);
        env.insert("TEMP", temp);
        env.insert("HOME", home);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QMap<QString, QString> places{{"TEMP", temp}, {"OUT", out}, {"NAME", "mixed.mp3"}};
        QStringList command{strace,
                            "-ff",
                            "-qq",
                            "-y",
                            "-o",
                            root + "/trace",
                            "-e",
                            "trace=open,openat,creat,mkdir,mkdirat,rename,renameat,renameat2,"
                            "unlink,unlinkat,rmdir,link,linkat,symlink,symlinkat,truncate"};
        QString victim = root + "/secret";
        QByteArray victimBytes = kSecret;
        if (stage == OtherUsersHome) {
            QVERIFY(QFile::link(victim, home + "/.config/QtProject.conf"));
            for (const QString& path : {home, home + "/.config", home + "/.config/QtProject.conf"})
                giveTo(path, kOther, 0);
        } else if (stage == RootsConfigInTheirHome) {
            giveTo(home, kOther, 0);
        } else if (stage == NoHome) {
            env.remove("HOME");
        } else {
            // The person is kOther; nobody has linked the toolkit's file to one of theirs.
            victim = home + "/notes.txt";
            victimBytes = "the person's own notes\n";
            test::writeAll(victim, victimBytes);
            QVERIFY(QFile::link(victim, shared + "/QtProject.conf"));
            giveTo(shared + "/QtProject.conf", kNobody, 0);
            giveTo(shared, 0, 01777);
            for (const QString& path :
                 {in, out, out + "/mixed.mp3", temp, home, home + "/.config", victim})
                giveTo(path, kOther, 0);
            env.insert("XDG_CONFIG_HOME", shared);
            places["CONFIG"] = shared;
            command << QStandardPaths::findExecutable("setpriv") << "--reuid=4321"
                    << "--regid=4321"
                    << "--clear-groups";
        }
        QProcess child;
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(root);
        child.start(command.takeFirst(),
                    command + QStringList{QCoreApplication::applicationFilePath(), "--dialogs",
                                          inputs[0], inputs[1], out + "/mixed.mp3"});
        const bool ended = child.waitForFinished(120000);
        child.kill();
        child.waitForFinished();
        const QString said = QString::fromUtf8(child.readAllStandardOutput());
        QVERIFY2(ended, qPrintable("the mix did not end; it said: " + said));
        QVERIFY2(said.contains("already exists") && said.trimmed().endsWith("Done."),
                 qPrintable(said + child.readAllStandardError()));
        QCOMPARE(test::readAll(victim), victimBytes);

        const QList<QRegularExpression> allowed = allowedPlaces(places);
        QStringList strays;
        QStringList written;
        for (const QString& trace : QDir(root).entryList({"trace.*"}))
            written << writtenPaths(test::readAll(root + '/' + trace));
        for (const QString& path : written)
            if (std::none_of(allowed.begin(), allowed.end(),
                             [&](const QRegularExpression& place) {
                                 return place.match(path).hasMatch();
                             }) &&
                !strays.contains(path))
                strays << path;
        QVERIFY2(strays.isEmpty(), qPrintable("writes in no place of the design: " +
                                              strays.join(QStringLiteral(", "))));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--dialogs")
        return mixThroughDialogs({QFile::decodeName(argv[2]), QFile::decodeName(argv[3])},
                                 QFile::decodeName(argv[4]));
    TestWrites suite;
    return test::finish(QTest::qExec(&suite, argc, argv));
}

#include "test_writes.moc"
