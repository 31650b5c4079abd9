// Program start: the application object, its title, the windows, the message loop.
#include "app/Unit1.h"
#include "platform/Sound.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltroy"));
    int result = 0;
    {
        // The main window is created first; the popup, the settings dialog and
        // the about window follow it and stay hidden until used.
        TForm1 form1;
        form1.show();
        result = QApplication::exec();
    }
    platform::ShutdownSound();
    return result;
}
