// Whole mix jobs over bad inputs, odd paths and a hostile environment, one executable per group
// over this harness. Each row runs one job in a child process of its own (the executable run
// again with `--job`), so that a crash or a hang is a finding rather than the end of the suite,
// and so that rows can run as another user. Every row must end without a crash, with a clear
// last message, without a job folder left behind and without a partial or damaged output.
#pragma once

#include "Paths.h"
#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace blendora::faults {

using test::Prompt;

extern const QString kDone;
extern const QString kNoFile;
constexpr uid_t kNobody = 65534;
constexpr uid_t kOther = 4321; // an ordinary user without a name
extern const QByteArray kSecret;

// The child entry points (`--job`, `--attack`, `--type`, `--write`, `--close`): the code to exit
// with, or -1 when the command line names none.
int runChild(int argc, char** argv);

// ---- files the rows are made of ----------------------------------------------------------

using test::Pcm;

// A WAV header that declares `bytes` of 16-bit sound, followed by that many zero bytes that
// take no disk: the engine decodes them like any others.
QString sparseWave(const QString& path, int rate, int channels, qint64 bytes);

// What a made file should sound like; a zero field is not checked.
struct Sound {
    double seconds = 0;
    double level = 0; // peak, as a share of full scale
    double frequency = 0;
};
QStringList soundProblems(const QString& path, const Sound& want);

// What is at a path: its kind and, for a file, its bytes; for a folder, its entries.
struct Snapshot {
    enum Kind { None, File, Folder, Device, Other } kind = None;
    QByteArray bytes;
    QStringList entries;
    dev_t device = 0;
    bool operator==(const Snapshot&) const = default;
};
Snapshot snapshot(const QString& path);

void giveTo(const QString& folder, uid_t user);
// Waits for a file the job makes; false when the job ended first or a minute passed.
bool waitFor(QProcess& job, const QString& file);
// Waits until the job decodes its first input; false when it ended first or a minute passed.
bool decoding(const QString& temp, QProcess& job);
qint64 monotonicMs();
// Waits up to two seconds for a process to be gone, or a zombie that holds nothing any more.
bool ended(qint64 pid);

using test::kGatedLame;
// An encoder that leaves a mark in the row's folder, then encodes.
extern const QString kMarkedLame;
// The job in a PID namespace whose kernel refuses to run anonymous files, and optionally in a
// mount namespace without the installed lame.
QStringList hardened(bool withoutLame);

// The suite's ready-made inputs, shared read-only by every row.
struct Files {
    QString toneA, toneB; // 2 s at 440 and 660 Hz, half scale, 44.1 kHz stereo
    QString longA, longB; // the same, 3 s
    QString shortSilence; // 0.5 s
};

// One row's own folder and the child's environment.
struct Place {
    const Files& files;
    QString root{}, in{}, out{}, temp{}, cwd{};
    QProcessEnvironment env{};
    QStringList tempFolders{};                   // where a job folder could be left behind
    QString skip{};                              // why this row cannot run here
    std::vector<std::function<void()>> lastly{}; // after the folder is given to the row's user
    std::vector<std::function<void()>> undo{};
    QStringList wrapper{}; // the job runs under this command
    QStringList said{};    // every message of the job, for the row's check
    QByteArray errors{};   // what the job wrote on stderr, for the row's check
    // What the row's attack did, in the words of whoever did it: the `during` hook, the
    // attacker process, the job's own planting or the setup.
    QStringList did{};
    std::shared_ptr<QProcess> attacker{}; // its lines join `did` once the job is over

    QString put(const QString& name, const QByteArray& bytes);
    QString copy(const QString& name, const QString& from);
    QString wav(const QString& name, int rate, int channels, double seconds, double amplitude,
                Pcm pcm);
    // A fresh tmpfs over `folder`, one of the row's, undone after it; a skip where none can be
    // mounted.
    void mountTmpfs(const QString& folder, const char* options, unsigned long flags = 0);
    // The same over the row's temporary folder.
    void mountTemp(const char* options, unsigned long flags = 0) {
        mountTmpfs(temp, options, flags);
    }
    // Writes into `folder` until its file system is full, and says so in `did`.
    void fill(const QString& folder);
};

// strace on the saver that kGatedLame named, tracing `calls` as `injected` says, then the
// encoder let go; whether strace holds the saver.
bool traceSaver(Place& p, QProcess& tracer, const QString& calls, const QStringList& injected);

// "Done.", and the program's own encoder left its mark.
QStringList ranMarked(Place& p, const QString& said);
// For a job that ended before its end: nothing of it beside the output.
QStringList nothingOut(Place& p, const QString&);

// What is wrong with what the output's folder holds (`names`) and what stands at the name
// mixed.mp3 (`kind`; a file must be the mix, or "a newer mix").
QStringList leftAtOutput(Place& p, const QStringList& names, Snapshot::Kind kind);

using Maker = std::function<QString(Place&)>;
using AfterFiles = QMap<QString, QByteArray>;
using Setup = std::function<void(Place&)>;

struct Row {
    Maker one{}, two{};    // each answers the text put into its field; default: the two tones
    Maker out{};           // the save dialog's answer; default: a new file in the row's out folder
    bool existing = false; // an earlier file stands at the output
    Setup setup{};         // environment and permissions
    bool nobody = false;   // run the job as user nobody
    QString encoder{};     // script text for the encoder
    QString expect = kDone;
    QString reason{};       // words the failure's reason must contain
    bool plain = false;     // the reason is a condition of the machine, told once in plain words
    Sound sound{2.0, 0, 0}; // for a job that succeeds
    uid_t as = 0;           // run the job as this (ordinary) user
    // While the job runs; true: it ended the job. It says in `did` what it did: a row whose
    // hook did nothing fails.
    std::function<bool(Place&, QProcess&)> during{};
    // Given the last message, what is wrong with what is left; replaces the output checks.
    std::function<QStringList(Place&, const QString&)> check{};
    bool root = false;   // chowns, mounts or plants for another user: only root can
    QString attack{};    // words that `did` must hold: the attack took place
    bool strace = false; // the row stages its race through strace
};

using test::finish;

class Suite : public QObject {
    Q_OBJECT

  protected:
    QTemporaryDir base_;
    Files files_;
    int rowNumber_ = 0;
    bool makesFiles_ = true; // the ready-made inputs, for suites whose rows mix
    // The figures across all rows.
    int rows_ = 0, crashes_ = 0, leftovers_ = 0, damaged_ = 0, partial_ = 0;

    // One row of a table whose column is `row`.
    void run();
    // One row of a settings table: a window started over odd settings, typing into its fields.
    void runSettings();
    void startWriter(QProcess& child, const QString& root, const QStringList& arguments,
                     const QString& program = QCoreApplication::applicationFilePath());

  private slots:
    void initTestCase();
    void cleanupTestCase();
};

} // namespace blendora::faults

Q_DECLARE_METATYPE(blendora::faults::Row)

#define FAULT_SKIP TEST_SKIP

#define BLENDORA_FAULTS_MAIN(TestClass)                                                            \
    int main(int argc, char** argv) {                                                              \
        QApplication app(argc, argv);                                                              \
        if (const int child = ::blendora::faults::runChild(argc, argv); child >= 0)                \
            return child;                                                                          \
        TestClass suite;                                                                           \
        return ::blendora::faults::finish(QTest::qExec(&suite, argc, argv));                       \
    }
