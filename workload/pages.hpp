// The drawing of a waybill's page: the 105 x 148 mm label and the A4 consignment note.
// Used by the factory (waybill.cpp); not part of the generator's interface, which is
// workload/waybill.hpp.
#pragma once

#include "workload/canvas.hpp"
#include "workload/content.hpp"

namespace workload::detail {

// 105 x 148 mm label: barcode at the top, recipient first, few items.
void draw_label(Canvas& cv, const Content& c);

// A4 consignment note: header, parties, full item table, totals and signatures.
void draw_sheet(Canvas& cv, const Content& c);

}  // namespace workload::detail
