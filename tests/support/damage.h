// The optimiser's damage, made on purpose: bytes moved from a suspicious
// sheet's DgContainer and first SpgrContainer to its charts' (the exact
// inverse of the repair), in a workbook file on disk.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// Moves 6 * k bytes into every chart with drawing data of every suspicious
// sheet. Returns the number of sheets damaged (0: nothing to damage).
int DamageSuspiciousSheets(const std::string& path, std::uint32_t k = 1);

}  // namespace testsupport
