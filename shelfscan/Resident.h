// A resident Bookmender (frontend/ServeRequest.h) serving the files of one
// of the scan's threads, one after another: started at the first file,
// replaced when it ends (it crashed, was killed, passed the time limit, or
// ended itself after its last file), ended with this object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/resident.h"

namespace shelfscan {

// Files one Bookmender serves before a new one takes its place.
inline constexpr unsigned kFilesPerResident = 10000;

class ResidentBookmender {
 public:
  // `gather`: each file's output is kept for the detail log; else it goes
  // to the null device.
  explicit ResidentBookmender(bool gather) : gather_(gather) {}

  // How one file's run went, as a run of its own would tell it: how it
  // ended, its records, and its output when gathered. `problem`: a reason
  // the run could not be made that is no fault of Bookmender's;
  // `outputLost`: why the output, gathered, could not be read back (the
  // result stands).
  struct Served {
    platform::ChildEnd end;
    std::string records;
    std::string output;
    std::optional<std::wstring> problem;
    std::optional<std::wstring> outputLost;
  };
  Served serve(const std::wstring& executable, const std::vector<platform::ChildArgument>& arguments,
               platform::ChildTimeLimit limit);

 private:
  bool start(const std::wstring& executable, Served& served);

  bool gather_;
  platform::ResidentChild child_;
  platform::ScratchOutput output_;
};

}  // namespace shelfscan
