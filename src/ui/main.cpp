#include "Form1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    blendora::Form1 form;
    if (!form.Form_Load())
        return 0;
    form.show();
    return app.exec();
}
