// Program start: the application object, its title, the windows, the message loop.
#include "app/Unit1.h"
#include "platform/Desktop.h"
#include "platform/Fonts.h"
#include "platform/Sound.h"
#include "settings/UxThemeRT.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char** argv) {
    platform::PreferXWayland();
    // Read while the toolkit connects to the display.
    const platform::FontConfigPreload fontConfig;
    // The menu stays in the window, at the height the layout was drawn for,
    // also on desktops that show a menu bar of their own.
    QApplication::setAttribute(Qt::AA_DontUseNativeMenuBar);
    QApplication app(argc, argv);
    QApplication::setStyle(platform::ProgramStyle());
    QApplication::setApplicationName(QStringLiteral("Veltroy"));
    QApplication::setWindowIcon(platform::ProgramIcon());
    QApplication::setDesktopFileName(QString::fromLatin1(platform::DesktopEntryId));
    // The toolkit's own dialogs (colour picker, file chooser) speak Japanese too.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(QStringLiteral("qtbase_ja"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&toolkitTexts);
    // The visual-styles library, when it is there, before any window exists.
    UxThemeRT::LoadThemeLibrary();
    int result = 0;
    {
        // Only the main window is shown; the popup, the settings dialog and the
        // about window stay hidden until used.
        TApplicationWindows windows = CreateApplicationWindows();
        QObject::connect(windows.Form1.get(), &TForm1::Closed, &app, &QApplication::quit,
                         Qt::QueuedConnection);
        windows.Form1->show();
        result = QApplication::exec();
    }
    UxThemeRT::FreeThemeLibrary();
    platform::ShutdownSound();
    return result;
}
