#include "Form1View.h"

#include "Failure.h"

#include <QCoreApplication>

namespace blendora {

void DoEvents() {
    QCoreApplication::processEvents();
}

void Form1View::doEvents() {
    DoEvents();
}

void BarView::setProgressValue(int value) {
    if (value < 0 || value > maximum_)
        fail(QStringLiteral("Invalid property value"));
    value_ = value;
}

} // namespace blendora
