// Where the settings file and the debug log live: beside the executable or in the user's folders.
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using platform::FileLocations;

class TestFileLocations : public QObject {
    Q_OBJECT

private slots:
    void rule_data() {
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("log");
        const QStringList xdg{"XDG_CONFIG_HOME=/x/conf", "XDG_STATE_HOME=/x/state/", "HOME=/h"};
        QTest::newRow("writable folder")
            << true << "/usr/libexec/veltroy" << xdg << "/opt/v/Quorin.INI"
            << "/opt/v";
        QTest::newRow("read-only, XDG set") << false << "" << xdg << "/x/conf/veltroy/Quorin.INI"
                                            << "/x/state/veltroy";
        QTest::newRow("read-only, XDG unset")
            << false << "" << QStringList{"HOME=/h"} << "/h/.config/veltroy/Quorin.INI"
            << "/h/.local/state/veltroy";
        QTest::newRow("read-only, XDG relative")
            << false << "" << QStringList{"XDG_CONFIG_HOME=conf", "XDG_STATE_HOME=", "HOME=/h"}
            << "/h/.config/veltroy/Quorin.INI"
            << "/h/.local/state/veltroy";
        // Root may write into the installed copy's folder; its files still go to the user's.
        QTest::newRow("installed, writable")
            << true << "/opt/v/" << xdg << "/x/conf/veltroy/Quorin.INI"
            << "/x/state/veltroy";
    }
    void rule() {
        QFETCH(bool, writable);
        QFETCH(QString, installed);
        QFETCH(QStringList, env);
        QProcessEnvironment environment;
        for (const QString& e : env)
            environment.insert(e.section('=', 0, 0), e.section('=', 1));
        const FileLocations got =
            platform::ChooseFileLocations("/opt/v/Quorin", writable, installed, environment);
        QTEST(got.SettingsFile, "settings");
        QTEST(got.DebugLogFolder, "log");
    }

    // The build folder is writable: this test's own files go beside it, named after it.
    void thisRun() {
        const QString folder = QCoreApplication::applicationDirPath();
        QCOMPARE(platform::ProgramFileLocations().SettingsFile, folder + "/tst_filelocations.INI");
        QCOMPARE(platform::ProgramFileLocations().DebugLogFolder, folder);
        QCOMPARE(platform::SettingsFilePath(), folder + "/tst_filelocations.INI");
    }
};

QTEST_GUILESS_MAIN(TestFileLocations)
#include "tst_filelocations.moc"
