// TEMP, TMPDIR and the encoder as the environment makes them.
#include "Harness.h"

using namespace blendora;
using namespace blendora::faults;

class TestEnvironment : public Suite {
    Q_OBJECT

  private slots:
    void environment_data() {
        QTest::addColumn<Row>("row");
        QTest::newRow("TEMP and TMPDIR unset")
            << Row{.setup = [](Place& p) { p.env.remove("TEMP"); }};
        QTest::newRow("TEMP unset, TMPDIR set") << Row{.setup = [](Place& p) {
            p.env.remove("TEMP");
            p.env.insert("TMPDIR", p.temp);
        }};
        QTest::newRow("TEMP missing")
            << Row{.setup = [](Place& p) { p.env.insert("TEMP", p.temp + "/gone"); },
                   .expect = kNoFile,
                   .reason = "No such file"};
        QTest::newRow("TEMP relative") << Row{.setup = [](Place& p) {
            QDir().mkpath(p.root + "/rel");
            p.env.insert("TEMP", "rel");
            p.tempFolders << p.root + "/rel";
        }};
        QTest::newRow("TEMP with spaces, quotes and a dollar") << Row{.setup = [](Place& p) {
            const QString temp = p.root + "/my 'temp' \"$HOME\"";
            QDir().mkpath(temp);
            p.env.insert("TEMP", temp);
            p.tempFolders << temp;
        }};
        QTest::newRow("TEMP a plain file") << Row{.setup =
                                                      [](Place& p) {
                                                          test::writeAll(p.root + "/plain", "x");
                                                          p.env.insert("TEMP", p.root + "/plain");
                                                      },
                                                  .expect = kNoFile,
                                                  .reason = "Not a directory"};
        // Options from the environment do not reach the encoder.
        QTest::newRow("LAMEOPT set")
            << Row{.setup = [](Place& p) { p.env.insert("LAMEOPT", "--no-such-option"); }};
        QTest::newRow("encoder crashes")
            << Row{.existing = true,
                   .encoder = "#!/bin/sh\necho 'lame: internal error' >&2\nkill -SEGV $$\n",
                   .expect = kNoFile,
                   .reason = "signal 11"};
        QTest::newRow("encoder exits with 3")
            << Row{.existing = true,
                   .encoder = "#!/bin/sh\necho 'lame: out of sorts' >&2\n"
                              "printf 'Frame | CPU time\\r' >&2\nexit 3\n",
                   .expect = kNoFile,
                   .reason = "exit code 3|out of sorts"};
        // Half a real MP3, then the end: over an existing file, and where there was none.
        const QString half = "#!/bin/sh\nhead -c 3000 '" + files_.toneA + "' >\"$3\"\n";
        QTest::newRow("encoder killed after half a file, over an existing file")
            << Row{.existing = true,
                   .encoder = half + "kill -KILL $$\n",
                   .expect = kNoFile,
                   .reason = "signal 9"};
        QTest::newRow("encoder fails after half a file")
            << Row{.encoder = half + "exit 1\n", .expect = kNoFile, .reason = "exit code 1"};
        QTest::newRow("encoder writes nothing yet exits 0, over an existing file")
            << Row{.existing = true,
                   .encoder = "#!/bin/sh\nexit 0\n",
                   .expect = kNoFile,
                   .reason = "wrote no output file"};
    }
    void environment() { run(); }
};

BLENDORA_FAULTS_MAIN(TestEnvironment)

#include "test_environment.moc"
