// The anchors of a sheet's form controls, ActiveX controls and embedded objects follow rows
// inserted or deleted in the sheet (both forms: the 2010 anchor in <controls> and <oleObjects>,
// and the shape's anchor in the legacy drawing).
#pragma once

#include "preserved.h"

namespace ss {

// A corner in a deleted row moves to the top of the first row left below it.
void moveControlRows(Worksheet& ws, const RowMove& move);

}  // namespace ss
