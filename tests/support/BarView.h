#pragma once

#include "Form1View.h"

#include <QString>

namespace blendora::test {

// A view with nothing but the progress bar, for work done without a window. Like the real bar
// it refuses a value outside its range.
class BarView : public Form1View {
  public:
    QString text1() const override { return {}; }
    QString text2() const override { return {}; }
    void setText1(const QString&) override {}
    void setText2(const QString&) override {}
    int mousePointer() const override { return PointerDefault; }
    void setMousePointer(int) override {}
    int progressValue() const override { return value_; }
    void setProgressValue(int value) override {
        checkProgressValue(value, 0, maximum_);
        value_ = value;
    }
    QString progressText() const override { return text_; }
    void setProgressText(const QString& text) override { text_ = text; }
    void setProgressMaximum(int maximum) override { maximum_ = maximum; }

  private:
    int value_ = 0;
    int maximum_ = 100;
    QString text_;
};

} // namespace blendora::test
