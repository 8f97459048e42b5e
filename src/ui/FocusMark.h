#pragma once

#include <QFocusFrame>

namespace blendora {

// A ring in the palette's highlight colour around whichever control of the window has the
// keyboard. Fusion marks a focused push button with a one-pixel line, hard to find on a wide
// button, and other styles each differently; this mark is ours and the same on every desktop and
// colour scheme. Being a focus frame, it may lie outside the control, and screen readers leave
// it out.
class FocusMark : public QFocusFrame {
  public:
    static constexpr int kGap = 1;   // between the control and the ring
    static constexpr int kWidth = 2; // the ring itself

    explicit FocusMark(QWidget* window);
    // Dialogs and message boxes get a mark of their own when they first show.
    static void markEveryDialog();

  protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace blendora
