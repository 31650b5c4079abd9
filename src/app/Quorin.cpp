// Program start: the application object, its title, the windows, the message loop.
#include "app/Unit1.h"
#include "platform/Sound.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltroy"));
    int result = 0;
    {
        // Only the main window is shown; the popup, the settings dialog and the
        // about window stay hidden until used.
        TApplicationWindows windows = CreateApplicationWindows();
        windows.Form1->show();
        result = QApplication::exec();
    }
    platform::ShutdownSound();
    return result;
}
