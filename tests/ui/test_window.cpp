// The main window's controls, pointer feedback, browse dialogs and path fields.
#include "Form1.h"
#include "HomePage.h"
#include "Paths.h"
#include "Settings.h"
#include "TestSupport.h"
#include "Translations.h"

#include <QAccessible>
#include <QClipboard>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>
#include <cmath>

using namespace blendora;
using blendora::test::Prompt;
using blendora::test::ScriptedPrompts;

namespace {
struct NoEngine : EngineSeam {
    int Init(int, std::uint32_t, std::uint32_t, void*, const void*) override { return 1; }
};

// Contrast ratio of two colours by their relative luminance, 1 to 21.
double contrast(QColor a, QColor b) {
    const auto luminance = [](QColor c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// How far the strongest pixel drawn in the area stands out from the area's corner.
double inkContrast(QWidget* w, QRect area) {
    const QImage image = w->grab().toImage();
    const QColor ground = image.pixelColor(area.topLeft());
    double strongest = 1;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            strongest = std::max(strongest, contrast(image.pixelColor(x, y), ground));
    return strongest;
}
} // namespace

class TestWindow : public QObject {
    Q_OBJECT

    QTemporaryDir config_;
    ScriptedPrompts prompts_;
    test::RecordingShell shell_;
    NoEngine engine_;
    std::unique_ptr<Form1> form_;

    QString stored(const char* key) { return GetSetting(kMakerName, kProductTitle, key, "<none>"); }

    void move(QWidget* w) {
        QMouseEvent event(QEvent::MouseMove, QPointF(2, 2), w->mapToGlobal(QPointF(2, 2)),
                          Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w, &event);
    }

  private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config_.path().toUtf8()); }

    void init() {
        QFile::remove(config_.path() + "/Quorvane.ini");
        prompts_ = ScriptedPrompts();
        form_ = std::make_unique<Form1>(
            Form1Seams{&prompts_, &shell_, &engine_, [] { return 0.5; }, [] {}});
        QVERIFY(form_->Form_Load());
    }

