#include "frontend/TempFile.h"

#include "errors/Exception.h"

namespace bookmender {

TempFile::~TempFile() = default;

void TempFile::create() {
  platform::Win32Error error = 0;
  if (!platform::ScratchFile::create(file_, error)) {
    throw TempFileCreationException(StatusDetail(platform::HResultFromSystemError(error)));
  }
}

}  // namespace bookmender
