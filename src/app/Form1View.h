#pragma once

#include <QString>

namespace blendora {

// Values of the window's MousePointer.
enum Pointer : int { PointerDefault = 0, PointerBusy = 11, PointerCustom = 99 };

// What the layers below the window need of Form1: its fields, pointer and progress bar, and
// a pass of the event loop. Form1 implements it; tests use a plain recording one.
class Form1View {
  public:
    virtual ~Form1View() = default;
    virtual QString text1() const = 0;
    virtual QString text2() const = 0;
    virtual void setText1(const QString& text) = 0;
    virtual void setText2(const QString& text) = 0;
    virtual int mousePointer() const = 0;
    virtual void setMousePointer(int pointer) = 0;
    virtual int progressValue() const = 0;
    virtual void setProgressValue(int value) = 0;
    virtual QString progressText() const = 0;
    virtual void setProgressText(const QString& text) = 0;
    virtual void setProgressMaximum(int maximum) = 0;
    virtual void doEvents();
};

// Throws "Invalid property value" for a value the bar cannot show, as the bar's own check does.
void checkProgressValue(int value, int minimum, int maximum);

// One pass of the event loop.
void DoEvents();

} // namespace blendora
