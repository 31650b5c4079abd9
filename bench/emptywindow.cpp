// The yardsticks of bench/startup.sh: an empty Qt 6 window of the main window's size,
// and with "--label" the same window showing one Japanese label in the game's font.
#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.resize(533, 366);
    window.setWindowTitle(QStringLiteral("Empty"));
    if (argc > 1 && std::strcmp(argv[1], "--label") == 0) {
        // The family list and size of the game's own texts: the least a window
        // showing any of them costs (the font database, one font).
        QFont font;
        font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                          QStringLiteral("IPAPGothic")});
        font.setPixelSize(12);
        window.setFont(font);
        new QLabel(QStringLiteral("はじめる"), &window);
    }
    window.show();
    return QApplication::exec();
}
