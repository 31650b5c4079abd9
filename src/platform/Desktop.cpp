// The program's icon and its choice of window system on a Wayland session.
#include "platform/Desktop.h"
#include "platform/PictureLoader.h"

#include <QByteArray>
#include <QIconEngine>
#include <QPixmap>
#include <QProxyStyle>

#include <optional>

namespace platform {

QIcon ProgramIcon() {
    QIcon icon;
    // The sizes window managers draw a window's icon at, up to twice 32 for a
    // dense screen; launchers take the larger ones from the icon theme. The
    // window system is sent every size twice while the window is created, so
    // the 128 and 256 pixel ones would be most of what it costs.
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(
            QPixmap::fromImage(ReadOwnPicture(QStringLiteral(":/icons/%1.png").arg(size), "png")));
    return icon;
}

namespace {

// A standard icon of a style, asked of the style when first drawn or measured.
// Neither the style option nor the widget is kept: the icon may outlive both,
// and the styles' standard icons do not depend on them.
class DeferredStandardIcon final : public QIconEngine {
public:
    DeferredStandardIcon(const QStyle* style, QStyle::StandardPixmap which)
        : Style(style), Which(which) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        Icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return Icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        return Icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return Icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return Icon().availableSizes(mode, state);
    }
    bool isNull() override { return Icon().isNull(); }
    QString key() const override { return QStringLiteral("DeferredStandardIcon"); }
    QIconEngine* clone() const override { return new DeferredStandardIcon(Style, Which); }

private:
    QIcon& Icon() {
        if (!Real)
            Real = Style->standardIcon(Which);
        return *Real;
    }

    const QStyle* Style;
    QStyle::StandardPixmap Which;
    std::optional<QIcon> Real;
};

class ProgramProxyStyle final : public QProxyStyle {
public:
    QIcon standardIcon(StandardPixmap which, const QStyleOption*, const QWidget*) const override {
        return QIcon(new DeferredStandardIcon(baseStyle(), which));
    }
};

} // namespace

QStyle* ProgramStyle() {
    return new ProgramProxyStyle;
}

void PreferXWayland() {
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    // The toolkit tries the names in turn.
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb;wayland"));
}

} // namespace platform
