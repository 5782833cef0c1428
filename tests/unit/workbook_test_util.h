// Shared helpers of the workbook tests.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "errors/Exception.h"
#include "workbook_file.h"

// Runs `body`, expecting it to throw exactly class E (not a subclass) with
// the full message `message`.
template <typename E, typename F>
void ExpectThrowMessage(F&& body, const std::wstring& message) {
  try {
    body();
    ADD_FAILURE() << "no exception";
  } catch (const E& e) {
    EXPECT_EQ(typeid(e), typeid(E)) << "a subclass was thrown";
    EXPECT_EQ(e.fullMessage(), message);
  }
}

// Writes a workbook file holding `stream` into `dir` and returns its path.
inline std::string WriteWorkbook(const testsupport::TempDir& dir, const testsupport::Bytes& stream,
                                 const testsupport::WorkbookFileOptions& options = {},
                                 const std::string& name = "book.xls") {
  const std::string path = dir.file(name);
  testsupport::WriteFileBytes(path, testsupport::BuildWorkbookFile(stream, options));
  return path;
}
