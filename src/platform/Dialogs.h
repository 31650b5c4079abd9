// Message boxes: the confirmation question, plain messages and error reports.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace platform {

// Flags and results with the desktop system's values.
enum : unsigned {
    MB_OK = 0x00,
    MB_YESNO = 0x04,
    MB_ICONHAND = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONASTERISK = 0x40,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// A modal message box. MB_YESNO shows "はい(&Y)" and "いいえ(&N)"; returns the
// button pressed, IDCANCEL when the box was closed otherwise.
int MessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned flags);

// The application's general error report: an error box with the text.
void ShowError(QWidget* parent, const QString& text);

// Tests answer boxes instead of the user. The hook gets text, caption and
// flags and returns the result; an empty function restores the real boxes.
using MessageBoxHook =
    std::function<int(const QString& text, const QString& caption, unsigned flags)>;
void SetMessageBoxHook(MessageBoxHook hook);

} // namespace platform
