#include "FocusMark.h"

#include <QApplication>
#include <QCommonStyle>
#include <QDialog>
#include <QPainter>
#include <QPointer>
#include <QStyleHintReturnMask>

namespace blendora {

namespace {

// A focus frame takes its reach around the control and its shape from its style.
class MarkStyle : public QCommonStyle {
  public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_FocusFrameHMargin || metric == PM_FocusFrameVMargin)
            return FocusMark::kGap + FocusMark::kWidth;
        return QCommonStyle::pixelMetric(metric, option, widget);
    }
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        // Lying on the window rather than in the control's parent, the ring is not cut off
        // where the control fills its parent, as buttons fill a message box's button row.
        if (hint == SH_FocusFrame_AboveWidget)
            return 1;
        if (hint != SH_FocusFrame_Mask)
            return QCommonStyle::styleHint(hint, option, widget, data);
        if (auto* mask = qstyleoption_cast<QStyleHintReturnMask*>(data)) {
            constexpr int w = FocusMark::kWidth;
            mask->region = QRegion(option->rect).subtracted(option->rect.adjusted(w, w, -w, -w));
        }
        return 1;
    }
};

QStyle* markStyle() {
    static QPointer<QStyle> style;
    if (!style) {
        style = new MarkStyle;
        style->setParent(qApp);
    }
    return style;
}

class DialogWatch : public QObject {
  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<QDialog*>(watched) &&
            !watched->findChild<FocusMark*>())
            new FocusMark(static_cast<QWidget*>(watched));
        return false;
    }
};

} // namespace

void FocusMark::markEveryDialog() {
    static QPointer<QObject> watch;
    if (!watch) {
        watch = new DialogWatch;
        watch->setParent(qApp);
        qApp->installEventFilter(watch);
    }
}

FocusMark::FocusMark(QWidget* window) : QFocusFrame(window) {
    setObjectName(QStringLiteral("FocusMark"));
    setStyle(markStyle());
    // Until a control of the window has the keyboard there is nothing to mark.
    hide();
    connect(qApp, &QApplication::focusChanged, this, [this, window](QWidget*, QWidget* now) {
        setWidget(now && now != window && window->isAncestorOf(now) ? now : nullptr);
    });
}

void FocusMark::paintEvent(QPaintEvent*) {
    QPainter(this).fillRect(rect(), palette().color(QPalette::Highlight));
}

} // namespace blendora
