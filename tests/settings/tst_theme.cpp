// Tests of the theme library loader and of TXPGroupBox, themed and plain, on rendered pixels.
#include "settings/StdCtrlsXP.h"
#include "settings/UxThemeRT.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QTest>

#include <functional>
#include <memory>

using namespace uxtheme;

namespace {

QString LibraryPath(const char* file) {
    return QCoreApplication::applicationDirPath() + '/' + QLatin1String(file);
}

const char* const FullLibrary = "libUxTheme.so";
const char* const PartialLibrary = "libUxThemePartial.so";

// What the two libraries export, by name.
const QStringList FullExports = {"OpenThemeData",
                                 "CloseThemeData",
                                 "DrawThemeBackground",
                                 "DrawThemeText",
                                 "GetThemeBackgroundContentRect",
                                 "GetThemeTextExtent",
                                 "IsThemePartDefined",
                                 "IsThemeActive",
                                 "IsAppThemed",
                                 "GetWindowTheme",
                                 "GetThemeAppProperties",
                                 "SetThemeAppProperties",
                                 "GetCurrentThemeName",
                                 "DrawThemeParentBackground",
                                 "EnableTheming"};
const QStringList PartialExports = {
    "OpenThemeData", "CloseThemeData", "DrawThemeBackground",       "DrawThemeText",
    "IsThemeActive", "IsAppThemed",    "DrawThemeParentBackground", "EnableTheming"};

// A dialog-like parent holding one group box (or a plain one for reference) at a
// fixed place, with a background colour of its own.
struct Scene {
    std::unique_ptr<QWidget> Parent;
    QGroupBox* Box = nullptr;

    Scene(bool themedClass, const QString& title, bool enabled = true,
          Qt::LayoutDirection direction = Qt::LeftToRight, bool flat = false)
        : Parent(std::make_unique<QWidget>()) {
        Parent->setGeometry(100, 100, 240, 120);
        QPalette palette = Parent->palette();
        palette.setColor(QPalette::Window, QColor(0xD4, 0xD0, 0xC8));
        Parent->setPalette(palette);
        Box =
            themedClass ? new TXPGroupBox(title, Parent.get()) : new QGroupBox(title, Parent.get());
        Box->setGeometry(10, 10, 200, 90);
        Box->setEnabled(enabled);
        Box->setLayoutDirection(direction);
        Box->setFlat(flat);
    }
    void Show() {
        Parent->show();
        QVERIFY(QTest::qWaitForWindowExposed(Parent.get()));
    }
    QImage Render() const {
        QImage image(Box->size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        Box->render(&image);
        return image;
    }
};

QImage RenderPlain(const QString& title, bool enabled = true,
                   Qt::LayoutDirection direction = Qt::LeftToRight, bool flat = false) {
    Scene plain(false, title, enabled, direction, flat);
    plain.Show();
    return plain.Render();
}

int LineHeight(const QWidget* box) {
    return QFontMetrics(box->font()).height();
}

// Replaces library entry points for one test and puts the real ones back.
class EntryOverride {
public:
    template <typename Fn> EntryOverride(Fn*& slot, Fn* replacement) {
        Fn* saved = slot;
        slot = replacement;
        Restore = [&slot, saved] { slot = saved; };
    }
    ~EntryOverride() { Restore(); }
    EntryOverride(const EntryOverride&) = delete;
    EntryOverride& operator=(const EntryOverride&) = delete;

private:
    std::function<void()> Restore;
};

// Calls seen by the recording entry points: name (and text) and state.
QStringList recorded;
GetThemeTextExtentFn* realTextExtent = nullptr;
DrawThemeBackgroundFn* realBackground = nullptr;
DrawThemeTextFn* realText = nullptr;

UxResult RecordTextExtent(HTHEME theme, UxDC dc, int part, int state, const char16_t* text,
                          int length, unsigned flags, const UxRect* bounds, UxRect* extent) {
    recorded << QString("GetThemeTextExtent %1").arg(state);
    return realTextExtent(theme, dc, part, state, text, length, flags, bounds, extent);
}
UxResult RecordBackground(HTHEME theme, UxDC dc, int part, int state, const UxRect* rect,
                          const UxRect* clip) {
    recorded << QString("DrawThemeBackground %1").arg(state);
    return realBackground(theme, dc, part, state, rect, clip);
}
UxResult RecordText(HTHEME theme, UxDC dc, int part, int state, const char16_t* text, int length,
                    unsigned flags, unsigned flags2, const UxRect* rect) {
    recorded << QString("DrawThemeText %1 %2").arg(QString::fromUtf16(text)).arg(state);
    return realText(theme, dc, part, state, text, length, flags, flags2, rect);
}

// Fails the n-th measurement (1 or 2) of a paint.
int failingMeasurement = 0;
int measurementsSeen = 0;
UxResult FailingTextExtent(HTHEME theme, UxDC dc, int part, int state, const char16_t* text,
                           int length, unsigned flags, const UxRect* bounds, UxRect* extent) {
    if (++measurementsSeen == failingMeasurement)
        return E_FAIL;
    return realTextExtent(theme, dc, part, state, text, length, flags, bounds, extent);
}
UxResult FailingBackground(HTHEME, UxDC, int, int, const UxRect*, const UxRect*) {
    return E_FAIL;
}

} // namespace

class TestTheme : public QObject {
    Q_OBJECT

private slots:
    void init() {
        UxThemeRT::LoadThemeLibrary(LibraryPath(FullLibrary));
        QVERIFY2(UxThemeRT::ThemeLibraryLoaded(), "the theme library beside the tests must load");
        UxThemeRT::EnableTheming(1);
        UxThemeRT::SetThemeAppProperties(STAP_ALLOW_NONCLIENT | STAP_ALLOW_CONTROLS |
                                         STAP_ALLOW_WEBCONTENT);
    }
    void cleanupTestCase() { UxThemeRT::FreeThemeLibrary(); }

