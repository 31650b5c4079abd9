// TEMPORARY placeholder: the match flow is being built.
#include "app/Unit1.h"
void TForm1::KAISI() {}
void TForm1::SendNAME() {}
