// What a sheet carries beside its cells, counted by kind, for the texts of jobs that cannot
// carry all of it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "../model/parts.h"

namespace ss {

// Counts of what a sheet carries, by kind: pictures, charts, tables, pivot tables, shapes ...
// (in the words the job texts use), for the reports of jobs that cannot carry them.
std::map<std::string, uint32_t> describeParts(const SheetParts& parts);

}  // namespace ss
