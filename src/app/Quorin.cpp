// Program start: the application object, its title, the windows, the message loop.
#include "app/Unit1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Veltroy"));
    TForm1 form1;
    form1.show();
    return QApplication::exec();
}
