// TEMPORARY placeholder: the popup TForm3 is being built.
#include "match/Unit3.h"
TForm3::TForm3(TForm1*) : QWidget(nullptr) {}
