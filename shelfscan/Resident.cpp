#include "Resident.h"

#include "MainLog.h"

#include "frontend/ResultRecord.h"
#include "frontend/ServeRequest.h"
#include "platform/text.h"

namespace shelfscan {

bool ResidentBookmender::start(const std::wstring& executable, Served& served) {
  platform::Win32Error error = 0;
  if (gather_ && !output_.isOpen() && !output_.create(error)) {
    served.problem = L"Cannot make a private temporary file for the output of Bookmender: " + SystemErrorText(error);
    return false;
  }
  // A Bookmender that cannot be started fails its file as a run of its own
  // that could not start: "error code -1".
  if (!child_.prepare(error)) return false;
  const std::vector<platform::ChildArgument> arguments{
      {platform::DecodeNative(bookmender::kServeOption) + std::to_wstring(kFilesPerResident), false},
      {L"-result:" + child_.channelName(), false}};
  return child_.start(executable, arguments, gather_ ? &output_ : nullptr);
}

ResidentBookmender::Served ResidentBookmender::serve(const std::wstring& executable,
                                                     const std::vector<platform::ChildArgument>& arguments,
                                                     platform::ChildTimeLimit limit) {
  Served served;
  std::vector<std::string> bytes;
  for (const platform::ChildArgument& argument : arguments) bytes.push_back(platform::NameBytes(argument.text));
  const std::string request = bookmender::RequestLine(bytes);
  if (request.empty()) {
    served.problem = L"The file's name is too long to hand to Bookmender.";
    return served;
  }
  // One that ended after its last file, or was ended while it waited,
  // took none of the request: a new one serves it.
  bool sent = false;
  for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
    if (!child_.running() && !start(executable, served)) return served;
    const platform::ResidentChild::Sent result = child_.send(request);
    sent = result == platform::ResidentChild::Sent::kSent;
    if (!sent) child_.end();
    if (result == platform::ResidentChild::Sent::kFailed) return served;
  }
  if (!sent) return served;

  const platform::ResidentChild::Served how =
      child_.await(served.records, bookmender::HasLastRecord, bookmender::kMostResultRecords, limit, served.end);
  if (how == platform::ResidentChild::Served::kComplete) {
    const std::size_t start = served.records.rfind('\n', served.records.size() - 2);
    int code = 0;
    std::optional<std::string> backup;
    bookmender::ParseResultRecord(served.records.substr(start == std::string::npos ? 0 : start + 1), code, backup);
    served.end = platform::ChildEnd();
    served.end.started = served.end.exited = true;
    served.end.code = code;
  }
  if (gather_) {
    platform::Win32Error error = 0;
    // Read and emptied for the next file; one that cannot be emptied is
    // made afresh with the next Bookmender.
    if (!output_.read(served.output, error)) {
      served.outputLost = L"Cannot read back the output of Bookmender: " + SystemErrorText(error);
      served.output.clear();
    }
    if (!output_.clear(error)) {
      child_.end();
      output_.close();
    }
  }
  return served;
}

}  // namespace shelfscan
