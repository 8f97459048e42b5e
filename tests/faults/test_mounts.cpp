// Rows on file systems of their own (tmpfs, FAT through FUSE): only root can mount them.
#include "Harness.h"

using namespace blendora;
using namespace blendora::faults;

class TestMounts : public Suite {
    Q_OBJECT

  private slots:
    // TEMP or the output on a file system of its own: small, full, or unable to run programs;
    // and merges whose converted copies would not fit.
    void mounts_data() {
        QTest::addColumn<Row>("row");
        // 3 s inputs: the encoder and the first decoded file fit in 1 MiB, the second does not.
        QTest::newRow("TEMP on a 1 MiB tmpfs, filled while decoding") << Row{
            .one = [](Place& p) { return p.copy("first.mp3", p.files.longA); },
            .two = [](Place& p) { return p.copy("second.mp3", p.files.longB); },
            .setup = [](Place& p) { p.mountTemp("size=1m"); },
            .expect = kNoFile,
            .reason = "not enough free space in $TEMP for the decoded audio|needs at least 8 "
                      "MiB|Set TEMP (or TMPDIR) to a folder",
            .plain = true};
        // 2 s inputs: both decoded files fit, the mix does not.
        QTest::newRow("TEMP on a 1 MiB tmpfs, filled while mixing")
            << Row{.setup = [](Place& p) { p.mountTemp("size=1m"); },
                   .expect = kNoFile,
                   .reason = "not enough free space in $TEMP |Set TEMP (or TMPDIR) to a folder"};
        QTest::newRow("TEMP on a full tmpfs") << Row{.setup =
                                                         [](Place& p) {
                                                             p.mountTemp("size=1m");
                                                             if (p.skip.isEmpty())
                                                                 p.fill(p.temp);
                                                         },
                                                     .expect = kNoFile,
                                                     .reason = "space",
                                                     .plain = true,
                                                     .attack = "filled"};
        QTest::newRow("TEMP read-only")
            << Row{.setup = [](Place& p) { p.mountTemp("size=1m", MS_RDONLY); },
                   .expect = kNoFile,
                   .reason = "temp is on a read-only file system",
                   .plain = true};
        // The program's own encoder runs, wherever TEMP is and whatever the kernel allows.
        QTest::newRow("TEMP on a tmpfs that cannot run programs: our encoder runs")
            << Row{.setup =
                       [](Place& p) {
                           p.mountTemp("size=16m", MS_NOEXEC);
                           p.env.insert("ROW", p.root);
                       },
                   .encoder = kMarkedLame,
                   .check = ranMarked};
        QTest::newRow("kernel refuses to run anonymous files: a copy runs")
            << Row{.setup =
                       [](Place& p) {
                           p.wrapper = hardened(false);
                           p.env.insert("ROW", p.root);
                       },
                   .encoder = kMarkedLame,
                   .check = ranMarked,
                   .root = true};
        QTest::newRow("no way to run an encoder: each way named")
            << Row{.existing = true,
                   .setup =
                       [](Place& p) {
                           p.mountTemp("size=16m", MS_NOEXEC);
                           p.wrapper = hardened(true);
                       },
                   .expect = kNoFile,
                   .reason = "could not be started: from memory (Permission denied)"};
        // 6 h 56 min at 8 kHz mono passes 4 GiB at 44.1 kHz stereo; a 512 MiB TEMP holds the
        // decoded input but never the converted copy.
        QTest::newRow("8 kHz mono that passes 4 GiB at 44.1 kHz stereo") << Row{
            .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 8000, 1, 400'000'000); },
            .setup = [](Place& p) { p.mountTemp("size=512m"); },
            .expect = kNoFile,
            .reason = "too long to be mixed with the second one"};
        // 2 min at 8 kHz mono decodes to 2 MiB and fits; at 44.1 kHz stereo it is 20 MiB.
        QTest::newRow("TEMP on a 16 MiB tmpfs, too small for the conversion") << Row{
            .one = [](Place& p) { return p.wav("low.wav", 8000, 1, 120, 0.8, Pcm::S16); },
            .setup = [](Place& p) { p.mountTemp("size=16m"); },
            .expect = kNoFile,
            .reason = "free space in $TEMP to mix the two files: bringing the first file "
                      "to 44100 Hz stereo and mixing takes|Set TEMP (or TMPDIR) to a folder"};
        // Room for the mix alone, not for the converted copy beside it.
        QTest::newRow("TEMP on a 28 MiB tmpfs, too small for the conversion and the mix")
            << Row{.one = [](Place& p) { return p.wav("low.wav", 8000, 1, 60, 0.8, Pcm::S16); },
                   .setup = [](Place& p) { p.mountTemp("size=28m"); },
                   .expect = kNoFile,
                   .reason = "bringing the first file to 44100 Hz stereo and mixing takes 21 MiB"};
        // A FAT stick (through FUSE: no owners, no modes, no links, no RENAME_NOREPLACE) takes
        // the mix as cp would, new or over an earlier file.
        for (const bool existing : {false, true})
            QTest::addRow("output on FAT%s", existing ? ", over an existing file" : "")
                << Row{.setup = [existing](Place& p) {
                       const QString image = p.root + "/fat.img";
                       if (!test::run("mkfs.vfat", {"-C", image, "8192"}) ||
                           !test::run("fusefat", {"-o", "rw+", image, p.out})) {
                           p.skip = "mkfs.vfat and fusefat are needed for a FAT file system";
                           return;
                       }
                       p.undo.push_back([&p] { test::run("fusermount", {"-u", p.out}); });
                       if (existing)
                           test::writeAll(p.out + "/mixed.mp3", "an earlier mix\n");
                   }};
        // The output's own disk is full: one clean line that says so and names the folder.
        QTest::newRow("output on a full disk")
            << Row{.setup =
                       [](Place& p) {
                           p.mountTmpfs(p.out, "size=256k");
                           if (p.skip.isEmpty())
                               p.fill(p.out);
                       },
                   .expect = kNoFile,
                   .reason = "not enough free space in",
                   .check =
                       [=](Place& p, const QString& said) {
                           const QString reason = said.section("\r\r", 1);
                           QStringList problems = leftAtOutput(p, {"filler"}, Snapshot::None);
                           if (!reason.contains(p.out + " ") ||
                               reason.contains(QRegularExpression("[\\x00-\\x1f\\x7f]")))
                               problems << "not one clean line naming the folder: " + reason;
                           return problems;
                       },
                   .attack = "filled"};
    }
    void mounts() { run(); }
};

BLENDORA_FAULTS_MAIN(TestMounts)

#include "test_mounts.moc"
