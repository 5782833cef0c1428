// Workbook files for tests: a Workbook stream wrapped in a compound file,
// optionally tagged, and the test's own files and folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "biff_builder.h"

namespace testsupport {

struct WorkbookFileOptions {
  int majorVersion = 3;                 // 3: 512-byte sectors, 4: 4096
  std::u16string streamName = u"Workbook";
  // Name of a user-defined property to add ("TMTAG", "TMTAG2"); none if empty.
  std::u16string tagProperty;
};

// A compound file holding `workbookStream` (and the tag property, if any).
Bytes BuildWorkbookFile(const Bytes& workbookStream, const WorkbookFileOptions& options = {});

// A compound file's bytes with user-defined property `name` added (all its
// streams and storages kept); for tagging real workbooks.
Bytes AddUserProperty(const Bytes& compoundFile, const std::u16string& name);

// A test's path (UTF-8 on Windows) as the system's file functions take it.
std::filesystem::path FsPath(const std::string& path);

Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);

// The folder of real workbooks beside the repository, or "" when absent.
std::string CorpusDir();

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // `name` inside the folder, joined with the system's separator.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace testsupport
