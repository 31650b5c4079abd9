// TEMPORARY placeholder: the popup TForm3 is being built.
#pragma once
#include <QWidget>
class TForm1;
class TForm3 : public QWidget {
    Q_OBJECT
public:
    explicit TForm3(TForm1* form1);
};
