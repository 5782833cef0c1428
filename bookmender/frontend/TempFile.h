// The temporary copy's file: scratch work of this run alone. It has no name
// that another program could guess, open, swap or find left behind; the run
// reaches it only through the file made with it, which goes when its last
// shared owner lets it go (or the process ends, however it ends).
#pragma once

#include <memory>

#include <boost/shared_ptr.hpp>

#include "platform/scratch_file.h"

namespace bookmender {

class TempFile {
 public:
  TempFile() = default;
  virtual ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Makes the new empty file in the temporary folder; throws
  // TempFileCreationException.
  void create();
  // The file; null before create().
  const std::shared_ptr<platform::ScratchFile>& file() const { return file_; }

 private:
  std::shared_ptr<platform::ScratchFile> file_;
};

using TempFilePtr = boost::shared_ptr<TempFile>;

}  // namespace bookmender
