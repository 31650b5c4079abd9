// TForm1's settings store: LOADINI, SAVEINI and COLORRESET.
#include "app/Unit1.h"

#include "platform/Dialogs.h"
#include "platform/IniFile.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QSplitter>

namespace {

const QString kName = QStringLiteral("NAME");
const QString kColor = QStringLiteral("COLOR");
const QString kPut = QStringLiteral("PUT");
const QString kForm = QStringLiteral("Form");
const QString kLan = QStringLiteral("LAN");

QString Quoted(const QString& text) {
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

// Loading steps, in order; a failed colour stops the loading at its step.
enum LoadStep {
    stepPanelColor = 0,
    stepAColor,
    stepBColor,
    stepLineColor,
    stepPutColor,
    stepSwitches,
    stepPictures,
};

void TForm1::SetSettingsDefaults(int fromStep) {
    // The defaults of a missing key, for every field from fromStep on.
    TGRID& g = *GRID;
    if (fromStep <= stepPanelColor)
        g.PanelColor = clTeal;
    if (fromStep <= stepAColor)
        g.AColor = clRed;
    if (fromStep <= stepBColor)
        g.BColor = clBlue;
    if (fromStep <= stepLineColor)
        g.LineColor = clWhite;
    if (fromStep <= stepPutColor)
        g.PutColor = clGreen;
    if (fromStep <= stepSwitches) {
        g.PutOkF = true;
        g.PutCountF = true;
        g.SoundF = true;
    }
    if (fromStep <= stepPictures) {
        g.APicName.clear();
        g.BPicName.clear();
    }
}

bool TForm1::LOADINI(bool withPlacement) {
    const QRect wa = platform::WorkArea();
    const QString& file = IniPath;
    TGRID& g = *GRID;

    MyName = platform::GetPrivateProfileString(kName, QStringLiteral("MYNAME"), QString(), file);
    BMPINDEX = platform::ReadInteger(kColor, QStringLiteral("BMP"), 0, file);

    struct ColorKey {
        const char* Key;
        const char* Default;
        TColor TGRID::*Field;
    };
    static const ColorKey colors[] = {
        {"PANELCOLOR", "clTeal", &TGRID::PanelColor}, {"ACOLOR", "clRED", &TGRID::AColor},
        {"BCOLOR", "clBLUE", &TGRID::BColor},         {"LINECOLOR", "clWHITE", &TGRID::LineColor},
        {"PUTCOLOR", "clGreen", &TGRID::PutColor},
    };
    for (int i = 0; i < int(std::size(colors)); ++i) {
        const QString text = platform::GetPrivateProfileString(
            kColor, QLatin1String(colors[i].Key), QLatin1String(colors[i].Default), file);
        const std::optional<TColor> value = StringToColor(text);
        if (!value) {
            platform::ShowError(this, QStringLiteral("'%1' は整数ではありません").arg(text));
            // Everything not read yet gets its default, so the board is never
            // drawn with the zeroed colours of a fresh board.
            SetSettingsDefaults(i);
            if (withPlacement)
                SetOuterBounds(QRect(wa.left() + 200, wa.top() + 200, width() + kFrameWidth,
                                     height() + kFrameHeight));
            return false;
        }
        g.*colors[i].Field = *value;
    }

    g.PutOkF = platform::ReadInteger(kPut, QStringLiteral("PUTOKF"), 1, file) != 0;
    g.PutCountF = platform::ReadInteger(kPut, QStringLiteral("PUTCOUNTF"), 1, file) != 0;
    g.SoundF = platform::ReadInteger(kPut, QStringLiteral("SOUNDF"), 1, file) != 0;

    g.APicName =
        platform::GetPrivateProfileString(kColor, QStringLiteral("APICNAME"), QString(), file);
    g.BPicName =
        platform::GetPrivateProfileString(kColor, QStringLiteral("BPICNAME"), QString(), file);

    SessionAddress =
        platform::GetPrivateProfileString(kLan, QStringLiteral("ADDRESS"), QString(), file);

    if (!withPlacement)
        return true;

    // Each value is applied to the window as soon as it is read.
    move(x(), platform::ReadInteger(kForm, QStringLiteral("Top"), wa.top() + 200, file));
    move(platform::ReadInteger(kForm, QStringLiteral("Left"), wa.left() + 200, file), y());
    resize(platform::ReadInteger(kForm, QStringLiteral("Width"), width() + kFrameWidth, file) -
               kFrameWidth,
           height());
    resize(width(),
           platform::ReadInteger(kForm, QStringLiteral("Height"), height() + kFrameHeight, file) -
               kFrameHeight);

    // Keep the window reachable on the work area (right and bottom edges exclusive).
    const int waRight = wa.x() + wa.width();
    const int waBottom = wa.y() + wa.height();
    if (x() > waRight - 100)
        move(wa.left(), y());
    if (x() < wa.left() - 100)
        move(wa.left(), y());
    if (y() < wa.top() - 100)
        move(x(), wa.top());
    if (y() > waBottom - 100)
        move(x(), wa.top());

    ApplyStoredState(platform::ReadInteger(kForm, QStringLiteral("WINDOWSTATE"), 0, file));
    return true;
}

bool TForm1::SAVEINI() {
    const QString& file = IniPath;
    const TGRID& g = *GRID;
    const int state = WindowStateValue();
    const QRect bounds = OuterBounds();

    struct Entry {
        const QString& Section;
        const char* Key;
        QString Value;
    };
    std::vector<Entry> entries = {
        {kName, "MYNAME", Quoted(MyName)},
        {kColor, "BMP", QString::number(BMPINDEX)},
        {kColor, "PANELCOLOR", Quoted(ColorToString(g.PanelColor))},
        {kColor, "ACOLOR", Quoted(ColorToString(g.AColor))},
        {kColor, "BCOLOR", Quoted(ColorToString(g.BColor))},
        {kColor, "LINECOLOR", Quoted(ColorToString(g.LineColor))},
        {kColor, "PUTCOLOR", Quoted(ColorToString(g.PutColor))},
        {kColor, "APICNAME", Quoted(g.APicName)},
        {kColor, "BPICNAME", Quoted(g.BPicName)},
        {kPut, "PUTOKF", QString::number(g.PutOkF ? 1 : 0)},
        {kPut, "SOUNDF", QString::number(g.SoundF ? 1 : 0)},
        {kPut, "PUTCOUNTF", QString::number(g.PutCountF ? 1 : 0)},
        {kForm, "WindowState", QString::number(state)},
    };
    // A minimised or maximised window keeps the last normal bounds in the file.
    if (state == 0) {
        entries.push_back({kForm, "Top", QString::number(bounds.top())});
        entries.push_back({kForm, "Left", QString::number(bounds.left())});
        entries.push_back({kForm, "Width", QString::number(bounds.width())});
        entries.push_back({kForm, "Height", QString::number(bounds.height())});
    }
    entries.push_back({kLan, "ADDRESS", Quoted(SessionAddress)});
    // The user's configuration folder may not exist yet; a failure shows below.
    QDir().mkpath(QFileInfo(file).absolutePath());
    for (const Entry& e : entries) {
        if (!platform::WritePrivateProfileString(e.Section, QLatin1String(e.Key), e.Value, file)) {
            platform::ShowError(this, QStringLiteral("%1 に書き込めません").arg(file));
            return false;
        }
    }
    return true;
}

void TForm1::COLORRESET() {
    const TGRID& g = *GRID;
    const QColor panel = ColorToQColor(g.PanelColor);
    const QColor line = ColorToQColor(g.LineColor);

    Panel2->SetColor(panel);
    // The window's own background shows around the panels; the menu bar keeps
    // the desktop's colours.
    SetWidgetColors(centralWidget(), panel);
    SetWidgetColors(Memo1, panel, line);
    Panel3->SetColor(panel);
    Panel4->SetColor(panel);
    for (QLabel* label : {Label1, Label2, Label5, Label6})
        SetWidgetColors(label, std::nullopt, line);
    SetWidgetColors(Splitter1, panel);
    for (int i = 0; i < Splitter1->count(); ++i)
        if (QSplitterHandle* handle = Splitter1->handle(i))
            SetWidgetColors(handle, panel);

    // LAYOUT tiles BACKBMP with pattern BMPINDEX, hands a copy to Image1, fits the
    // board, rebuilds the piece images and repaints.
    GRID->LAYOUT(*Image1);

    for (auto [image, piece] :
         {std::pair{ImageA, &GRID->BigPieceA}, std::pair{ImageB, &GRID->BigPieceB}}) {
        // Drawn at the device resolution of the icon's screen.
        const double ratio = image->devicePixelRatioF();
        QImage icon(DevicePixels(31, ratio), DevicePixels(31, ratio), QImage::Format_RGB32);
        icon.setDevicePixelRatio(ratio);
        icon.fill(panel);
        if (!piece->isNull()) {
            QPainter painter(&icon);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(QRectF(0, 0, 31, 31), *piece);
        }
        image->SetPicture(icon);
    }
}
