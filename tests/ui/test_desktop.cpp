// The window on a real X screen under a window manager: where the keyboard goes when it shows.
#include "Form1.h"
#include "TestSupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace blendora;

namespace {
struct NoEngine : Engine {
    int Init(int, std::uint32_t, std::uint32_t, void*, const void*) override { return 1; }
};
} // namespace

class TestDesktop : public QObject {
    Q_OBJECT

    QTemporaryDir config_;

  private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config_.path().toUtf8()); }

    void typingGoesStraightIntoTheFirstFieldAndTabWalksTheOrder() {
        test::ScriptedPrompts prompts;
        test::RecordingShell shell;
        NoEngine engine;
        Form1 form(Form1Seams{&prompts, &shell, &engine, [] { return 0.5; }, [] {}});
        QVERIFY(form.Form_Load());
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), form.Text1);

        // Keys enter where the window system delivers them: to the window's focus widget.
        QWindow* window = form.windowHandle();
        for (char c : QByteArray("song.mp3"))
            QTest::keyClick(window, c);
        QCOMPARE(form.Text1->text(), QStringLiteral("song.mp3"));

        const QList<QWidget*> order{form.PushButton1, form.Text2,       form.PushButton3,
                                    form.PushButton5, form.PushButton2, form.PushButton4,
                                    form.Text1};
        for (QWidget* next : order) {
            QTest::keyClick(window, Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        QVERIFY(prompts.seen.isEmpty());
    }
};

QTEST_MAIN(TestDesktop)
#include "test_desktop.moc"
