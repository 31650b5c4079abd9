// TEMPORARY placeholder until the board drawing lands.
#include "board/Unit2.h"
void TGRID::LAYOUT(PaintTarget&) {}
void TGRID::MAKEPIECE(const QString&, std::int32_t, TColor, QImage&) {}
void TGRID::DRAWGRID(PaintTarget&) {}
void TGRID::HOVER(std::int32_t, std::int32_t, PaintTarget&) {}
