// Tests of the colour-name table and the colour text conversions.
#include "platform/Color.h"

#include <QTest>

class TestColors : public QObject {
    Q_OBJECT

private slots:
    // The named constants and the table were written separately; they must agree,
    // and the table's two halves must meet where they should.
    void tableMatchesConstants() {
        const TColor firstSixteen[] = {clBlack, clMaroon,  clGreen,  clOlive, clNavy, clPurple,
                                       clTeal,  clGray,    clSilver, clRed,   clLime, clYellow,
                                       clBlue,  clFuchsia, clAqua,   clWhite};
        for (int i = 0; i < 16; ++i) {
            QVERIFY2(ColorNames[i].Value == firstSixteen[i], ColorNames[i].Name);
        }
        QCOMPARE(IdentToColor("clCream"), std::optional<TColor>(clCream));
        QCOMPARE(IdentToColor("clNone"), std::optional<TColor>(clNone));
        QCOMPARE(IdentToColor("clDefault"), std::optional<TColor>(clDefault));
        QCOMPARE(IdentToColor("clBtnFace"), std::optional<TColor>(clBtnFace));
        QCOMPARE(IdentToColor("clInactiveCaptionText"),
                 std::optional<TColor>(clInactiveCaptionText));
        QCOMPARE(QString(ColorNames[25].Name), QString("clBtnHighlight"));
        QCOMPARE(QString(ColorNames[26].Name), QString("clBtnShadow"));
        QCOMPARE(QString(ColorNames[51].Name), QString("clWindowText"));
        QCOMPARE(ColorNames[51].Value, TColor(0x80000008));
    }

    // Every name, in any letter case, leads to its value and back to the table's
    // first spelling for that value.
    void roundTrip() {
        for (const ColorName& entry : ColorNames) {
            const QString name = entry.Name;
            const ColorName* first = &entry;
            for (const ColorName& e : ColorNames) {
                if (e.Value == entry.Value) {
                    first = &e;
                    break;
                }
            }
            for (const QString& spelling : {name, name.toLower(), name.toUpper()}) {
                const auto value = StringToColor(spelling);
                QVERIFY2(value == entry.Value, qPrintable(spelling + " gives a wrong value"));
                QCOMPARE(ColorToString(*value), QString(first->Name));
            }
        }
    }

    void colorToString() {
        const struct {
            TColor color;
            const char* text;
        } cases[] = {{RGB(64, 128, 255), "$00FF8040"},  {RGB(0, 128, 128), "clTeal"},
                     {TColor(0xABCDEF01), "$ABCDEF01"}, {TColor(1), "$00000001"},
                     {TColor(0x80000019), "$80000019"}, {clBtnFace, "clBtnFace"}};
        for (const auto& c : cases) {
            QCOMPARE(ColorToString(c.color), QString(c.text));
            QCOMPARE(ColorToIdent(c.color).has_value(), c.text[0] != '$');
            QCOMPARE(StringToColor(c.text), std::optional<TColor>(c.color));
        }
    }

    void stringToColor() {
        const struct {
            const char* text;
            TColor color;
        } valid[] = {{"clteal", 0x00808000}, {"clWHITE", 0x00FFFFFF}, {"$00ff8040", 0x00FF8040},
                     {"x1F", 0x1F},          {"X1f", 0x1F},           {"0X1F", 0x1F},
                     {"  +255", 255},        {"-1", 0xFFFFFFFF},      {"-2147483648", 0x80000000}};
        for (const auto& c : valid) {
            QVERIFY2(StringToColor(c.text) == c.color, c.text);
        }
        for (const char* text :
             {"", "clTea", "teal", "x", "$", "2147483648", "$100000000", "12abc"}) {
            QVERIFY2(!StringToColor(text).has_value(), text);
        }
    }
};

QTEST_GUILESS_MAIN(TestColors)
#include "tst_colors.moc"
