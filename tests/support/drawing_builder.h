// Builds Office drawing record trees as bytes and lays them out in a
// Workbook stream as MSODRAWING and CONTINUE payloads, for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "biff_builder.h"

namespace testsupport {

// One Office drawing record: a container with children or an atom with data.
struct DrawingNode {
  std::uint16_t verInstance = 0;
  std::uint16_t type = 0;
  bool container = false;
  Bytes data;                         // atoms only
  std::vector<DrawingNode> children;  // containers only
  // The stored length is the true length plus this (damage, or absurd
  // lengths); 32-bit wrap-around like the field itself.
  std::int64_t lengthDelta = 0;
};

// A container of version 0xF and the given instance.
DrawingNode Container(std::uint16_t type, std::vector<DrawingNode> children,
                      std::uint16_t instance = 0);
// An atom whose `dataLength` bytes follow a recognisable pattern.
DrawingNode Atom(std::uint16_t type, std::uint32_t dataLength, std::uint16_t verInstance = 0x0002);
// `node` with its stored length moved by `delta`.
DrawingNode WithLengthDelta(DrawingNode node, std::int64_t delta);

// DgContainer{FDG, SpgrContainer{SpContainer{FSPGR, FSP},
// SpContainer{FSP, FOPT, client anchor, client data} x shapes}}.
DrawingNode TypicalDrawing(int shapes, std::uint32_t optionBytes = 18);

// One serialised record: where its header starts and what it says.
struct DrawingRecordInfo {
  std::uint32_t offset = 0;  // of the header's first byte in the drawing stream
  std::uint16_t type = 0;
  bool container = false;
  std::uint32_t storedLength = 0;
  int depth = 0;  // 0 for the tree's root
};

// The tree as bytes; `layout`, when given, receives every record in
// pre-order.
Bytes SerializeDrawing(const DrawingNode& root, std::vector<DrawingRecordInfo>* layout = nullptr);

// A cut of the drawing bytes: a new payload record starts at drawing offset
// `start`, after the records that `before` appends.
struct DrawingPiece {
  std::uint32_t start = 0;
  std::uint16_t recordType = 0x003C;  // CONTINUE, or 0x00EC for a new MSODRAWING
  std::function<void(BiffBuilder&)> before;
};

// Appends `drawing` as an MSODRAWING record cut at the pieces' starts (in
// ascending order); returns the record numbers of the payload records.
std::vector<std::uint32_t> AppendDrawing(BiffBuilder& builder, const Bytes& drawing,
                                         const std::vector<DrawingPiece>& pieces = {});

// An OBJ record (its data is never looked at).
std::uint32_t AppendObj(BiffBuilder& builder);

// A text box: TXO and the CONTINUE records that hold its text (each fragment
// led by its flag byte) and its formatting runs.
struct TextBox {
  std::uint32_t characters = 0;  // stored as cchText
  bool twoBytesPerCharacter = false;
  std::uint32_t runBytes = 16;    // stored as cbRuns; 0 with no text
  std::uint16_t maxRecordData = 8224;
  std::uint16_t txoLength = 18;   // shorter records cut off the counts
};
// Returns the number of CONTINUE records written after the TXO.
std::uint32_t AppendTextBox(BiffBuilder& builder, const TextBox& box);

// A worksheet with embedded charts laid out the way the optimiser's victims
// are: the sheet's drawing (a group shape, one shape per chart, then one
// more) is cut into MSODRAWING records at each chart's shape, each followed by
// OBJ and the chart's substream; the last piece comes right after the last
// chart's EOF, so the sheet is suspicious. Each chart holds its drawing in an
// MSODRAWING record, cut into a CONTINUE at `chartCut` when that falls inside.
struct ChartedSheetOptions {
  std::vector<Bytes> chartDrawings;  // one per chart; empty bytes: no drawing data
  std::uint32_t chartCut = 0;
  // Text boxes put after the sheet's first OBJ, before the first chart.
  std::vector<TextBox> textBoxes;
};
struct ChartedSheet {
  std::uint32_t sheetBof = 0;
  std::vector<std::uint32_t> chartBofs;
  std::vector<std::uint32_t> sheetDrawingRecords;               // payload records
  std::vector<std::vector<std::uint32_t>> chartDrawingRecords;  // per chart
};
ChartedSheet AppendChartedSheet(BiffBuilder& builder, const DrawingNode& sheetDrawing,
                                const ChartedSheetOptions& options);
// The workbook globals (BOF, EOF), for a stream's start.
void AppendGlobals(BiffBuilder& builder);

}  // namespace testsupport
