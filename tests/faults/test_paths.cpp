// Odd names and paths for the inputs and the output.
#include "Harness.h"

using namespace blendora;
using namespace blendora::faults;

class TestPaths : public Suite {
    Q_OBJECT

  private slots:
    void paths_data() {
        QTest::addColumn<Row>("row");
        // Both inputs and the output under the same kind of name.
        auto named = [](const QString& one, const QString& two, const QString& out) {
            return Row{.one = [one](Place& p) { return p.copy(one, p.files.toneA); },
                       .two = [two](Place& p) { return p.copy(two, p.files.toneB); },
                       .out = [out](Place& p) { return p.out + "/" + out; }};
        };
        Row spaces = named("first song.mp3", "second  song .mp3", "mixed result.mp3");
        spaces.existing = true; // replaced by a good mix
        QTest::newRow("spaces, over an existing file") << spaces;
        QTest::newRow("quotes") << named("it's \"one\".mp3", "'two'.mp3", "\"mixed\" 'it'.mp3");
        QTest::newRow("dollar and semicolon")
            << named("$HOME;ls.mp3", "${PATH}.mp3", "$(date);rm -rf x.mp3");
        QTest::newRow("star") << named("*.mp3", "a*b?.mp3", "*.mp3");
        QTest::newRow("newline") << named("line\nbreak.mp3", "two\nlines\n.mp3", "mixed\nout.mp3");
        const QString longName = QString(246, 'n') + ".mp3";
        QTest::newRow("250-byte names") << named(longName, "x" + longName.mid(1), longName);

        Row dash{
            .one = [](Place& p) { return p.copy("-h.mp3", p.files.toneA).section('/', -1); },
            .two = [](Place& p) { return p.copy("--help.mp3", p.files.toneB).section('/', -1); },
            .out = [](Place& p) { return p.out + "/-o.mp3"; }};
        dash.setup = [](Place& p) { p.cwd = p.in; };
        QTest::newRow("leading dash, typed without a folder") << dash;

        // Ten levels of 100-byte folder names: over 1000 bytes of path.
        QString deep;
        for (int level = 0; level < 10; ++level)
            deep += "/" + QString(99, QChar('a' + level)) + "d";
        QTest::newRow("path over 1000 bytes") << Row{
            .one = [deep](Place& p) { return p.copy(deep.mid(1) + "/one.mp3", p.files.toneA); },
            .two = [deep](Place& p) { return p.copy(deep.mid(1) + "/two.mp3", p.files.toneB); },
            .out =
                [deep](Place& p) {
                    QDir().mkpath(p.out + deep);
                    return p.out + deep + "/mixed.mp3";
                }};

        // The toolkit's dialog gives a name whose bytes are not UTF-8 with U+FFFD instead, which
        // names another file.
        QTest::newRow("output chosen in the dialog with a byte that is not UTF-8")
            << Row{.out =
                       [](Place& p) {
                           const QByteArray latin = QFile::encodeName(p.out) + "/caf\xE9.mp3";
                           ::close(::open(latin.constData(), O_CREAT | O_WRONLY, 0644));
                           return p.out + "/caf\uFFFD.mp3";
                       },
                   .expect = kNoFile,
                   .reason = "not UTF-8"};
        QTest::newRow("output is a folder")
            << Row{.out =
                       [](Place& p) {
                           QDir().mkpath(p.out + "/box.mp3");
                           test::writeAll(p.out + "/box.mp3/inner", "kept");
                           return p.out + "/box.mp3";
                       },
                   .expect = kNoFile};
        // Root may remove device nodes, so root gets a full device of its own.
        QTest::newRow("output is a full device") << Row{
            .out =
                [](Place& p) {
                    if (::geteuid() != 0)
                        return QStringLiteral("/dev/full");
                    const QString node = p.out + "/full.mp3";
                    if (::mknod(nativePath(node).constData(), S_IFCHR | 0666, makedev(1, 7)) != 0)
                        p.skip = "this machine does not allow making a device node";
                    return node;
                },
            .expect = kNoFile};
        QTest::newRow("first input is a folder") << Row{.one =
                                                            [](Place& p) {
                                                                QDir().mkpath(p.in + "/folder.mp3");
                                                                return p.in + "/folder.mp3";
                                                            },
                                                        .expect = kNoFile,
                                                        .reason = "first"};
        QTest::newRow("second input is a FIFO")
            << Row{.two =
                       [](Place& p) {
                           const QString fifo = p.in + "/pipe.mp3";
                           ::mkfifo(nativePath(fifo).constData(), 0644);
                           return fifo;
                       },
                   .expect = kNoFile,
                   .reason = "second"};
    }
    void paths() { run(); }
};

BLENDORA_FAULTS_MAIN(TestPaths)

#include "test_paths.moc"
