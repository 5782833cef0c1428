// Proves that the drawing data of every sheet and embedded chart forms one
// well-nested container tree whose lengths agree with what they hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drawing/LineSink.h"
#include "drawing/Rules.h"
#include "workbook/RecordIndex.h"
#include "workbook/SubstreamDiscovery.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

// A container entered and not yet completed.
struct ContainerFrame {
  std::uint32_t bytesSeen = 0;  // nested records consumed so far, headers included
  std::uint16_t verInstance = 0;
  std::uint16_t type = 0;
  std::uint32_t expectedSize = 0;          // the container's length field
  std::uint32_t workbookStreamOffset = 0;  // of the container's first header byte
};

// Bottom (index 0) is the outermost container.
using ContainerStack = std::vector<ContainerFrame>;

// Checks the drawing stream of the substream whose BOF is `startIndex`;
// throws an Exception describing the first fault.
void CheckContainerIntegrity(WorkbookStream& stream, const RecordIndex& records,
                             std::uint32_t startIndex);

// The drawing containers of a sheet and of each of its embedded charts are
// well nested and their lengths agree. Reads the records of the sheets with
// drawings; never plans a repair.
class ContainerIntegrityRule : public SheetRule {
 public:
  const wchar_t* name() const override { return L"container integrity"; }
  RecordNeeds needs() const override { return RecordNeeds::kSheetsWithDrawings; }
  // Throws an Exception describing the first fault.
  Finding check(const SheetSubstream& sheet, const RuleInput& in) const override;
};

// Checks every listed sheet the rule covers (those without drawings would
// give its walks nothing to check) and then each of its embedded charts. Reports
// "Container integrity check OK" or the first fault's full message and tells
// which it was.
bool CheckAllContainers(const RecordIndex& records, const std::vector<SheetSubstream>& sheets,
                        WorkbookStream& stream, const LineSink& lines = ConsoleLineSink());

// The message, then four aligned lines per frame from the bottom up.
std::wstring DescribeContainerStack(const std::wstring& message, const ContainerStack& stack);

// "DgContainer", "SpgrContainer", "SpContainer", or the type in decimal.
std::wstring DrawingRecordTypeName(std::uint16_t type);

}  // namespace bookmender
