#include "frontend/TempFile.h"

#include "errors/Exception.h"
#include "platform/files.h"
#include "platform/termination.h"

namespace bookmender {

// The signal handler knows the copy's name from its reservation until its
// deletion, with no moment in between where a name is unknown to it or
// names a file of someone else's.
TempFile::~TempFile() {
  if (path_.empty()) return;
  const platform::TerminationDeferral deferral;
  platform::SetScratchFile(L"");
  platform::DeleteFileAt(path_);  // a failure is ignored
}

void TempFile::create() {
  std::wstring reserved;
  platform::Win32Error error = 0;
  const platform::TerminationDeferral deferral;
  if (!platform::ReserveTemporaryFile(platform::TemporaryFolder(), L"tmr", reserved, error)) {
    throw TempFileCreationException(StatusDetail(platform::HResultFromSystemError(error)));
  }
  path_ = reserved;
  platform::SetScratchFile(path_);
}

}  // namespace bookmender