    // The program's own load looks beside the executable, where the build puts it.
    void loadsFromBesideTheExecutable() {
        UxThemeRT::FreeThemeLibrary();
        QVERIFY(!UxThemeRT::ThemeLibraryLoaded());
        UxThemeRT::LoadThemeLibrary();
        QVERIFY(UxThemeRT::ThemeLibraryLoaded());
        QVERIFY(UxThemeRT::OpenThemeData != nullptr);
    }

    void entryPointsInOrder_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("exported");
        QTest::newRow("full library") << LibraryPath(FullLibrary) << FullExports;
        QTest::newRow("library lacking names") << LibraryPath(PartialLibrary) << PartialExports;
        QTest::newRow("no library") << QString("/nonexistent/libUxTheme.so") << QStringList();
    }
    // The 46 names in their order, each held by the pointer of that name, null
    // exactly where the library does not export it.
    void entryPointsInOrder() {
        QFETCH(QString, path);
        QFETCH(QStringList, exported);
        const char* const names[] = {"OpenThemeData",
                                     "CloseThemeData",
                                     "DrawThemeBackground",
                                     "DrawThemeText",
                                     "GetThemeBackgroundContentRect",
                                     "GetThemeBackgroundExtent",
                                     "GetThemePartSize",
                                     "GetThemeTextExtent",
                                     "GetThemeTextMetrics",
                                     "GetThemeBackgroundRegion",
                                     "HitTestThemeBackground",
                                     "DrawThemeEdge",
                                     "DrawThemeIcon",
                                     "IsThemePartDefined",
                                     "IsThemeBackgroundPartiallyTransparent",
                                     "GetThemeColor",
                                     "GetThemeMetric",
                                     "GetThemeString",
                                     "GetThemeInt",
                                     "GetThemeEnumValue",
                                     "GetThemePosition",
                                     "GetThemeFont",
                                     "GetThemeRect",
                                     "GetThemeMargins",
                                     "GetThemeIntList",
                                     "GetThemePropertyOrigin",
                                     "SetWindowTheme",
                                     "GetThemeFilename",
                                     "GetThemeSysColor",
                                     "GetThemeSysColorBrush",
                                     "GetThemeSysBool",
                                     "GetThemeSysSize",
                                     "GetThemeSysFont",
                                     "GetThemeSysString",
                                     "GetThemeSysInt",
                                     "IsThemeActive",
                                     "IsAppThemed",
                                     "GetWindowTheme",
                                     "EnableThemeDialogTexture",
                                     "IsThemeDialogTextureEnabled",
                                     "GetThemeAppProperties",
                                     "SetThemeAppProperties",
                                     "GetCurrentThemeName",
                                     "GetThemeDocumentationProperty",
                                     "DrawThemeParentBackground",
                                     "EnableTheming"};
        UxThemeRT::LoadThemeLibrary(path);
        QCOMPARE(UxThemeRT::ThemeLibraryLoaded(), !exported.empty());
        const auto entries = UxThemeRT::ThemeEntries();
        QCOMPARE(entries.size(), std::size(names));
        for (size_t i = 0; i < entries.size(); ++i) {
            QCOMPARE(QString(entries[i].Name), QString(names[i]));
            const bool present = UxThemeRT::EntryValue(entries[i]) != nullptr;
            QVERIFY2(present == exported.contains(names[i]),
                     qPrintable(
                         QString("%1 should be %2").arg(names[i], present ? "null" : "resolved")));
        }
        // The entries the group box calls are wired to the pointers of their name.
        const std::pair<const char*, const void*> wiring[] = {
            {"OpenThemeData", &UxThemeRT::OpenThemeData},
            {"CloseThemeData", &UxThemeRT::CloseThemeData},
            {"IsThemeActive", &UxThemeRT::IsThemeActive},
            {"IsAppThemed", &UxThemeRT::IsAppThemed},
            {"GetThemeTextExtent", &UxThemeRT::GetThemeTextExtent},
            {"DrawThemeBackground", &UxThemeRT::DrawThemeBackground},
            {"DrawThemeText", &UxThemeRT::DrawThemeText},
            {"DrawThemeParentBackground", &UxThemeRT::DrawThemeParentBackground}};
        for (const auto& [name, slot] : wiring) {
            const auto it = std::find_if(entries.begin(), entries.end(),
                                         [&](const auto& e) { return QByteArray(e.Name) == name; });
            QVERIFY2(it != entries.end() && it->Slot == slot, name);
        }
        UxThemeRT::FreeThemeLibrary();
        for (const auto& entry : entries)
            QVERIFY2(UxThemeRT::EntryValue(entry) == nullptr, entry.Name);
    }

