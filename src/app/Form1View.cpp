#include "Form1View.h"

#include <QCoreApplication>

namespace blendora {

void DoEvents() {
    QCoreApplication::processEvents();
}

void Form1View::doEvents() {
    DoEvents();
}

} // namespace blendora
