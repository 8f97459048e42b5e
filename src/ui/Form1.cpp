#include "Form1.h"

#include "AppTitle.h"
#include "CursorFile.h"
#include "ErrorReport.h"
#include "Failure.h"
#include "FocusMark.h"
#include "MixJob.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "Settings.h"

#include <QAccessibleWidget>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QUrl>

namespace blendora {

namespace {

// Lengths are laid out in twips, 15 to a logical pixel.
int tw(int twips) {
    return qRound(twips / 15.0);
}
QRect twipRect(int left, int top, int width, int height) {
    return QRect(tw(left), tw(top), tw(width), tw(height));
}

QFont formFont() {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(9);
    font.setBold(true);
    return font;
}

QFont buttonFont() {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(11.25);
    font.setBold(true);
    return font;
}

QIcon fullIcon() {
    QIcon icon;
    for (int size : {32, 48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/blendora-%1.png").arg(size), QSize(size, size));
    return icon;
}

// A link as a file manager copies or drags it: file:///home/me/a%20song.mp3.
std::optional<QString> fileLink(const QString& text) {
    QUrl url(text.trimmed());
    if (url.host() == QLatin1String("localhost"))
        url.setHost(QString());
    if (!url.isValid() || !url.isLocalFile() || url.path().isEmpty() || !url.host().isEmpty())
        return std::nullopt;
    return url.toLocalFile();
}

// A field as a person means it: "~" is their home folder, a file link the file's path.
QString fieldPath(const QString& text) {
    if (text == QLatin1String("~") || text.startsWith(QLatin1String("~/")))
        return QDir::homePath() + text.mid(1);
    if (text.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        return fileLink(text).value_or(text);
    return text;
}

// The files a drag brings: each a local file, else none at all.
QStringList draggedFiles(const QMimeData* mime) {
    if (!mime || !mime->hasUrls())
        return {};
    QStringList files;
    for (const QUrl& url : mime->urls()) {
        const auto file = fileLink(url.toString(QUrl::FullyEncoded));
        if (!file || QFileInfo(*file).isDir())
            return {};
        files << *file;
    }
    return files;
}

// Screen readers announce a window from a frame; a plain widget would be a mere filler.
QAccessibleInterface* windowAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String(Form1::staticMetaObject.className()) && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

Form1::Form1(Form1Seams seams)
    : seams_(std::move(seams)), prompts_(seams_.prompts ? seams_.prompts : &qtPrompts_),
      shell_(seams_.shell ? seams_.shell : &qtShell_),
      engine_(seams_.engine ? seams_.engine : &realEngine()), decoder_(*engine_, *prompts_) {
    qtPrompts_.setParent(this);
    // Once per process: a factory stays installed.
    [[maybe_unused]] static const bool windowIsAFrame =
        (QAccessible::installFactory(windowAccessible), true);
    if (!seams_.random)
        seams_.random = defaultRandomDraw();
    buildLayout();
}

Form1::~Form1() = default;

namespace {

// The window and its frames are white whatever the colour scheme, so what is written straight
// on them is black; fields and buttons keep the scheme's colours.
QPalette whitePalette(QPalette palette) {
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    return palette;
}

} // namespace

void Form1::buildLayout() {
    setLooks();
    makeControls();
    orderKeyboardAndNames();
    connectHandlers();
    trackPointerAndCentre();
}

void Form1::setLooks() {
    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(tw(8040), tw(3990));
    setFont(formFont());
    setWindowIcon(QIcon(QStringLiteral(":/icons/blendora-32.png")));
    setPalette(whitePalette(palette()));
    setAutoFillBackground(true);
}

void Form1::makeControls() {
    auto button = [this](const char* name, const QString& caption, QWidget* parent,
                         QRect geometry) {
        auto* b = new QPushButton(caption, parent);
        b->setObjectName(QLatin1String(name));
        b->setFont(buttonFont());
        b->setGeometry(geometry);
        return b;
    };
    const QPalette white = whitePalette(palette());
    auto frame = [this, &white](const char* name, const QString& caption, QRect geometry) {
        auto* f = new QGroupBox(caption, this);
        f->setObjectName(QLatin1String(name));
        f->setGeometry(geometry);
        f->setPalette(white);
        f->setAutoFillBackground(true);
        f->setFocusPolicy(Qt::NoFocus);
        f->setAcceptDrops(true);
        return f;
    };
    auto field = [](const char* name, QWidget* parent, QRect geometry) {
        auto* t = new QLineEdit(parent);
        t->setObjectName(QLatin1String(name));
        t->setGeometry(geometry);
        return t;
    };

    PushButton4 =
        button("PushButton4", QStringLiteral("Help"), this, twipRect(120, 120, 7800, 405));
    Frame2 = frame("Frame2", QStringLiteral("1st File"), twipRect(120, 600, 7800, 800));
    Text1 = field("Text1", Frame2, twipRect(240, 300, 6615, 345));
    PushButton1 =
        button("PushButton1", QStringLiteral("..."), Frame2, twipRect(6960, 300, 600, 345));
    Frame1 = frame("Frame1", QStringLiteral("2nd File"), twipRect(120, 1470, 7800, 800));
    Text2 = field("Text2", Frame1, twipRect(240, 300, 6615, 345));
    PushButton3 =
        button("PushButton3", QStringLiteral("..."), Frame1, twipRect(6960, 300, 600, 345));
    PushButton5 = button("PushButton5", QStringLiteral("Load Sample/Example MP3 Files"), this,
                         twipRect(120, 2400, 7800, 405));
    PushButton2 =
        button("PushButton2", QStringLiteral("Start Mixing"), this, twipRect(120, 2925, 7800, 405));
    ProgressBar1 = new TextLineBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(twipRect(120, 3450, 7800, 405));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(true);
    ProgressBar1->setAlignment(Qt::AlignCenter);
    ProgressBar1->setLine(QStringLiteral("Progress Bar"));
    ProgressBar1->setFocusPolicy(Qt::NoFocus);
    // Two files dropped anywhere fill both fields.
    setAcceptDrops(true);
    installEventFilter(this);

    // The style's own mark on a focused button is a faint line.
    new FocusMark(this);
    FocusMark::markEveryDialog();
}

void Form1::orderKeyboardAndNames() {
    setTabOrder(Text1, PushButton1);
    setTabOrder(PushButton1, Text2);
    setTabOrder(Text2, PushButton3);
    setTabOrder(PushButton3, PushButton5);
    setTabOrder(PushButton5, PushButton2);
    setTabOrder(PushButton2, PushButton4);
    // The keyboard starts where the order does, not at the first control made.
    Text1->setFocus();

    // What a screen reader says: the fields are named by their frames, and "..." says nothing.
    Text1->setAccessibleName(Frame2->title());
    Text2->setAccessibleName(Frame1->title());
    PushButton1->setAccessibleName(QStringLiteral("Browse for the first file"));
    PushButton3->setAccessibleName(QStringLiteral("Browse for the second file"));
}

void Form1::connectHandlers() {
    connect(PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(PushButton4, &QPushButton::clicked, this, &Form1::PushButton4_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
    connect(Text2, &QLineEdit::textChanged, this, &Form1::Text2_Change);
    for (QLineEdit* field : {Text1, Text2})
        connect(field, &QLineEdit::textEdited, this, [field](const QString& text) {
            const QClipboard* clipboard = QGuiApplication::clipboard();
            for (auto mode : {QClipboard::Clipboard, QClipboard::Selection}) {
                const QString pasted = clipboard->text(mode);
                // A file manager's copied file pastes as a link; the field shows its path.
                if (text.trimmed() == pasted.trimmed())
                    if (const auto path = fileLink(text))
                        return field->setText(*path);
                // A path copied from a terminal brings the line's break, which no one means as
                // part of the name. A name that does end in one still comes whole from the
                // dialog, a drop or the command line.
                qsizetype end = pasted.size();
                while (end > 0 && (pasted[end - 1] == u'\n' || pasted[end - 1] == u'\r'))
                    --end;
                if (const qsizetype at = text.indexOf(pasted); end < pasted.size() && at >= 0)
                    return field->setText(QString(text).remove(at + end, pasted.size() - end));
            }
        });
}

void Form1::trackPointerAndCentre() {
    // Every control reports pointer moves to its own handler, and only to it.
    setMouseTracking(true);
    for (QWidget* w : findChildren<QWidget*>()) {
        w->setMouseTracking(true);
        w->setAttribute(Qt::WA_NoMousePropagation);
        w->installEventFilter(this);
    }
    setMousePointer(PointerDefault);

    // Centred on first placement.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frameRect(QPoint(), size());
        frameRect.moveCenter(screen->availableGeometry().center());
        move(frameRect.topLeft());
    }
}

// ---- start-up and shutdown -------------------------------------------------------------

bool Form1::Form_Load() {
    Trap trap(*prompts_, proc::FormLoad);
    trap.at(100, [&] { ApplySkin(); });
    const QString cursorFile = programFolder() + QStringLiteral("/HAND-M.CUR");
    if (trap.test(104, [&] { return FileIsPresent(cursorFile); })) {
        trap.at(106, [&] { MouseIcon = LoadCursorFile(cursorFile); });
    }
    trap.at(108, [&] { OpenHomePageAtRandom(seams_.random, *shell_); });
    trap.at(128, [&] { setWindowTitle(kProductTitle); });
    trap.at(128, [&] { setWindowIcon(fullIcon()); });
    trap.at(128, [&] { SetAppTitle(kProductTitle); });
    // 130: the current drive; there are no drives here.
    trap.at(132, [&] {
        if (!QDir::setCurrent(programFolder()))
            fail(shownName(programFolder()) +
                 QStringLiteral(": the folder cannot be made the current one."));
    });
    if (trap.test(134, [&] { return HiWordOf(engine_->GetVersion()) != 0x0204; })) {
        trap.at(136, [&] {
            prompts_->message(QStringLiteral("An incorrect version of BASS.DLL was loaded"),
                              appTitle());
        });
        endProgram();
        return false;
    }
    trap.at(140, [&] { engine_->SetConfig(kConfigUpdatePeriod, 0); });
    if (trap.test(142, [&] { return engine_->Init(0, 44100, 0, this, nullptr) == 0; })) {
        trap.at(144,
                [&] { prompts_->message(QStringLiteral("Can't initialize device"), appTitle()); });
        endProgram();
        return false;
    }
    trap.at(148, [&] { setText1(settings_.read(QStringLiteral("Text1"))); });
    trap.at(150, [&] { setText2(settings_.read(QStringLiteral("Text2"))); });
    return true;
}

void Form1::ApplySkin() {
    const QString skinFile = programFolder() + QStringLiteral("/x/o.cjs");
    const QFileInfo info(skinFile);
    if (!info.isFile() || info.isHidden())
        return;
    const QColor buttonFace = palette().color(QPalette::Button);
    QPalette face = palette();
    face.setColor(QPalette::Window, buttonFace);
    face.setColor(QPalette::WindowText, palette().color(QPalette::ButtonText));
    setPalette(face);
    for (QGroupBox* frame : {Frame2, Frame1})
        frame->setPalette(face);
    SkinFramework1.LoadSkin(skinFile, QString());
    SkinFramework1.AutoApplyNewWindows = true;
    SkinFramework1.ApplyWindow(this);
}

void Form1::Form_QueryUnload() {
    Trap trap(*prompts_, proc::FormQueryUnload);
    trap.at(102, [&] { engine_->Free(); });
}

void Form1::Form_Unload() {
    endProgram();
}

void Form1::endProgram() {
    if (seams_.endProgram)
        seams_.endProgram();
    else
        EndProgram();
}

void Form1::closeEvent(QCloseEvent* event) {
    event->accept();
    Form_QueryUnload();
    Form_Unload();
}

// ---- input fields -------------------------------------------------------------------------

QString Form1::text1() const {
    return fieldPath(Text1->text());
}
QString Form1::text2() const {
    return fieldPath(Text2->text());
}
void Form1::setText1(const QString& text) {
    Text1->setText(text);
}
void Form1::setText2(const QString& text) {
    Text2->setText(text);
}

// No trap here: a store that cannot be written is told about once, and typing goes on.
void Form1::Text1_Change() {
    settings_.write(*prompts_, QStringLiteral("Text1"), Text1->text());
}
void Form1::Text2_Change() {
    settings_.write(*prompts_, QStringLiteral("Text2"), Text2->text());
}

void Form1::browse(const QString& procedureText, QLineEdit* field) {
    Trap trap(*prompts_, procedureText);
    trap.at(100, [&] { CommonDialog1.FileName = QString(); });
    trap.at(102, [&] { CommonDialog1.DialogTitle = QStringLiteral("Select MP3 File"); });
    trap.at(104, [&] { CommonDialog1.Filter = kMp3Filter; });
    trap.at(106, [&] {
        // Start where the field's current file lies, when it names one, else at home: the
        // current folder is the program's own.
        const QFileInfo current(fieldPath(field->text()));
        CommonDialog1.InitDir = !field->text().isEmpty() && current.absoluteDir().exists()
                                    ? current.absolutePath()
                                    : QDir::homePath();
        CommonDialog1.ShowOpen(*prompts_);
    });
    if (trap.test(108, [&] { return !CommonDialog1.FileName.isEmpty(); }))
        trap.at(110, [&] { field->setText(CommonDialog1.FileName); });
}

void Form1::OpenFiles(const QStringList& files) {
    if (files.size() > 0)
        setText1(files[0]);
    if (files.size() > 1)
        setText2(files[1]);
}

void Form1::PushButton1_Click() {
    browse(proc::PushButton1Click, Text1);
}
void Form1::PushButton3_Click() {
    browse(proc::PushButton3Click, Text2);
}

// ---- samples and help -------------------------------------------------------------------

void Form1::PushButton5_Click() {
    Trap trap(*prompts_, proc::PushButton5Click);
    trap.at(100, [&] { setText1(programFolder() + QStringLiteral("/Samples/sample1.mp3")); });
    trap.at(102, [&] { setText2(programFolder() + QStringLiteral("/Samples/sample2.mp3")); });
    if (trap.test(104, [&] {
            return prompts_->question(
                QStringLiteral("Would you like this software to open the folder where these "
                               "sample files are stored (so that you can view them before "
                               "working with them)?\r\rYou may want to listen to these MP3 files "
                               "first before you use this software to blend them so that you "
                               "know what they sound like before the blend."),
                appTitle());
        }))
        trap.at(106, [&] { shell_->openFolder(programFolder() + QStringLiteral("/Samples/")); });
}

void Form1::PushButton4_Click() {
    Trap trap(*prompts_, proc::PushButton4Click);
    trap.at(100, [&] {
        prompts_->messageWithLink(QStringLiteral("Questions? Please contact Team Quorvane at "),
                                  kContactPage, appTitle());
    });
}

// ---- the mix job --------------------------------------------------------------------------

void Form1::PushButton2_Click() {
    MixContext job{*this, *prompts_, CommonDialog1, decoder_, MixInProgress};
    RunMixJob(job);
}

// ---- progress bar -------------------------------------------------------------------------

int Form1::progressValue() const {
    return ProgressBar1->value();
}
void Form1::setProgressValue(int value) {
    checkProgressValue(value, ProgressBar1->minimum(), ProgressBar1->maximum());
    ProgressBar1->setValue(value);
}
QString Form1::progressText() const {
    return ProgressBar1->text();
}
void Form1::setProgressText(const QString& text) {
    ProgressBar1->setLine(text);
}
void Form1::setProgressMaximum(int maximum) {
    ProgressBar1->setMaximum(maximum);
}

// ---- pointer feedback ---------------------------------------------------------------------

QCursor Form1::cursorFor(int pointer) const {
    switch (pointer) {
    case PointerBusy:
        return QCursor(Qt::WaitCursor);
    case PointerCustom:
        return MouseIcon ? *MouseIcon : QCursor(Qt::PointingHandCursor);
    default:
        return QCursor(Qt::ArrowCursor);
    }
}

void Form1::setMousePointer(int pointer) {
    mousePointer_ = pointer;
    // One pointer for the whole window: a field must not show its own I-beam.
    const QCursor cursor = cursorFor(pointer);
    setCursor(cursor);
    for (QWidget* w : findChildren<QWidget*>())
        w->setCursor(cursor);
}

void Form1::hover(int pointer) {
    if (mousePointer_ != PointerBusy)
        setMousePointer(pointer);
}

void Form1::Form_MouseMove() {
    hover(PointerDefault);
}
void Form1::Frame1_MouseMove() {
    hover(PointerDefault);
}
void Form1::Frame2_MouseMove() {
    hover(PointerDefault);
}
void Form1::Text1_MouseMove() {
    hover(PointerDefault);
}
void Form1::Text2_MouseMove() {
    hover(PointerDefault);
}
void Form1::PushButton1_MouseMove() {
    hover(PointerCustom);
}
void Form1::PushButton2_MouseMove() {
    hover(PointerCustom);
}
void Form1::PushButton3_MouseMove() {
    hover(PointerCustom);
}
void Form1::PushButton4_MouseMove() {
    hover(PointerCustom);
}
void Form1::PushButton5_MouseMove() {
    hover(PointerCustom);
}

void Form1::mouseMoveEvent(QMouseEvent* event) {
    Form_MouseMove();
    QWidget::mouseMoveEvent(event);
}

void Form1::mouseMoveOver(QObject* watched) {
    using Handler = void (Form1::*)();
    const std::pair<QObject*, Handler> handlers[] = {{PushButton1, &Form1::PushButton1_MouseMove},
                                                     {PushButton2, &Form1::PushButton2_MouseMove},
                                                     {PushButton3, &Form1::PushButton3_MouseMove},
                                                     {PushButton4, &Form1::PushButton4_MouseMove},
                                                     {PushButton5, &Form1::PushButton5_MouseMove},
                                                     {Text1, &Form1::Text1_MouseMove},
                                                     {Text2, &Form1::Text2_MouseMove},
                                                     {Frame1, &Form1::Frame1_MouseMove},
                                                     {Frame2, &Form1::Frame2_MouseMove}};
    for (const auto& [control, handler] : handlers)
        if (watched == control)
            (this->*handler)();
}

void Form1::takeDrop(QObject* watched, QDropEvent* drop) {
    // Only the path is read: a Move would let a source that deletes after a move lose the
    // person's file. Copy, else Link; a source that offers neither is refused.
    const Qt::DropAction action = drop->possibleActions() & Qt::CopyAction   ? Qt::CopyAction
                                  : drop->possibleActions() & Qt::LinkAction ? Qt::LinkAction
                                                                             : Qt::IgnoreAction;
    const QList<QLineEdit*> fields =
        action == Qt::IgnoreAction ? QList<QLineEdit*>() : dropTargets(watched, drop->mimeData());
    showDropTargets(fields);
    if (fields.isEmpty()) {
        drop->ignore();
        return;
    }
    drop->setDropAction(action);
    drop->accept();
    if (drop->type() == QEvent::Drop) {
        showDropTargets({});
        const QStringList files = draggedFiles(drop->mimeData());
        for (qsizetype i = 0; i < fields.size(); ++i)
            fields[i]->setText(files[i]);
    }
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseMove:
        mouseMoveOver(watched);
        break;
    case QEvent::KeyPress: {
        // Return presses a button as Space does, as in the desktop's dialogs.
        auto* key = static_cast<QKeyEvent*>(event);
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            key->modifiers() == Qt::NoModifier) {
            if (!key->isAutoRepeat())
                button->click();
            return true;
        }
        break;
    }
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!drop->mimeData()->hasUrls())
            break; // text dragged into a field is typing
        takeDrop(watched, drop);
        return true;
    }
    case QEvent::DragLeave:
        showDropTargets({});
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

QList<QLineEdit*> Form1::dropTargets(QObject* over, const QMimeData* mime) const {
    const QStringList files = draggedFiles(mime);
    if (files.size() == 2)
        return {Text1, Text2};
    if (files.size() == 1 && (over == Text1 || over == Frame2))
        return {Text1};
    if (files.size() == 1 && (over == Text2 || over == Frame1))
        return {Text2};
    return {};
}

void Form1::showDropTargets(const QList<QLineEdit*>& fields) {
    for (QLineEdit* field : {Text1, Text2}) {
        QPalette marked;
        if (fields.contains(field)) {
            marked = field->palette();
            marked.setColor(QPalette::Base, marked.color(QPalette::Highlight));
            marked.setColor(QPalette::Text, marked.color(QPalette::HighlightedText));
        }
        // An empty palette gives the field back the one it inherits.
        field->setPalette(marked);
    }
}

} // namespace blendora