    void plainWheneverThemingFails_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("cause");
        const char* const causes[] = {"no library",
                                      "library lacks GetThemeTextExtent",
                                      "theming off",
                                      "styles off in the environment",
                                      "program not themed",
                                      "flat",
                                      "first measurement fails",
                                      "caption measurement fails",
                                      "frame drawing fails",
                                      "library released"};
        for (const char* cause : causes) {
            QTest::addRow("%s, captioned", cause) << QString("盤の模様") << true << cause;
            QTest::addRow("%s, disabled", cause) << QString("盤の模様") << false << cause;
            QTest::addRow("%s, no caption", cause) << QString() << true << cause;
        }
    }
    // Whatever keeps the group box from theming, it paints exactly as the plain one.
    void plainWheneverThemingFails() {
        QFETCH(QString, title);
        QFETCH(bool, enabled);
        QFETCH(QString, cause);
        if (cause == "no library")
            UxThemeRT::LoadThemeLibrary(QString());
        else if (cause == "library lacks GetThemeTextExtent")
            UxThemeRT::LoadThemeLibrary(LibraryPath(PartialLibrary));
        else if (cause == "theming off")
            UxThemeRT::EnableTheming(0);
        else if (cause == "styles off in the environment") {
            qputenv(ActiveVariable, "off");
            UxThemeRT::LoadThemeLibrary(LibraryPath(FullLibrary));
            qunsetenv(ActiveVariable);
        } else if (cause == "program not themed")
            UxThemeRT::SetThemeAppProperties(STAP_ALLOW_NONCLIENT);

        const bool flat = cause == "flat";
        Scene scene(true, title, enabled, Qt::LeftToRight, flat);
        scene.Show();
        if (cause == "library released")
            UxThemeRT::LoadThemeLibrary(LibraryPath(FullLibrary));
        realTextExtent = UxThemeRT::GetThemeTextExtent;
        measurementsSeen = 0;
        failingMeasurement = cause == "first measurement fails"     ? 1
                             : cause == "caption measurement fails" ? 2
                                                                    : 0;
        EntryOverride measure(UxThemeRT::GetThemeTextExtent,
                              failingMeasurement ? &FailingTextExtent : realTextExtent);
        EntryOverride frame(UxThemeRT::DrawThemeBackground, cause == "frame drawing fails"
                                                                ? &FailingBackground
                                                                : UxThemeRT::DrawThemeBackground);
        const QImage box = scene.Render();
        QVERIFY2(box == RenderPlain(title, enabled, Qt::LeftToRight, flat),
                 "does not paint as a plain group box");
    }

    // The frame's top edge runs through the middle of the caption line, broken
    // for the caption with half the margin free on each side; without a caption
    // it is unbroken.
    void themedFrameAndCaption_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<Qt::LayoutDirection>("direction");
        QTest::newRow("captioned") << QString("基本設定") << Qt::LeftToRight;
        QTest::newRow("no caption") << QString() << Qt::LeftToRight;
        QTest::newRow("right to left") << QString("基本設定") << Qt::RightToLeft;
    }
    void themedFrameAndCaption() {
        QFETCH(QString, title);
        QFETCH(Qt::LayoutDirection, direction);
        Scene scene(true, title, true, direction);
        scene.Show();
        QVERIFY(static_cast<TXPGroupBox*>(scene.Box)->Theme() != nullptr);
        const QImage image = scene.Render();
        QVERIFY2(image != RenderPlain(title, true, direction), "themed looks plain");

        const int frameTop = LineHeight(scene.Box) / 2 - 1;
        const QRgb background = image.pixel(image.width() / 2, image.height() / 2 - 10);
        // Away from the caption, the first row the frame touches is frameTop.
        const int probeX = direction == Qt::LeftToRight ? image.width() - 30 : 30;
        int firstRow = -1;
        for (int y = 0; y < image.height() && firstRow < 0; ++y) {
            if (image.pixel(probeX, y) != image.pixel(probeX, 0))
                firstRow = y;
        }
        QCOMPARE(firstRow, frameTop);
        const QRgb line = image.pixel(probeX, frameTop);
        QVERIFY(line != background);

        const int captionWidth = QFontMetrics(scene.Box->font()).horizontalAdvance(title);
        const int frameRight = image.width() - 1;
        // Columns of the top edge that must be line, and those that must be gap.
        int lineFrom = 8, lineTo = image.width() - 12, gapFrom = 0, gapTo = 0;
        if (!title.isEmpty() && direction == Qt::LeftToRight) {
            gapFrom = 8;
            gapTo = 8 + 4;
            lineFrom = 8 + captionWidth + 8;
        } else if (!title.isEmpty()) {
            gapFrom = frameRight - 8 - 4;
            gapTo = frameRight - 8;
            lineTo = frameRight - 8 - captionWidth - 8;
        }
        for (int x = lineFrom; x < lineTo; ++x)
            QVERIFY2(image.pixel(x, frameTop) == line,
                     qPrintable(QString("no line at x %1").arg(x)));
        for (int x = gapFrom; x < gapTo; ++x)
            QVERIFY2(image.pixel(x, frameTop) != line,
                     qPrintable(QString("no gap at x %1").arg(x)));
    }

    void drawsInTheControlsState_data() {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("state");
        QTest::newRow("enabled") << true << GBS_NORMAL;
        QTest::newRow("disabled") << false << GBS_DISABLED;
    }
    // Every measurement and drawing call of a paint gets the control's state.
    void drawsInTheControlsState() {
        QFETCH(bool, enabled);
        QFETCH(int, state);
        Scene scene(true, "駒", enabled);
        scene.Show();
        recorded.clear();
        realTextExtent = UxThemeRT::GetThemeTextExtent;
        realBackground = UxThemeRT::DrawThemeBackground;
        realText = UxThemeRT::DrawThemeText;
        EntryOverride measure(UxThemeRT::GetThemeTextExtent, &RecordTextExtent);
        EntryOverride frame(UxThemeRT::DrawThemeBackground, &RecordBackground);
        EntryOverride text(UxThemeRT::DrawThemeText, &RecordText);
        scene.Render();
        const QStringList expected = {QString("GetThemeTextExtent %1").arg(state),
                                      QString("GetThemeTextExtent %1").arg(state),
                                      QString("DrawThemeBackground %1").arg(state),
                                      QString("DrawThemeText 駒 %1").arg(state)};
        QCOMPARE(recorded, expected);
    }

    // Visual styles come on while the box exists: after the theme-change
    // notification it looks like a box created with them on.
    void themeSwitchedOnLater() {
        UxThemeRT::EnableTheming(0);
        Scene scene(true, "補助");
        scene.Show();
        QVERIFY(static_cast<TXPGroupBox*>(scene.Box)->Theme() == nullptr);
        QVERIFY2(scene.Render() == RenderPlain("補助"), "plain while styles are off");

        UxThemeRT::EnableTheming(1);
        QVERIFY(static_cast<TXPGroupBox*>(scene.Box)->Theme() != nullptr);
        Scene fresh(true, "補助");
        fresh.Show();
        QVERIFY2(scene.Render() == fresh.Render(), "not themed after the theme change");

        UxThemeRT::EnableTheming(0);
        QVERIFY2(scene.Render() == RenderPlain("補助"), "still themed after styles went off");
    }

    // A check box (transparent) and a label that fills its own background both
    // show the group box's background, not a flat fill of their own.
    void childrenShowTheGroupBoxBackground() {
        Scene scene(true, "駒の色");
        auto* check = new QCheckBox("色", scene.Box);
        check->setGeometry(20, 30, 160, 20);
        auto* label = new QLabel("絵", scene.Box);
        label->setGeometry(20, 55, 160, 20);
        label->setAutoFillBackground(true);
        QPalette red = label->palette();
        red.setColor(QPalette::Window, Qt::red);
        label->setPalette(red);
        scene.Show();
        const QImage withChildren = scene.Render();

        check->hide();
        label->hide();
        const QImage bare = scene.Render();
        // The right ends of both children hold no text: there they must show
        // exactly what the group box shows without them.
        for (const QWidget* child : {static_cast<QWidget*>(check), static_cast<QWidget*>(label)}) {
            const QRect area = child->geometry();
            for (int y = area.top(); y <= area.bottom(); ++y) {
                for (int x = area.right() - 20; x <= area.right(); ++x)
                    QVERIFY2(withChildren.pixel(x, y) == bare.pixel(x, y),
                             qPrintable(QString("%1 hides the background at (%2, %3)")
                                            .arg(child->metaObject()->className())
                                            .arg(x)
                                            .arg(y)));
            }
        }
    }

    // Inside the frame the themed box shows the parent's background, lined up
    // with the parent's own, also when that background is a pattern: there it
    // looks like the plain box, which lets the parent show through.
    void backgroundContinuesTheParents() {
        QImage tile(7, 5, QImage::Format_RGB32);
        for (int y = 0; y < tile.height(); ++y) {
            for (int x = 0; x < tile.width(); ++x)
                tile.setPixel(x, y, qRgb(40 * x, 50 * y, 200));
        }
        const auto grab = [&](bool themed) {
            Scene scene(themed, "模様");
            QPalette palette = scene.Parent->palette();
            palette.setBrush(QPalette::Window, QBrush(tile));
            scene.Parent->setPalette(palette);
            scene.Show();
            return std::make_pair(scene.Parent->grab().toImage(),
                                  scene.Box->geometry().adjusted(20, 30, -20, -20));
        };
        const auto [themed, inside] = grab(true);
        const QImage plain = grab(false).first;
        for (int y = inside.top(); y <= inside.bottom(); ++y) {
            for (int x = inside.left(); x <= inside.right(); ++x)
                QVERIFY2(themed.pixel(x, y) == plain.pixel(x, y),
                         qPrintable(QString("background out of line at (%1, %2)").arg(x).arg(y)));
        }
    }

    // A plainly painting box leaves a label's own fill alone.
    void plainBoxKeepsLabelFill() {
        UxThemeRT::LoadThemeLibrary(QString());
        Scene scene(true, "駒の色");
        auto* label = new QLabel("絵", scene.Box);
        label->setGeometry(20, 55, 160, 20);
        label->setAutoFillBackground(true);
        QPalette red = label->palette();
        red.setColor(QPalette::Window, Qt::red);
        label->setPalette(red);
        scene.Show();
        QCOMPARE(QColor(scene.Render().pixel(label->geometry().right() - 2, 60)), QColor(Qt::red));
    }
};

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
