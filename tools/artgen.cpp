// TEMPORARY placeholder until the artwork generator lands: writes empty files.
#include <QDir>
#include <QFile>
#include <QStringList>
int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir + "/art");
    QDir().mkpath(dir + "/sounds");
    for (const char* n : {"MASK", "GRY", "KAGE", "IMGKURO", "PATTERN0", "PATTERN1", "PATTERN2",
                          "PATTERN3", "PATTERN4", "PATTERN5", "PATTERN6", "PATTERN7", "EMBLEM"}) {
        QFile f(dir + "/art/" + n + ".bmp");
        f.open(QIODevice::WriteOnly);
    }
    for (const char* n : {"PIPOWAV", "KATIWAV", "MAKEWAV", "HIKIWAV", "PIPIWAV", "BEEP0", "BEEP16",
                          "BEEP48", "BEEP64"}) {
        QFile f(dir + "/sounds/" + n + ".wav");
        f.open(QIODevice::WriteOnly);
    }
    return 0;
}
