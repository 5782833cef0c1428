// A temporary file in the system's temporary folder, deleted when its last
// shared owner lets it go.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

namespace bookmender {

class TempFile {
 public:
  TempFile() = default;
  virtual ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Reserves a new empty file "tmr<hex>.tmp"; throws TempFileCreationException.
  void create();
  std::wstring path() const { return path_; }

 private:
  std::wstring path_;
};

using TempFilePtr = boost::shared_ptr<TempFile>;

}  // namespace bookmender
