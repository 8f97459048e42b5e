#include "Form1.h"
#include "JobFolder.h"
#include "Paths.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    blendora::RemoveStaleJobFolders(blendora::temporaryFolder());
    blendora::Form1 form;
    if (!form.Form_Load())
        return 0;
    form.show();
    return app.exec();
}
