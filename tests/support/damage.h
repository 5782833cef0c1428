// The optimiser's damage, made on purpose: bytes moved from a suspicious
// sheet's DgContainer and first SpgrContainer to its charts' (the exact
// inverse of the repair), in a workbook file on disk.
//
// The records and the drawing containers are found by a walk of this file's
// own, which shares no code with the repair (it reaches the Workbook stream
// through the compound-file layer only).
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// Moves 6 * k bytes into every chart with drawing data of every suspicious
// sheet. Returns the number of sheets damaged (0: nothing to damage). Throws
// std::runtime_error, with the file unchanged, when the workbook cannot be
// read that far (no Workbook stream, broken records or drawing containers).
int DamageSuspiciousSheets(const std::string& path, std::uint32_t k = 1);

}  // namespace testsupport
