#include "frontend/TempFile.h"

#include "errors/Exception.h"
#include "platform/files.h"

namespace bookmender {

TempFile::~TempFile() {
  if (!path_.empty()) platform::DeleteFileAt(path_);  // a failure is ignored
}

void TempFile::create() {
  std::wstring reserved;
  platform::Win32Error error = 0;
  if (!platform::ReserveTemporaryFile(platform::TemporaryFolder(), L"tmr", reserved, error)) {
    throw TempFileCreationException(StatusDetail(platform::HResultFromSystemError(error)));
  }
  path_ = reserved;
}

}  // namespace bookmender
