#include "drawing/ContainerIntegrity.h"

#include "drawing/DrawingFormat.h"
#include "drawing/OfficeDrawingStream.h"
#include "errors/Exception.h"

namespace bookmender {

namespace {

// Bytes the container can still take. The fit tests keep bytesSeen within
// expectedSize, so this never goes below zero.
std::uint64_t Room(const ContainerFrame& frame) {
  return std::uint64_t{frame.expectedSize} - frame.bytesSeen;
}

}  // namespace

std::wstring DrawingRecordTypeName(std::uint16_t type) {
  switch (type) {
    case drawing::kDgContainer:
      return L"DgContainer";
    case drawing::kSpgrContainer:
      return L"SpgrContainer";
    case drawing::kSpContainer:
      return L"SpContainer";
    default:
      return std::to_wstring(type);
  }
}

std::wstring DescribeContainerStack(const std::wstring& message, const ContainerStack& stack) {
  std::wstring text = message + L"\n";
  for (const ContainerFrame& frame : stack) {
    text += L"Workbook stream offset: " + std::to_wstring(frame.workbookStreamOffset) + L"\n";
    text += L"Record type:            " + DrawingRecordTypeName(frame.type) + L"\n";
    text += L"Expected size:          " + std::to_wstring(frame.expectedSize) + L"\n";
    text += L"Bytes seen:             " + std::to_wstring(frame.bytesSeen) + L"\n";
  }
  return text;
}

void CheckContainerIntegrity(WorkbookStream& stream, const RecordIndex& records,
                             std::uint32_t startIndex) {
  OfficeDrawingStream drawingStream(records, stream);
  drawingStream.open(startIndex);
  if (drawingStream.atEnd()) return;  // no drawing data, nothing to check

  ContainerStack stack;
  for (;;) {
    OfficeDrawingRecordHeader header;
    drawingStream.readHeader(header);
    const std::uint32_t headerPosition = drawingStream.position() - drawing::kHeaderSize;
    // 64-bit so that a length near 4 GiB fails the fit test instead of
    // wrapping to a tiny size and seeking backwards forever.
    const std::uint64_t recordSize = std::uint64_t{header.length} + drawing::kHeaderSize;

    if (header.isContainer()) {
      const ContainerFrame frame{0, header.verInstance, header.type, header.length,
                                 drawingStream.workbookStreamOffset(headerPosition)};
      const bool fits = stack.empty() || recordSize <= Room(stack.back());
      stack.push_back(frame);
      if (!fits) {
        throw Exception(MessageDetail(
            DescribeContainerStack(L"Office drawing container will not fit in parent", stack)));
      }
    } else {
      if (stack.empty()) {
        throw Exception(MessageDetail(
            L"Non-container found without a parent container at " +
            std::to_wstring(drawingStream.workbookStreamOffset(headerPosition))));
      }
      if (recordSize > Room(stack.back())) {
        throw Exception(MessageDetail(DescribeContainerStack(
            L"Non-container record at " +
                std::to_wstring(drawingStream.workbookStreamOffset(headerPosition)) +
                L" will not fit in parent",
            stack)));
      }
      drawingStream.seek(header.length, SeekFromCurrent);
      stack.back().bytesSeen += static_cast<std::uint32_t>(recordSize);
    }

    // A completed container counts, with its header, towards its parent.
    while (stack.back().bytesSeen == stack.back().expectedSize) {
      const std::uint32_t completed = stack.back().bytesSeen;
      stack.pop_back();
      if (stack.empty()) break;
      stack.back().bytesSeen += completed + drawing::kHeaderSize;
    }
    if (stack.empty()) break;
  }

  if (!drawingStream.atEnd()) {
    throw Exception(MessageDetail(
        L"Data left in Office drawing stream after parsing all Office drawing records"));
  }
}

Finding ContainerIntegrityRule::check(const SheetSubstream& sheet, const RuleInput& in) const {
  CheckContainerIntegrity(in.stream, in.records, sheet.bofIndex);
  for (const std::uint32_t chart : FindSheetEmbeddedChartSubstreams(in.records, sheet.bofIndex)) {
    CheckContainerIntegrity(in.stream, in.records, chart);
  }
  return Finding{};
}

bool CheckAllContainers(const RecordIndex& records, const std::vector<SheetSubstream>& sheets,
                        WorkbookStream& stream, const LineSink& lines) {
  const ContainerIntegrityRule rule;
  try {
    for (const SheetSubstream& sheet : sheets) {
      if (rule.covers(sheet)) rule.check(sheet, RuleInput{records, stream, lines});
    }
  } catch (const Exception& e) {
    lines.error(e.fullMessage());
    return false;
  }
  lines.output(L"Container integrity check OK");
  return true;
}

}  // namespace bookmender
