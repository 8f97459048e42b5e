// The one failure report and the resume-at-next-statement rules.
#include "ErrorReport.h"
#include "Failure.h"
#include "TestSupport.h"

#include <QtTest>
#include <system_error>

using namespace blendora;
using blendora::test::Prompt;
using blendora::test::ScriptedPrompts;

class TestErrorReport : public QObject {
    Q_OBJECT

  private slots:
    void reportTextIsExact_data() {
        QTest::addColumn<QString>("description");
        QTest::newRow("described") << QStringLiteral("File not found");
        QTest::newRow("empty") << QString();
    }

    void reportTextIsExact() {
        QFETCH(QString, description);
        ScriptedPrompts prompts;
        ReportError(prompts, proc::FormLoad, 134, description);
        QCOMPARE(prompts.seen.size(), 1);
        const Prompt& p = prompts.seen.first();
        QCOMPARE(p.kind, Prompt::Warning);
        QCOMPARE(p.caption, QStringLiteral("Application Error"));
        QCOMPARE(p.text, description +
                             QStringLiteral("\r\nin Corvalt2021/08/31.Form1.Form_Load at line "
                                            "134\r\rPlease email screenshot of this "
                                            "message to ") +
                             kSupportAddress);
    }

    void trapReportsEachFailureWithItsLineAndGoesOn() {
        ScriptedPrompts prompts;
        Trap trap(prompts, proc::PushButton2Click);
        QStringList ran;
        trap.at(100, [&] { ran << "100"; });
        trap.at(102, [&] {
            throw std::system_error(ENOENT, std::generic_category());
            ran << "never";
        });
        trap.at(104, [&] { ran << "104"; });
        trap.at(106, [&] { fail(QStringLiteral("second")); });
        trap.at(108, [&] { ran << "108"; });
        // A full disk is no fault of ours: a plain message, without the line or the plea.
        trap.at(110, [&] { failErrno(ENOSPC, QStringLiteral("/tmp/x")); });
        QCOMPARE(ran, (QStringList{"100", "104", "108"}));
        QCOMPARE(prompts.seen.size(), 3);
        QCOMPARE(prompts.seen[2].kind, Prompt::Message);
        QCOMPARE(prompts.seen[2].text, errnoText(ENOSPC, QStringLiteral("/tmp/x")));
        QVERIFY(prompts.seen[0].text.contains("PushButton2_Click at line 102\r\r"));
        QVERIFY(prompts.seen[0].text.startsWith("No such file or directory\r\n"));
        QVERIFY(prompts.seen[1].text.startsWith(
            "second\r\nin Corvalt2021/08/31.Form1.PushButton2_Click at line 106"));
    }

    void failingBranchTestEntersTheBranch() {
        ScriptedPrompts prompts;
        Trap trap(prompts, proc::FormLoad);
        QStringList order;
        prompts.onPrompt = [&](const Prompt& p) { order << p.text.section('\r', 0, 0); };
        if (trap.test(134, [&]() -> bool { fail(QStringLiteral("engine missing")); }))
            trap.at(136, [&] { prompts.message(QStringLiteral("branch"), QString()); });
        QCOMPARE(order, (QStringList{"engine missing", "branch"}));
        // A test that answers normally decides as usual.
        QVERIFY(!trap.test(104, [] { return false; }));
    }

    void failureInLoopBodyGoesOnWithTheBody() {
        ScriptedPrompts prompts;
        Trap trap(prompts, proc::MergeWave);
        int after = 0;
        for (int i = 0; i < 3; ++i) {
            trap.at(142, [&] { fail(QStringLiteral("write")); });
            trap.at(144, [&] { ++after; });
        }
        QCOMPARE(after, 3);
        QCOMPARE(prompts.count(Prompt::Warning), 3);
    }
};

QTEST_GUILESS_MAIN(TestErrorReport)
#include "test_errorreport.moc"
