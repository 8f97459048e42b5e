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

void checkProgressValue(int value, int minimum, int maximum) {
    if (value < minimum || value > maximum)
        fail(QStringLiteral("Invalid property value"));
}

} // namespace blendora
