// TEMPORARY: the main window TForm1 is being built.
#pragma once
#include <QMainWindow>
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    TForm1() = default;
};