    void controlsAreWhereTheTablePutsThem() {
        Form1& f = *form_;
        QCOMPARE(f.size(), QSize(536, 266));
        QCOMPARE(f.minimumSize(), f.maximumSize());
        QVERIFY(f.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(f.palette().color(QPalette::Window), QColor(Qt::white));

        struct Row {
            QWidget* control;
            QWidget* container;
            QString caption;
            QRect geometry;
            qreal points;
        };
        const Row rows[] = {
            {f.PushButton4, &f, "Help", {8, 8, 520, 27}, 11.25},
            {f.Frame2, &f, "1st File", {8, 40, 520, 53}, 9},
            {f.Text1, f.Frame2, "", {16, 20, 441, 23}, 9},
            {f.PushButton1, f.Frame2, "...", {464, 20, 40, 23}, 11.25},
            {f.Frame1, &f, "2nd File", {8, 98, 520, 53}, 9},
            {f.Text2, f.Frame1, "", {16, 20, 441, 23}, 9},
            {f.PushButton3, f.Frame1, "...", {464, 20, 40, 23}, 11.25},
            {f.PushButton5, &f, "Load Sample/Example MP3 Files", {8, 160, 520, 27}, 11.25},
            {f.PushButton2, &f, "Start Mixing", {8, 195, 520, 27}, 11.25},
            {f.ProgressBar1, &f, "Progress Bar", {8, 230, 520, 27}, 9},
        };
        for (const Row& row : rows) {
            const QString name = row.control->objectName();
            QVERIFY2(row.control->parentWidget() == row.container, qPrintable(name));
            QCOMPARE(row.control->geometry(), row.geometry);
            QCOMPARE(row.control->font().family(), QStringLiteral("Arial"));
            QCOMPARE(row.control->font().pointSizeF(), row.points);
            QVERIFY(row.control->font().bold());
            QString caption;
            if (auto* b = qobject_cast<QPushButton*>(row.control))
                caption = b->text();
            else if (auto* g = qobject_cast<QGroupBox*>(row.control))
                caption = g->title();
            else if (auto* p = qobject_cast<QProgressBar*>(row.control))
                caption = p->text();
            else if (auto* t = qobject_cast<QLineEdit*>(row.control))
                caption = t->text();
            QCOMPARE(caption, row.caption);
        }
        QCOMPARE(f.Frame1->palette().color(QPalette::Window), QColor(Qt::white));
        QCOMPARE(f.ProgressBar1->value(), 0);
        QVERIFY(f.ProgressBar1->isTextVisible());

        // Focus order: the tab indexes; frames and the bar take none.
        QList<QWidget*> chain;
        QWidget* w = f.Text1;
        do {
            if (w->focusPolicy() & Qt::TabFocus)
                chain << w;
            w = w->nextInFocusChain();
        } while (w != f.Text1);
        const QList<QWidget*> expected{f.Text1,       f.PushButton1, f.Text2,      f.PushButton3,
                                       f.PushButton5, f.PushButton2, f.PushButton4};
        QCOMPARE(chain, expected);
    }

    void pointerFollowsHoverButNeverTheBusyPointer() {
        Form1& f = *form_;
        QCOMPARE(f.mousePointer(), int(PointerDefault));
        struct Step {
            QWidget* over;
            int pointer;
        };
        const Step free[] = {
            {f.PushButton1, 99}, {f.ProgressBar1, 99},
            {f.Text1, 0},        {f.PushButton2, 99},
            {f.PushButton2, 99}, {f.Frame1, 0},
            {f.PushButton3, 99}, {f.Frame2, 0},
            {f.PushButton4, 99}, {&f, 0},
            {f.PushButton5, 99}, {f.Text2, 0},
        };
        for (const Step& s : free) {
            move(s.over);
            QCOMPARE(f.mousePointer(), s.pointer);
            // One pointer over the whole window, fields included.
            QCOMPARE(f.Text1->cursor().shape(), f.cursorFor(s.pointer).shape());
            QCOMPARE(f.cursor().shape(), f.cursorFor(s.pointer).shape());
        }
        f.setMousePointer(PointerBusy);
        for (QWidget* over : {(QWidget*)f.PushButton1, (QWidget*)f.Text1, (QWidget*)&f,
                              (QWidget*)f.Frame2, (QWidget*)f.PushButton5}) {
            move(over);
            QCOMPARE(f.mousePointer(), int(PointerBusy));
            QCOMPARE(f.PushButton1->cursor().shape(), Qt::WaitCursor);
        }
    }

    void screenReadersHearWhatEachControlIs() {
        const std::pair<QWidget*, QString> names[] = {
            {form_->Text1, "1st File"},
            {form_->Text2, "2nd File"},
            {form_->PushButton1, "Browse for the first file"},
            {form_->PushButton3, "Browse for the second file"},
        };
        for (const auto& [control, name] : names) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control);
            QVERIFY(a);
            QCOMPARE(a->text(QAccessible::Name), name);
        }
        QCOMPARE(form_->PushButton1->text(), QStringLiteral("..."));

