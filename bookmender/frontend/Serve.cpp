#include "frontend/Serve.h"

#include <cstdint>
#include <optional>

#include "frontend/ResultCode.h"
#include "frontend/Run.h"
#include "frontend/ServeRequest.h"
#include "platform/child_result.h"
#include "platform/resident.h"
#include "platform/text.h"

namespace bookmender {

namespace {

// A file that leaves other descriptors open, other signal actions or blocked
// signals than the first one left, or this much more heap in use, has left
// something behind; resident memory past this much more, once free memory
// has gone back to the system, is kept from a large file for good. Any of
// them ends the server after that file: its successor starts clean.
constexpr std::uint64_t kMostHeapGrowth = 16u << 20;
constexpr std::uint64_t kMostResidentGrowth = 64u << 20;
constexpr std::uint32_t kMostFiles = 1000000000;

bool ReadFiles(const std::wstring& option, std::uint32_t& files) {
  const std::wstring prefix = platform::DecodeNative(kServeOption);
  if (option.compare(0, prefix.size(), prefix) != 0) return false;
  const std::wstring digits = option.substr(prefix.size());
  if (digits.empty() || digits.size() > 10 || digits[0] == L'0') return false;
  std::uint64_t n = 0;
  for (const wchar_t c : digits) {
    if (c < L'0' || c > L'9') return false;
    n = n * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  if (n > kMostFiles) return false;
  files = static_cast<std::uint32_t>(n);
  return true;
}

bool LeftSomethingBehind(const platform::Footprint& first) {
  platform::Footprint now = platform::CurrentFootprint();
  if (now.handles != first.handles || now.signals != first.signals ||
      now.heapBytes > first.heapBytes + kMostHeapGrowth) {
    return true;
  }
  if (now.residentBytes <= first.residentBytes + kMostResidentGrowth) return false;
  platform::ReleaseFreeMemory();
  now = platform::CurrentFootprint();
  return now.residentBytes > first.residentBytes + kMostResidentGrowth;
}

}  // namespace

bool AsksToServe(const std::vector<std::wstring>& arguments) {
  const std::wstring prefix = platform::DecodeNative(kServeOption);
  return !arguments.empty() && arguments[0].compare(0, prefix.size(), prefix) == 0;
}

int Serve(const std::vector<std::wstring>& arguments) {
  static const std::wstring kResult = L"-result:";
  std::uint32_t files = 0;
  std::intptr_t channel = 0;
  if (arguments.size() != 2 || !ReadFiles(arguments[0], files) ||
      arguments[1].compare(0, kResult.size(), kResult) != 0 ||
      !platform::FindResultChannel(arguments[1].substr(kResult.size()), channel)) {
    // As a run with bad arguments ends: its usage and final line.
    return RunBookmender({});
  }
  std::optional<platform::Footprint> first;
  for (std::uint32_t served = 0; served < files;) {
    std::string line;
    std::vector<std::string> bytes;
    if (!platform::ReadRequestLine(line, kMostRequestLine)) return line.empty() ? 0 : InvalidArguments;
    if (!ParseRequestLine(line, bytes)) return InvalidArguments;
    std::vector<std::wstring> request;
    for (const std::string& argument : bytes) request.push_back(platform::NameFromBytes(argument));
    const RunEnd end = RunOne(request, ConsoleLineSink(), channel);
    ++served;
    // The first file sets up what stays for good (the console's lock, the
    // tables made on first use); every later one must leave that as it was.
    bool last = served == files;
    if (!first) {
      first = platform::CurrentFootprint();
    } else if (!last) {
      last = LeftSomethingBehind(*first);
    }
    if (last) platform::StopTakingRequests();
    std::string record = ResultRecord(end.code, end.backup ? std::optional<std::string>(platform::NameBytes(*end.backup))
                                                           : std::nullopt);
    // A name too long to hand over: the reply still ends.
    if (record.empty()) record = ResultRecord(end.code, std::nullopt);
    if (!platform::WriteResult(channel, record) || last) break;
  }
  return 0;
}

}  // namespace bookmender
