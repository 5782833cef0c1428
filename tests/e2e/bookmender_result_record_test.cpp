// Bookmender's result record on the pipe named by -result:N: the code and the
// backup's exact bytes, whatever the name holds, and a value that names no
// pipe refused as any bad option.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bookmender_run.h"
#include "frontend/ResultRecord.h"

namespace bookmendertest {
namespace {

TEST_F(BookmenderRun, TheRecordGivesTheCodeAndTheBackupsExactBytes) {
  const Bytes damaged = TaggedFile(MakeWorkbook({0, 12}).stream);
  const Bytes sound = TaggedFile(MakeWorkbook({0, 0}).stream);
  // A line feed and a byte that is no UTF-8: the lines show them replaced,
  // the record carries them as they are.
  const std::string odd = Write("new\nline \xE9.xls", damaged);
  struct Case {
    std::string mode;
    std::string path;
    int code;
    std::string backup;  // "" for "-"
  };
  const std::string taken = Write("taken.xls", damaged);
  Write("taken.xls.bak", sound);  // the next free name is taken then
  const Case cases[] = {
      {"-check", odd, 1, ""},
      {"-fix", odd, 1, odd + ".bak"},
      {"-fix", taken, 1, taken + ".bak001"},
      {"-fix", Write("sound.xls", sound), 0, ""},
      {"-check", dir_.file("missing.xls"), 51, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode + " " + c.path);
    ChildPipe pipe;
    const ProcessResult r = Run({c.mode, pipe.option(), c.path});
    EXPECT_EQ(r.exitCode, c.code);
    // A backup is named once it exists, then again at the end.
    // A repair in place adds what it left between the two.
    const std::string name = c.backup.empty() ? "-" : Hex(c.backup);
    const std::string proof = c.backup.empty() ? "" : bookmender::ProofRecord(ProofOf(c.path, c.backup));
    EXPECT_EQ(pipe.read(), (c.backup.empty() ? "" : "BMR1 - " + name + "\n" + proof) + "BMR1 " +
                               std::to_string(c.code) + " " + name + "\n");
    if (!c.backup.empty()) {
      EXPECT_EQ(ReadFileBytes(c.backup), damaged);
    }
  }
}

TEST_F(BookmenderRun, AResultOptionThatNamesNoPipeIsABadArgument) {
  const std::string path = Write("book.xls", TaggedFile(MakeWorkbook({0, 12}).stream));
  const Bytes before = ReadFileBytes(path);
  const int file = ::open(dir_.file("plain").c_str(), O_WRONLY | O_CREAT, 0600);  // inherited, no pipe
  ASSERT_GE(file, 0);
  ChildPipe pipe;
  for (const std::string& option : {"-result:" + std::to_string(file), std::string("-result:"),
                                    std::string("-result:x"), std::string("-result:999"),
                                    "-result:0" + std::to_string(pipe.ends[1]), pipe.option() + " "}) {
    SCOPED_TRACE(option);
    const ProcessResult r = Run({"-fix", option, path});
    EXPECT_EQ(r.exitCode, 50);
    EXPECT_NE(r.output.find("Final result: Invalid command-line arguments were provided"), std::string::npos);
  }
  // Twice is once too many, as for any option; the pipe named well first
  // still hears why.
  const ProcessResult twice = Run({"-fix", pipe.option(), pipe.option(), path});
  EXPECT_EQ(twice.exitCode, 50);
  ::close(file);
  EXPECT_EQ(pipe.read(), "BMR1 50 -\n");
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_EQ(ReadFileBytes(dir_.file("plain")), Bytes{});
}

}  // namespace
}  // namespace bookmendertest