        // The window is announced as a frame by its title; the bar by the line it shows.
        QAccessibleInterface* window = QAccessible::queryAccessibleInterface(form_.get());
        QCOMPARE(window->role(), QAccessible::Window);
        QCOMPARE(window->text(QAccessible::Name), QStringLiteral("Blendora"));
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(form_->ProgressBar1);
        QCOMPARE(bar->text(QAccessible::Name), QStringLiteral("Progress Bar"));
        form_->setProgressText("Converting 50% off.mp3 Step 1");
        form_->setProgressValue(40);
        QCOMPARE(bar->text(QAccessible::Name), QStringLiteral("Converting 50% off.mp3 Step 1"));
        QCOMPARE(bar->valueInterface()->currentValue().toInt(), 40);
    }

    void captionsAndFieldsReadableUnderADarkScheme_data() {
        QTest::addColumn<bool>("skin");
        QTest::newRow("white frames") << false;
        QTest::newRow("skinned frames") << true;
    }
    void captionsAndFieldsReadableUnderADarkScheme() {
        QFETCH(bool, skin);
        QTemporaryDir folder;
        if (skin) {
            QDir(folder.path()).mkdir("x");
            test::writeAll(folder.path() + "/x/o.cjs", "");
        }
        setProgramFolderForTesting(folder.path());
        const QPalette light = QApplication::palette();
        QPalette dark;
        for (auto [role, colour] : {std::pair{QPalette::Window, "#333333"},
                                    {QPalette::WindowText, "#f0f0f0"},
                                    {QPalette::Base, "#262626"},
                                    {QPalette::Text, "#f0f0f0"},
                                    {QPalette::Button, "#3c3c3c"},
                                    {QPalette::ButtonText, "#f0f0f0"}})
            dark.setColor(role, QColor(colour));
        QApplication::setPalette(dark);
        const auto restore = qScopeGuard([&] {
            QApplication::setPalette(light);
            setProgramFolderForTesting(QString());
        });
        Form1 f(Form1Seams{&prompts_, &shell_, &engine_, [] { return 0.5; }, [] {}});
        QVERIFY(f.Form_Load());
        f.Text1->setText("/music/song.mp3");

        for (QGroupBox* frame : {f.Frame2, f.Frame1}) {
            const QFontMetrics metrics(frame->font());
            const QRect caption(0, 0, metrics.horizontalAdvance(frame->title()) + 12,
                                f.Text1->y() - 4);
            QVERIFY2(inkContrast(frame, caption) >= 4.5, qPrintable(frame->title()));
        }
        QVERIFY(inkContrast(f.Text1, f.Text1->rect().adjusted(3, 3, -3, -3)) >= 4.5);
    }

    void namesWithPercentSignsStayLiteralOnTheBar() {
        for (const QString name : {"100%.mp3", "%1.mp3", "a %p b.mp3", "%v.mp3", "%m%.mp3"}) {
            form_->setProgressText("Converting " + name + " Step 1");
            QCOMPARE(form_->ProgressBar1->text(), "Converting " + name + " Step 1");
        }
        // Through a job: empty inputs, so the decoder's message comes while the bar shows
        // the first step.
        QTemporaryDir folder;
        const QString name = "100%v 50%p.mp3";
        test::writeAll(folder.path() + "/" + name, "");
        test::writeAll(folder.path() + "/two.mp3", "");
        form_->Text1->setText(folder.path() + "/" + name);
        form_->Text2->setText(folder.path() + "/two.mp3");
        prompts_.files << folder.path() + "/out.mp3";
        QStringList shown;
        prompts_.onPrompt = [&](const Prompt&) { shown << form_->ProgressBar1->text(); };
        form_->PushButton2_Click();
        QVERIFY2(shown.contains("Converting " + name + " Step 1"), qPrintable(shown.join('|')));
        QCOMPARE(form_->ProgressBar1->text(), QStringLiteral("Progress Bar"));
    }

    void browseFillsOnlyItsOwnField() {
        Form1& f = *form_;
        f.Text2->setText("/keep/two.mp3");
        prompts_.files << "/music/one.MP3.flac";
        f.PushButton1_Click();
        QCOMPARE(prompts_.seen.size(), 1);
        const Prompt& p = prompts_.seen.first();
        QCOMPARE(p.kind, Prompt::Open);
        QCOMPARE(p.request.title, QStringLiteral("Select MP3 File"));
        QCOMPARE(p.request.filter, QStringLiteral("MP3 Files (*.mp3)|*.mp3"));
        QCOMPARE(p.request.fileName, QString());
        QCOMPARE(f.Text1->text(), QStringLiteral("/music/one.MP3.flac"));
        QCOMPARE(stored("Text1"), QStringLiteral("/music/one.MP3.flac"));
        QCOMPARE(f.Text2->text(), QStringLiteral("/keep/two.mp3"));
        QCOMPARE(stored("Text2"), QStringLiteral("/keep/two.mp3"));

        // Cancel leaves field and store alone; the next showing starts fresh.
        QFile::remove(config_.path() + "/Quorvane.ini");
        f.PushButton3_Click();
        QCOMPARE(prompts_.seen.last().request.fileName, QString());
        QCOMPARE(f.Text2->text(), QStringLiteral("/keep/two.mp3"));
        QVERIFY(!QFile::exists(config_.path() + "/Quorvane.ini"));
        QCOMPARE(prompts_.count(Prompt::Warning), 0);
    }

    void browseStartsInTheFieldsFolder() {
        QTemporaryDir dir;
        form_->Text1->setText(dir.path() + "/song.mp3");
        form_->PushButton1_Click();
        QCOMPARE(prompts_.seen.last().request.initialFolder, dir.path());
        // An empty field: the person's home, as Save As does, not the program's folder.
        form_->Text1->clear();
        form_->PushButton1_Click();
        QCOMPARE(prompts_.seen.last().request.initialFolder, QDir::homePath());
    }

    void everyChangeIsStored() {
        Form1& f = *form_;
        f.Text1->setFocus();
        QTest::keyClicks(f.Text1, "a b");
        QCOMPARE(f.Text1->text(), QStringLiteral("a b"));
        QCOMPARE(stored("Text1"), QStringLiteral("a b"));
        QTest::keyClick(f.Text1, Qt::Key_Backspace);
        QCOMPARE(stored("Text1"), QStringLiteral("a "));
        f.Text1->clear();
        QCOMPARE(stored("Text1"), QString());
        QCOMPARE(stored("Text2"), QString("<none>"));
    }

    void filesHandedOverFillTheFieldsInOrder() {
        form_->Text2->setText("/kept.mp3");
        form_->OpenFiles({"/music/one.mp3"});
        QCOMPARE(form_->Text1->text(), QStringLiteral("/music/one.mp3"));
        QCOMPARE(form_->Text2->text(), QStringLiteral("/kept.mp3"));
        form_->OpenFiles({"/music/a b.ogg", "/music/two.mp3", "/ignored.mp3"});
        QCOMPARE(form_->Text1->text(), QStringLiteral("/music/a b.ogg"));
        QCOMPARE(form_->Text2->text(), QStringLiteral("/music/two.mp3"));
        QCOMPARE(stored("Text2"), QStringLiteral("/music/two.mp3"));
    }

    void fieldsAreReadAsPeopleMeanThem() {
        const QString home = QDir::homePath();
        const std::pair<QString, QString> rows[] = {
            {"~/Music/a b.mp3", home + "/Music/a b.mp3"},
            {"~", home},
            {"~ann/a.mp3", "~ann/a.mp3"},
            {"/x/~/a.mp3", "/x/~/a.mp3"},
            {"file:///home/me/a%20b%C3%A9%E6%97%A5.mp3", "/home/me/a bé日.mp3"},
            {"file://localhost/m/a.mp3", "/m/a.mp3"},
            {"https://x.example/a.mp3", "https://x.example/a.mp3"}};
        for (const auto& [typed, read] : rows) {
            form_->Text2->setText(typed);
            QCOMPARE(form_->text2(), read);
            // What was typed is what shows and what is stored.
            QCOMPARE(stored("Text2"), typed);
        }
        // A link pasted from a file manager becomes its path; typed, it is left alone.
        QGuiApplication::clipboard()->setText("file:///home/me/my%20song%C3%A9.mp3\n");
        form_->Text1->setFocus();
        QTest::keyClick(form_->Text1, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(stored("Text1"), QString("/home/me/my songé.mp3"));
        // A line break copied with a path from a terminal is no part of it, but is when the
        // name really ends in one.
        for (const char* copied : {"/home/me/a b.mp3\n", "/home/me/a b.mp3\r\n"}) {
            form_->Text1->clear();
            QGuiApplication::clipboard()->setText(copied);
            QTest::keyClick(form_->Text1, Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(stored("Text1"), QString("/home/me/a b.mp3"));
        }
        form_->OpenFiles({"/m/ends in a break\n"});
        QCOMPARE(form_->text1(), QString("/m/ends in a break\n"));
        form_->Text2->clear();
        QTest::keyClicks(form_->Text2, "file:///");
        QCOMPARE(form_->Text2->text(), QStringLiteral("file:///"));
    }

    void returnPressesTheFocusedButton() {
        const std::tuple<QPushButton*, Qt::Key, Prompt::Kind> rows[] = {
            {form_->PushButton4, Qt::Key_Return, Prompt::Message},
            {form_->PushButton1, Qt::Key_Enter, Prompt::Open},
            {form_->PushButton5, Qt::Key_Space, Prompt::Question}};
        for (const auto& [button, key, kind] : rows) {
            prompts_.seen.clear();
            QTest::keyClick(button, key);
            QCOMPARE(prompts_.seen.size(), 1);
            QCOMPARE(prompts_.seen.first().kind, kind);
        }
    }

    void dropsLandWhereTheyShow_data() {
        QTest::addColumn<QString>("over");
        QTest::addColumn<QStringList>("links");
        QTest::addColumn<QStringList>("fields"); // after the drop; empty: refused, unchanged
        QTest::addColumn<int>("offered");        // the source's actions; 0: all three
        const QString file = QFINDTESTDATA("test_window.cpp"), dir = QFileInfo(file).path();
        const QString one = "file://" + file, two = "file:///m/two%20b.mp3";
        QTest::newRow("one on the 2nd field")
            << "Text2" << QStringList{one} << QStringList{"/keep/1", file} << 0;
        QTest::newRow("one on the 1st frame")
            << "Frame2" << QStringList{one} << QStringList{file, "/keep/2"} << 0;
        QTest::newRow("two on a button")
            << "PushButton5" << QStringList{one, two} << QStringList{file, "/m/two b.mp3"} << 0;
        QTest::newRow("two on the 2nd field")
            << "Text2" << QStringList{two, one} << QStringList{"/m/two b.mp3", file} << 0;
        QTest::newRow("one on a button") << "PushButton2" << QStringList{one} << QStringList{} << 0;
        QTest::newRow("a folder") << "Form1" << QStringList{one, "file://" + dir} << QStringList{}
                                  << 0;
        QTest::newRow("a web address")
            << "Text1" << QStringList{"https://x.example/a.mp3"} << QStringList{} << 0;
        QTest::newRow("three") << "Form1" << QStringList{one, two, two} << QStringList{} << 0;
        QTest::newRow("offered only to be moved")
            << "Text2" << QStringList{one} << QStringList{} << int(Qt::MoveAction);
        QTest::newRow("offered to be linked or moved")
            << "Text2" << QStringList{one} << QStringList{"/keep/1", file}
            << int(Qt::LinkAction | Qt::MoveAction);
    }
    void dropsLandWhereTheyShow() {
        QFETCH(QString, over);
        QFETCH(QStringList, links);
        QFETCH(QStringList, fields);
        QFETCH(int, offered);
        // Shift asks to move: a source that deletes after a move would lose the person's file.
        const Qt::DropActions actions(
            offered ? offered : int(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction));
        Form1& f = *form_;
        const QStringList before{"/keep/1", "/keep/2"};
        f.Text1->setText(before[0]);
        f.Text2->setText(before[1]);
        QWidget* target = over == "Form1" ? &f : f.findChild<QWidget*>(over);
        QMimeData mime;
        mime.setUrls(QUrl::fromStringList(links));
        mime.setText(links.join('\n'));
        QDragEnterEvent enter({5, 5}, actions, &mime, Qt::LeftButton, Qt::ShiftModifier);
        QCOMPARE(enter.proposedAction(), Qt::MoveAction);
        QApplication::sendEvent(target, &enter);
        QCOMPARE(enter.isAccepted(), !fields.isEmpty());
        if (enter.isAccepted())
            QCOMPARE(enter.dropAction(),
                     actions & Qt::CopyAction ? Qt::CopyAction : Qt::LinkAction);
        // While it hovers, the fields it will fill are marked, and only those.
        const QColor mark = f.palette().color(QPalette::Highlight);
        const auto marked = [&](QLineEdit* t) {
            return t->palette().color(QPalette::Base) == mark;
        };
        QCOMPARE(marked(f.Text1), !fields.isEmpty() && fields[0] != before[0]);
        QCOMPARE(marked(f.Text2), !fields.isEmpty() && fields[1] != before[1]);
        QDropEvent drop({5, 5}, actions, &mime, Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(target, &drop);
        QCOMPARE(QStringList({f.Text1->text(), stored("Text2")}),
                 fields.isEmpty() ? before : fields);
        QVERIFY(!marked(f.Text1) && !marked(f.Text2));
    }

    void nothingIsMarkedBeforeAControlHasTheKeyboard() {
        // Loaded but never shown: no control has had the keyboard yet.
        const QImage picture = form_->grab().toImage();
        const QColor highlight = form_->palette().color(QPalette::Highlight);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                QVERIFY(picture.pixelColor(x, y) != highlight);
    }

    void theToolkitSpeaksTheUsersLanguage() {
        QTranslator* german = loadToolkitTranslations(QLocale("de_DE"));
        QVERIFY2(german, "no toolkit translations (scripts/install-deps installs them)");
        QCOMPARE(QCoreApplication::translate("QFileDialog", "Look in:"), "Suchen in:");
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Yes"), "&Ja");
        QCoreApplication::removeTranslator(german);
    }

    void messageBoxesShowTheirCaptionAndOpenTheirAddress() {
        // A name that holds an address, markup or a right-to-left override is plain text,
        // shown whole; only the help message's own address is a link.
        const QString spoof = "Can't read the file.../m/https://x.example/<b>a & b\u202E3pm.mp3";
        const std::tuple<QString, bool, QString> rows[] = {
            {"Done.", false, "Done."},
            {"Questions? Please contact Team Quorvane at " + kContactPage, true, ""},
            {spoof, false, "Can't read the file.../m/https://x.example/<b>a & b<U+202E>3pm.mp3"}};
        for (const auto& [text, link, shown] : rows) {
            QTimer::singleShot(0, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                const auto close = qScopeGuard([box] { box->accept(); });
                auto* label = box->findChild<QLabel*>("qt_msgbox_label");
                // The title bar holds the caption beside the window's icon and buttons.
                const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
                QVERIFY(box->width() >= title.horizontalAdvance("Blendora") + 3 * 32);
                QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(label);
                QCOMPARE(heard->text(QAccessible::Name), QtPrompts::displayText(text));
                QVERIFY(label->textInteractionFlags() & Qt::TextSelectableByMouse);
                QCOMPARE(label->text().contains("<a href=\"" + kContactPage + "\">"), link);
                QCOMPARE(label->textFormat(), link ? Qt::RichText : Qt::PlainText);
                if (!link)
                    QCOMPARE(label->text(), shown);
                QVERIFY(label->openExternalLinks());
                // A link takes the keyboard only after the buttons.
                QVERIFY(!link || qobject_cast<QPushButton*>(box->focusWidget()));
            });
            if (link)
                QtPrompts().messageWithLink(text.chopped(kContactPage.size()), kContactPage,
                                            "Blendora");
            else
                QtPrompts().message(text, "Blendora");
        }
    }

    // Told while the person types: the box holds neither the caller nor the keyboard.
    void aNoticeLeavesTheKeysToTheField() {
        QtPrompts prompts;
        prompts.setParent(form_.get());
        prompts.notice("The settings file <b>x</b> cannot be written.", "Blendora");
        QVERIFY(!QApplication::activeModalWidget());
        auto* box = form_->findChild<QMessageBox*>();
        QVERIFY(box && box->isVisible());
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QVERIFY(box->testAttribute(Qt::WA_ShowWithoutActivating));
        box->accept();
    }

    // The toolkit's own dialog reads a typed name with double quotes as a list of names.
    void saveAsTakesTheNameAsTyped() {
        QTemporaryDir start, other;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->setDirectory(other.path());
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            QVERIFY(name);
            name->setText(R"(my "best" mix.mp3)");
            QTest::keyClick(name, Qt::Key_Return);
            if (dialog->isVisible())
                dialog->reject();
        });
        const QString chosen = QtPrompts().saveFile({"", "Save", "", start.path()});
        QCOMPARE(chosen, other.path() + R"(/my "best" mix.mp3)");
    }

    // Whoever asks whether to replace a file, the toolkit or we (for a name with quotes), the
    // name is data: markup in it would tell the person the opposite of what Yes does.
    void replacingIsAskedWithTheNameAsItIs_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("the toolkit's question")
            << "<b>Nothing will be replaced.<br>Press Yes to keep it<!-- x.mp3";
        QTest::newRow("ours, for a name with quotes") << R"(<b>"Yes" keeps it<br>x.mp3)";
    }
    void replacingIsAskedWithTheNameAsItIs() {
        QFETCH(QString, name);
        QTemporaryDir start;
        test::writeAll(start.filePath(name), "an earlier mix\n");
        QString asked;
        bool typed = false;
        QTimer person;
        connect(&person, &QTimer::timeout, [&] {
            QWidget* shown = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(shown)) {
                auto* label = box->findChild<QLabel*>("qt_msgbox_label");
                asked = (label->textFormat() == Qt::PlainText ? "" : "markup: ") + label->text();
                box->button(QMessageBox::Yes)->click();
            } else if (auto* dialog = qobject_cast<QFileDialog*>(shown); dialog && !typed) {
                typed = true;
                auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
                edit->setText(name);
                QTimer::singleShot(0, edit, [edit] { QTest::keyClick(edit, Qt::Key_Return); });
            }
        });
        person.start(20);
        QCOMPARE(QtPrompts().saveFile({"", "Save", "", start.path()}), start.filePath(name));
        QVERIFY2(asked.startsWith(name + " already exists."), qPrintable(asked));
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
