// The window on a real X screen under a window manager: where the keyboard goes when it shows,
// and how a person sees where it is.
#include "FocusMark.h"
#include "Form1.h"
#include "TestSupport.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

using namespace blendora;

namespace {
struct NoEngine : EngineSeam {
    int Init(int, std::uint32_t, std::uint32_t, void*, const void*) override { return 1; }
};
} // namespace

// The window loaded, shown and active, as a person first sees it.
struct Shown {
    test::ScriptedPrompts prompts;
    test::RecordingShell shell;
    NoEngine engine;
    Form1 form{Form1Seams{&prompts, &shell, &engine, [] { return 0.5; }, [] {}}};
    bool up() {
        if (!form.Form_Load())
            return false;
        form.show();
        form.activateWindow();
        return QTest::qWaitForWindowActive(&form);
    }
};

class TestDesktop : public QObject {
    Q_OBJECT

    QTemporaryDir config_;

  private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config_.path().toUtf8()); }

    void typingGoesStraightIntoTheFirstFieldAndTabWalksTheOrder() {
        Shown shown;
        QVERIFY(shown.up());
        Form1& form = shown.form;
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
        QVERIFY(shown.prompts.seen.isEmpty());
    }

    // The band just around a control, in the window's picture: where its focus mark is drawn.
    static double markedShare(const QImage& picture, QWidget* control, QColor mark) {
        const QRect area(control->mapTo(control->window(), QPoint()), control->size());
        const int gap = FocusMark::kGap, width = FocusMark::kWidth;
        const QRegion band =
            QRegion(area.adjusted(-gap - width, -gap - width, gap + width, gap + width))
                .subtracted(area.adjusted(-gap, -gap, gap, gap));
        int marked = 0, all = 0;
        for (const QRect& r : band)
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x, ++all)
                    marked += picture.pixelColor(x, y) == mark;
        return double(marked) / all;
    }

    void focusIsMarkedOnEachControlInTurn_data() {
        QTest::addColumn<QColor>("highlight");
        QTest::newRow("default scheme") << QApplication::palette().color(QPalette::Highlight);
        QTest::newRow("darker scheme's highlight") << QColor("#12608a");
    }
    void focusIsMarkedOnEachControlInTurn() {
        QFETCH(QColor, highlight);
        const QPalette original = QApplication::palette();
        const auto restore = qScopeGuard([&] { QApplication::setPalette(original); });
        QPalette scheme = original;
        scheme.setColor(QPalette::Highlight, highlight);
        QApplication::setPalette(scheme);
        Shown shown;
        QVERIFY(shown.up());
        Form1& form = shown.form;

        const QList<QWidget*> order{form.Text1,       form.PushButton1, form.Text2,
                                    form.PushButton3, form.PushButton5, form.PushButton2,
                                    form.PushButton4};
        for (int step = 0; step <= order.size(); ++step) {
            QWidget* now = order[step % order.size()];
            QWidget* before = order[(step + order.size() - 1) % order.size()];
            if (step > 0)
                QTest::keyClick(form.windowHandle(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), now);
            const QImage picture = form.grab().toImage();
            const QString name = now->objectName();
            QVERIFY2(markedShare(picture, now, highlight) > 0.95, qPrintable(name));
            QVERIFY2(markedShare(picture, before, highlight) < 0.05, qPrintable(name));
        }
    }

    // A message box's buttons fill their row: the ring must not be cut off at its edges.
    void messageBoxesMarkTheirFocusToo() {
        test::ScriptedPrompts prompts;
        test::RecordingShell shell;
        NoEngine engine;
        Form1 form(Form1Seams{&prompts, &shell, &engine, [] { return 0.5; }, [] {}});
        QMessageBox box(QMessageBox::NoIcon, "Blendora", "Open the folder?",
                        QMessageBox::Yes | QMessageBox::No);
        box.show();
        box.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&box));
        QWidget* focused = QApplication::focusWidget();
        QVERIFY(focused && box.isAncestorOf(focused));
        const QColor highlight = box.palette().color(QPalette::Highlight);
        QVERIFY(markedShare(box.grab().toImage(), focused, highlight) > 0.95);
    }
};

QTEST_MAIN(TestDesktop)
#include "test_desktop.moc"
