// Tests of the private-profile (INI file) functions: reading, writing in place, atomic replacement.
#include "platform/IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;

namespace {

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

QString Mismatch(const char* what, const QString& got, const QString& want) {
    return QStringLiteral("%1: got [%2], expected [%3]").arg(what, got, want);
}

} // namespace

class TestIniFile : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path_;

    void put(const QByteArray& bytes) {
        QFile f(path_);
        QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(f.errorString()));
        f.write(bytes);
    }
    QByteArray contents() const {
        QFile f(path_);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QStringList folder() const {
        return QDir(dir_.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    }

private slots:
    void init() {
        QVERIFY(dir_.isValid());
        path_ = dir_.filePath("Quorin.INI");
        QFile::remove(path_);
    }

    void read() {
        put("k=outside\n"
            "  [ Form ]  \n\tWindowState=2\nTop = 15 \n;Left=1\nWidth\n"
            "[Quotes]\ndouble=  \"  a b  \"  \nsingle='x y'\nempty=\"\"\ninner=\"a\"b\"\n"
            "lone=\"\nopen=\"abc\nmixed=\"abc'\nblank=\neq=a=b\ndup=1\nDUP=2\n"
            "[Ärger]\nÖl=\"対局 \"\n"
            "[form]\nHeight=5\n");
        const struct {
            const char* what;
            const char* section;
            const char* key;
            const char* expected;
        } cases[] = {
            {"names ignore case", "FORM", "windowstate", "2"},
            {"blanks around names and value", " form ", "TOP\t", "15"},
            {"non-ASCII names ignore case", "ärger", "öL", "対局 "},
            {"double quotes", "Quotes", "double", "  a b  "},
            {"single quotes", "Quotes", "single", "x y"},
            {"empty quotes", "Quotes", "empty", ""},
            {"only the outer pair", "Quotes", "inner", "a\"b"},
            {"lone quote", "Quotes", "lone", "\""},
            {"unclosed quote", "Quotes", "open", "\"abc"},
            {"unpaired quotes", "Quotes", "mixed", "\"abc'"},
            {"empty value", "Quotes", "blank", ""},
            {"value keeps '='", "Quotes", "eq", "a=b"},
            {"first key counts", "Quotes", "Dup", "1"},
            {"comment", "Form", "Left", "DEF"},
            {"line without '='", "Form", "Width", "DEF"},
            {"only the first section counts", "Form", "Height", "DEF"},
            {"key before any section", "Form", "k", "DEF"},
            {"missing section", "NAME", "Top", "DEF"},
            {"missing key", "Form", "Bottom", "DEF"},
        };
        for (const auto& c : cases) {
            const QString got = GetPrivateProfileString(c.section, c.key, "DEF", path_);
            QVERIFY2(got == c.expected, qPrintable(Mismatch(c.what, got, c.expected)));
        }

        put("\xEF\xBB\xBF[N]\r\nk=\"v\"\r\nj=w");
        QCOMPARE(GetPrivateProfileString("N", "k", "", path_), QString("v"));
        QCOMPARE(GetPrivateProfileString("N", "j", "", path_), QString("w"));
        QFile::remove(path_);
        QCOMPARE(GetPrivateProfileString("N", "k", "DEF", path_), QString("DEF"));
        QCOMPARE(GetPrivateProfileString("N", "k", "DEF", dir_.path()), QString("DEF"));
    }

    void readLimit() {
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
        put("[N]\nlong=" + QByteArray(3000, 'a') + "\nwide=" + emoji.repeated(2100).toUtf8() +
            "\n");
        QCOMPARE(GetPrivateProfileString("N", "long", "", path_), QString(2047, 'a'));
        QCOMPARE(GetPrivateProfileString("N", "wide", "", path_), emoji.repeated(2047));
    }

    void write() {
        const struct {
            const char* what;
            QByteArray before;
            const char* section;
            const char* key;
            const char* value;
            QByteArray after;
        } cases[] = {
            {"replace keeps the file's spelling", "; top\n[Form]\n  WindowState = 0\nTop=5\n",
             "FORM", "windowstate", "2", "; top\n[Form]\nWindowState=2\nTop=5\n"},
            {"replace in the first section", "[A]\nk=1\nk=2\n[a]\nk=3\n", "a", "K", "9",
             "[A]\nk=9\nk=2\n[a]\nk=3\n"},
            {"append after the section's last key", "[A]\nx=1\n\n; B\n[B]\ny=2\n", "A", "z", "3",
             "[A]\nx=1\nz=3\n\n; B\n[B]\ny=2\n"},
            {"append to an empty section", "[A]\n\n[B]\n", "a", "k", "v", "[A]\nk=v\n\n[B]\n"},
            {"append a section", "[A]\nx=1", " B ", " y ", "2", "[A]\nx=1\n[B]\ny=2\n"},
            {"CR LF and BOM kept", "\xEF\xBB\xBF[A]\r\nx=1\r\n", "A", "x", "\"2\"",
             "\xEF\xBB\xBF[A]\r\nx=\"2\"\r\n"},
            {"foreign bytes kept", ";\x82\xa0\xff\n[A]\nx=\x82\xa0\n", "A", "y", "対",
             ";\x82\xa0\xff\n[A]\nx=\x82\xa0\ny=\xe5\xaf\xbe\n"},
            {"value written as given", "", "A", "k", " a ;b ", "[A]\nk= a ;b \n"},
        };
        for (const auto& c : cases) {
            put(c.before);
            QVERIFY2(WritePrivateProfileString(c.section, c.key, QString::fromUtf8(c.value), path_),
                     c.what);
            QVERIFY2(contents() == c.after, qPrintable(Mismatch(c.what, contents(), c.after)));
        }
    }

    // The order in which the main window saves its settings to a fresh file.
    void writeFreshFile() {
        QVERIFY(WritePrivateProfileString("NAME", "MYNAME", "\"  Sora \"", path_));
        QVERIFY(WriteInteger("COLOR", "BMP", 3, path_));
        QVERIFY(WritePrivateProfileString("COLOR", "PANELCOLOR", "\"clTeal\"", path_));
        QVERIFY(WriteBool("PUT", "PUTOKF", true, path_));
        QVERIFY(WriteBool("PUT", "SOUNDF", false, path_));
        QVERIFY(WriteInteger("Form", "Left", -20, path_));
        QCOMPARE(contents(), QByteArray("[NAME]\nMYNAME=\"  Sora \"\n[COLOR]\nBMP=3\n"
                                        "PANELCOLOR=\"clTeal\"\n[PUT]\nPUTOKF=1\nSOUNDF=0\n"
                                        "[Form]\nLeft=-20\n"));
        QCOMPARE(GetPrivateProfileString("NAME", "MYNAME", "", path_), QString("  Sora "));
        QCOMPARE(ReadInteger("FORM", "LEFT", 0, path_), -20);
        QCOMPARE(ReadBool("PUT", "PUTOKF", false, path_), true);
        QCOMPARE(ReadBool("PUT", "SOUNDF", true, path_), false);
        QCOMPARE(ReadBool("PUT", "PUTCOUNTF", true, path_), true);
    }

    // Nothing may add a line, a section or a key the caller did not name.
    void writeRefused() {
        const QString nul(QChar(0));
        const QList<QStringList> cases = {{"A\r", "A]\nk=2\n[A", "A]x", ""},          // sections
                                          {"k\nTop", "Top=9", "[B]", " ;k", " "},     // keys
                                          {"x\n[Form]\nTop=9", "x\ry=1", "x" + nul}}; // values
        const QByteArray before = "[A]\nk=0\n";
        for (qsizetype part = 0; part < cases.size(); ++part) {
            for (const QString& bad : cases[part]) {
                const QString what =
                    QStringLiteral("%1 accepted").arg(QString(bad.toUtf8().toPercentEncoding()));
                put(before);
                QVERIFY2(!WritePrivateProfileString(part == 0 ? bad : "A", part == 1 ? bad : "k",
                                                    part == 2 ? bad : "1", path_),
                         qPrintable(what));
                QVERIFY2(contents() == before, qPrintable(what));
            }
        }
        QFile::remove(path_);
        QVERIFY(!WritePrivateProfileString("A", "k", "x\ny", path_));
        QVERIFY2(!QFile::exists(path_), "a refused write created the file");
    }

    void writeFailures() {
        QVERIFY(!WritePrivateProfileString("A", "k", "1", dir_.path()));
        QVERIFY(!WritePrivateProfileString("A", "k", "1", dir_.filePath("no/such/x.INI")));
        QCOMPARE(folder(), QStringList());
        if (::geteuid() == 0) {
            QSKIP("permissions do not bind root");
        }
        const QByteArray before = "[A]\nk=0\n";
        const auto folderPermissions = QFile::permissions(dir_.path());
        const struct {
            const char* what;
            QString path;
            QFile::Permissions permissions;
        } cases[] = {{"read-only folder", dir_.path(), QFile::ReadOwner | QFile::ExeOwner},
                     {"read-only file", path_, QFile::ReadOwner},
                     {"unreadable file", path_, QFile::WriteOwner}};
        for (const auto& c : cases) {
            put(before);
            QVERIFY(QFile::setPermissions(c.path, c.permissions));
            const bool written = WritePrivateProfileString("A", "k", "1", path_);
            QFile::setPermissions(path_, QFile::ReadOwner | QFile::WriteOwner);
            QFile::setPermissions(dir_.path(), folderPermissions);
            QVERIFY2(!written, c.what);
            QVERIFY2(contents() == before, c.what);
        }
    }

    // The file is replaced by rename: a reader holding the old file still reads
    // all of it, the new file is a different inode, no temporary file remains,
    // and the permissions survive. Unchanged values cause no rewrite.
    void writeReplacesAtomically() {
        const QByteArray tail = QByteArray(100000, ';') + "\n";
        put("[A]\nk=0\nj= 2\n" + tail);
        const QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        QVERIFY(QFile::setPermissions(path_, perms));
        const ino_t oldInode = Inode(path_);
        QFile reader(path_);
        QVERIFY(reader.open(QIODevice::ReadOnly));

        QVERIFY(WritePrivateProfileString("A", "k", "0", path_));
        QCOMPARE(Inode(path_), oldInode);
        QVERIFY(WritePrivateProfileString("A", "k", "1", path_));

        QCOMPARE(reader.readAll(), "[A]\nk=0\nj= 2\n" + tail);
        QVERIFY2(Inode(path_) != oldInode, "the file was rewritten in place");
        QCOMPARE(contents(), "[A]\nk=1\nj= 2\n" + tail);
        QCOMPARE(QFile::permissions(path_) & ~QFile::Permissions(0x0F00), perms);
        QCOMPARE(folder(), QStringList{"Quorin.INI"});
        QVERIFY2(WritePrivateProfileString("A", "j", "2", path_) &&
                     contents().startsWith("[A]\nk=1\nj=2\n"),
                 "a value differing in its blanks was not rewritten");
    }

    void readInteger() {
        const struct {
            const char* text;
            int expected;
        } valid[] = {{"541", 541},
                     {"\"  -20 \"", -20},
                     {"+7", 7},
                     {"0000000000012", 12},
                     {"2147483647", INT32_MAX},
                     {"-2147483648", INT32_MIN},
                     {"$1F", 31},
                     {"0x1f", 31},
                     {"0X1F", 31},
                     {"$FFFFFFFF", -1},
                     {"0x80000000", INT32_MIN}};
        for (const auto& c : valid) {
            put(QByteArray("[Form]\nTop=") + c.text + "\n");
            const int got = ReadInteger("Form", "Top", 77, path_);
            QVERIFY2(got == c.expected, qPrintable(Mismatch(c.text, QString::number(got),
                                                            QString::number(c.expected))));
        }
        const char* invalid[] = {"2147483648", "-2147483649", "$100000000", "99999999999999999999",
                                 "12abc",      "1 2",         "",           "-",
                                 "$",          "x1F",         "FF",         "１２",
                                 "1.5"};
        for (const char* text : invalid) {
            put(QByteArray("[Form]\nTop=") + text + "\n");
            QVERIFY2(ReadInteger("Form", "Top", 77, path_) == 77, text);
        }
        put("[PUT]\nA=0\nB=-3\nC=yes\n");
        QVERIFY(!ReadBool("PUT", "A", true, path_));
        QVERIFY(ReadBool("PUT", "B", false, path_));
        QVERIFY(ReadBool("PUT", "C", true, path_) && !ReadBool("PUT", "C", false, path_));
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
