// The step of the complete parts list's rebuild after a removal that needs
// nothing of the Alignment but the two lists.
#pragma once

#include <qlalignparts/Alignment.h>

namespace qlalignparts {

// Walks both lists in key order: every instance listed in both takes its stored
// location from `old` into `fresh` and leaves `old`. Afterwards `old` holds
// exactly the instances that `fresh` lacks, with their stored locations.
void KeepStoredLocations(Alignment::PartsMap &fresh, Alignment::PartsMap &old);

} // namespace qlalignparts
