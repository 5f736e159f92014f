// The cloud side's table-filling function: every slot of the frame's
// OperationTable, the name operations and the content operations alike.
// Register it with decas_setTableFiller before decas_main.
#pragma once

#include "optable/decas.h"

namespace tarvik {

void cloud_fillOperationTable(OperationTable* table);

}  // namespace tarvik
