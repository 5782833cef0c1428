#include "drawing_builder.h"

#include <algorithm>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr std::uint16_t kContinue = 0x003C;
constexpr std::uint16_t kObj = 0x005D;
constexpr std::uint16_t kMsoDrawing = 0x00EC;
constexpr std::uint16_t kTxo = 0x01B6;
constexpr std::uint16_t kChart = 0x1002;
constexpr std::uint16_t kWindow2 = 0x023E;

void SerializeInto(const DrawingNode& node, int depth, Bytes& out,
                   std::vector<DrawingRecordInfo>* layout) {
  const std::size_t headerAt = out.size();
  out.resize(out.size() + 8);
  std::size_t infoIndex = 0;
  if (layout) {
    infoIndex = layout->size();
    layout->push_back({static_cast<std::uint32_t>(headerAt), node.type, node.container, 0, depth});
  }
  if (node.container) {
    for (const DrawingNode& child : node.children) SerializeInto(child, depth + 1, out, layout);
  } else {
    out.insert(out.end(), node.data.begin(), node.data.end());
  }
  const std::uint64_t trueLength = out.size() - headerAt - 8;
  const auto stored = static_cast<std::uint32_t>(trueLength + static_cast<std::uint64_t>(node.lengthDelta));
  Bytes header;
  AppendU16(header, node.verInstance);
  AppendU16(header, node.type);
  AppendU32(header, stored);
  std::copy(header.begin(), header.end(), out.begin() + static_cast<std::ptrdiff_t>(headerAt));
  if (layout) (*layout)[infoIndex].storedLength = stored;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace

DrawingNode Container(std::uint16_t type, std::vector<DrawingNode> children, std::uint16_t instance) {
  DrawingNode node;
  node.verInstance = static_cast<std::uint16_t>((instance << 4) | 0x000F);
  node.type = type;
  node.container = true;
  node.children = std::move(children);
  return node;
}

DrawingNode Atom(std::uint16_t type, std::uint32_t dataLength, std::uint16_t verInstance) {
  DrawingNode node;
  node.verInstance = verInstance;
  node.type = type;
  node.data.resize(dataLength);
  for (std::uint32_t i = 0; i < dataLength; ++i) node.data[i] = static_cast<std::uint8_t>(type + 7 * i);
  return node;
}

DrawingNode WithLengthDelta(DrawingNode node, std::int64_t delta) {
  node.lengthDelta = delta;
  return node;
}

DrawingNode TypicalDrawing(int shapes, std::uint32_t optionBytes) {
  std::vector<DrawingNode> group;
  group.push_back(Container(0xF004, {Atom(0xF009, 16, 0x0001), Atom(0xF00A, 8, 0x0002)}));
  for (int i = 0; i < shapes; ++i) {
    group.push_back(Container(0xF004, {Atom(0xF00A, 8, 0x0CB2), Atom(0xF00B, optionBytes, 0x0033),
                                       Atom(0xF010, 18, 0x0000), Atom(0xF011, 0, 0x0000)}));
  }
  return Container(0xF002, {Atom(0xF008, 8, 0x0010), Container(0xF003, std::move(group))});
}

Bytes SerializeDrawing(const DrawingNode& root, std::vector<DrawingRecordInfo>* layout) {
  Bytes out;
  SerializeInto(root, 0, out, layout);
  return out;
}

std::vector<std::uint32_t> AppendDrawing(BiffBuilder& builder, const Bytes& drawing,
                                         const std::vector<DrawingPiece>& pieces) {
  std::vector<std::uint32_t> numbers;
  std::size_t from = 0;
  std::uint16_t type = kMsoDrawing;
  for (const DrawingPiece& piece : pieces) {
    if (piece.start < from || piece.start > drawing.size()) {
      throw std::invalid_argument("drawing pieces must ascend within the drawing");
    }
    numbers.push_back(builder.record(type, Slice(drawing, from, piece.start)));
    if (piece.before) piece.before(builder);
    from = piece.start;
    type = piece.recordType;
  }
  numbers.push_back(builder.record(type, Slice(drawing, from, drawing.size())));
  return numbers;
}

std::uint32_t AppendObj(BiffBuilder& builder) {
  Bytes data;
  AppendU16(data, 0x0015);  // common object data, as written before a shape's client data
  AppendU16(data, 0x0012);
  AppendU16(data, 0x0008);  // object type: rectangle
  data.resize(26, 0);
  return builder.record(kObj, data);
}

std::uint32_t AppendTextBox(BiffBuilder& builder, const TextBox& box) {
  Bytes txo;
  AppendU16(txo, 0x0212);  // alignment flags
  AppendU16(txo, 0);       // rotation
  txo.resize(10, 0);
  AppendU16(txo, static_cast<std::uint16_t>(box.characters));
  AppendU16(txo, static_cast<std::uint16_t>(box.runBytes));
  AppendU16(txo, 0);  // font index
  AppendU16(txo, 0);
  txo.resize(std::min<std::size_t>(txo.size(), box.txoLength), 0);
  builder.record(kTxo, txo);
  if (box.characters == 0) return 0;

  std::uint32_t written = 0;
  const std::uint32_t characterSize = box.twoBytesPerCharacter ? 2 : 1;
  const std::uint32_t perFragment = (box.maxRecordData - 1u) / characterSize;
  for (std::uint32_t left = box.characters; left > 0; ++written) {
    const std::uint32_t n = std::min(left, perFragment);
    Bytes fragment{static_cast<std::uint8_t>(box.twoBytesPerCharacter ? 1 : 0)};
    fragment.resize(1 + n * characterSize, 'x');
    builder.record(kContinue, fragment);
    left -= n;
  }
  for (std::uint32_t left = box.runBytes; left > 0; ++written) {
    const std::uint32_t n = std::min<std::uint32_t>(left, box.maxRecordData);
    builder.record(kContinue, Bytes(n, 0));
    left -= n;
  }
  return written;
}

void AppendGlobals(BiffBuilder& builder) {
  builder.bof(0x0005);
  builder.eof();
}

ChartedSheet AppendChartedSheet(BiffBuilder& builder, const DrawingNode& sheetDrawing,
                                const ChartedSheetOptions& options) {
  std::vector<DrawingRecordInfo> layout;
  const Bytes drawing = SerializeDrawing(sheetDrawing, &layout);
  std::vector<std::uint32_t> shapeStarts;  // the SpContainers inside the sheet's group
  for (const DrawingRecordInfo& info : layout) {
    if (info.depth == 2 && info.type == 0xF004) shapeStarts.push_back(info.offset);
  }
  const std::size_t charts = options.chartDrawings.size();
  if (charts > 0 && shapeStarts.size() < charts + 2) {
    throw std::invalid_argument("the sheet drawing needs a group shape, one shape per chart and one more");
  }

  ChartedSheet sheet;
  sheet.sheetBof = builder.bof(0x0010);
  std::vector<DrawingPiece> pieces;
  for (std::size_t i = 0; i < charts; ++i) {
    DrawingPiece piece;
    piece.start = shapeStarts[i + 2];
    piece.recordType = kMsoDrawing;
    piece.before = [&options, &sheet, i](BiffBuilder& b) {
      AppendObj(b);
      if (i == 0) {
        for (const TextBox& box : options.textBoxes) AppendTextBox(b, box);
      }
      sheet.chartBofs.push_back(b.bof(0x0020));
      b.record(kChart, Bytes(16, 0));
      std::vector<std::uint32_t> chartRecords;
      const Bytes& chartDrawing = options.chartDrawings[i];
      if (!chartDrawing.empty()) {
        std::vector<DrawingPiece> chartPieces;
        if (options.chartCut > 0 && options.chartCut < chartDrawing.size()) {
          chartPieces.push_back(DrawingPiece{options.chartCut, kContinue, nullptr});
        }
        chartRecords = AppendDrawing(b, chartDrawing, chartPieces);
        AppendObj(b);
      }
      sheet.chartDrawingRecords.push_back(chartRecords);
      b.eof();
    };
    pieces.push_back(std::move(piece));
  }
  sheet.sheetDrawingRecords = AppendDrawing(builder, drawing, pieces);
  AppendObj(builder);
  builder.record(kWindow2, Bytes(18, 0));
  builder.eof();
  return sheet;
}

}  // namespace testsupport
