#pragma once

#include "CommonDialog.h"
#include "Decode.h"
#include "EngineSeam.h"
#include "Form1View.h"
#include "HomePage.h"
#include "QtPrompts.h"
#include "Settings.h"
#include "SkinFramework.h"
#include "TextLineBar.h"

#include <QCursor>
#include <QWidget>
#include <functional>
#include <optional>

class QDropEvent;
class QGroupBox;
class QLineEdit;
class QMimeData;
class QPushButton;

namespace blendora {

// What tests replace: dialogs and message boxes, the desktop shell, the engine, the draw,
// and ending the program. Anything left empty is the real one.
struct Form1Seams {
    Prompts* prompts = nullptr;
    Shell* shell = nullptr;
    EngineSeam* engine = nullptr;
    RandomDraw random;
    std::function<void()> endProgram;
};

class Form1 : public QWidget, public Form1View {
    Q_OBJECT

  public:
    explicit Form1(Form1Seams seams = {});
    ~Form1() override;

    // Start-up before the window is shown; false when it ended the program.
    bool Form_Load();
    void Form_QueryUnload();
    void Form_Unload();

    // Puts the first file into the first field and the second into the second.
    void OpenFiles(const QStringList& files);

    void PushButton1_Click();
    void PushButton2_Click();
    void PushButton3_Click();
    void PushButton4_Click();
    void PushButton5_Click();
    void Text1_Change();
    void Text2_Change();

    void Form_MouseMove();
    void Frame1_MouseMove();
    void Frame2_MouseMove();
    void Text1_MouseMove();
    void Text2_MouseMove();
    void PushButton1_MouseMove();
    void PushButton2_MouseMove();
    void PushButton3_MouseMove();
    void PushButton4_MouseMove();
    void PushButton5_MouseMove();

    // Form1View
    QString text1() const override;
    QString text2() const override;
    void setText1(const QString& text) override;
    void setText2(const QString& text) override;
    int mousePointer() const override { return mousePointer_; }
    void setMousePointer(int pointer) override;
    int progressValue() const override;
    void setProgressValue(int value) override;
    QString progressText() const override;
    void setProgressText(const QString& text) override;
    void setProgressMaximum(int maximum) override;

    bool mixInProgress() const { return MixInProgress; }
    QCursor cursorFor(int pointer) const;
    bool hasMouseIcon() const { return MouseIcon.has_value(); }

    QPushButton* PushButton1;
    QPushButton* PushButton2;
    QPushButton* PushButton3;
    QPushButton* PushButton4;
    QPushButton* PushButton5;
    QLineEdit* Text1;
    QLineEdit* Text2;
    QGroupBox* Frame1;
    QGroupBox* Frame2;
    TextLineBar* ProgressBar1;
    CommonDialog CommonDialog1;
    SkinFramework SkinFramework1;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildLayout();
    void setLooks();
    void makeControls();
    void orderKeyboardAndNames();
    void connectHandlers();
    void trackPointerAndCentre();
    void ApplySkin();
    void endProgram();
    void hover(int pointer);
    void browse(const QString& procedureText, QLineEdit* field);
    // The MouseMove handler of the control under the pointer.
    void mouseMoveOver(QObject* watched);
    // A drag of files over a control, or their drop: which fields they go to, shown, and filled
    // on the drop.
    void takeDrop(QObject* watched, QDropEvent* drop);
    QList<QLineEdit*> dropTargets(QObject* over, const QMimeData* mime) const;
    void showDropTargets(const QList<QLineEdit*>& fields);

    Form1Seams seams_;
    QtPrompts qtPrompts_;
    QtShell qtShell_;
    Prompts* prompts_;
    Shell* shell_;
    EngineSeam* engine_;
    Decoder decoder_;
    SettingsStore settings_;

    int mousePointer_ = PointerDefault;
    std::optional<QCursor> MouseIcon;
    bool MixInProgress = false;
};

} // namespace blendora
