#pragma once

#include <QProgressBar>

namespace blendora {

// A progress bar that shows its text line as it stands. QProgressBar's format would replace
// %p, %v and %m, and a file name on the line may hold any of them. Screen readers get the line
// as the bar's name, since they read no text off a bar.
class TextLineBar : public QProgressBar {
  public:
    using QProgressBar::QProgressBar;
    QString text() const override { return line_; }
    void setLine(const QString& line) {
        line_ = line;
        setAccessibleName(line);
        update();
    }

  private:
    QString line_;
};

} // namespace blendora
