// The Windows Bookmender run as a user runs it: exit codes and lines, the
// backups beside the workbook, the temporary folder the system names, and
// the failures that Windows' own conditions cause.
#include <gtest/gtest.h>

#include <algorithm>

#include "process.h"
#include "samples.h"
#include "sha256.h"
#include "windows_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace wintest;

namespace {

const std::string kSeparator(80, '-');

Bytes Workbook(std::vector<std::int64_t> moved, bool tagged = true) {
  samples::WorkbookKind kind;
  kind.moved = std::move(moved);
  kind.tagged = tagged;
  return samples::MakeWorkbook(kind);
}

class BookmenderWindowsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = dir_.file("tmp");
    ASSERT_TRUE(MakeFolder(tmp_));
  }
  void TearDown() override {
    EXPECT_EQ(Entries(tmp_), std::vector<std::string>{}) << "a temporary file was left behind";
  }

  // GetTempPathW takes TMP first.
  ProcessResult Run(const std::vector<std::string>& arguments, const std::string& tmp = "") {
    std::vector<std::string> argv{Built("Bookmender.exe")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.environment = {"TMP=" + (tmp.empty() ? tmp_ : tmp), "TEMP=" + (tmp.empty() ? tmp_ : tmp)};
    return RunProcess(argv, options);
  }
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.file(name);
    WriteFileBytes(path, bytes);
    return path;
  }

  TempDir dir_;
  std::string tmp_;
};

TEST_F(BookmenderWindowsRun, FixRepairsTheFileAndKeepsTheDamagedOneAsBackup) {
  const Bytes damaged = Workbook({0, 12});
  const Bytes sound = Workbook({0, 0});
  const std::string path = Write("book.xls", damaged);

  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.error, "");
  const std::vector<std::string> lines = Lines(r.output);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
            (std::vector<std::string>{kSeparator, "Checking " + path, kSeparator}));
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
            (std::vector<std::string>{"Making backup copy of original file",
                                      "Backup copy successfully created: " + path + ".bak",
                                      "Replacing original file with fixed version", "Final result: A problem was fixed"}));
  // Every line ends in CR LF, as text files do on Windows.
  EXPECT_EQ(r.output.size(), [&] {
    std::size_t total = 0;
    for (const std::string& line : lines) total += line.size() + 2;
    return total;
  }());
  EXPECT_EQ(ReadFileBytes(path), sound);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged);

  // Repaired, it needs nothing more, and no second backup is made.
  const ProcessResult again = Run({"-fix", path});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(Lines(again.output).back(), "Final result: No problems were detected with the file");
  EXPECT_FALSE(Exists(path + ".bak001"));
}

TEST_F(BookmenderWindowsRun, CheckFindsTheProblemAndWritesNothing) {
  const Bytes damaged = Workbook({6, 18});
  const std::string path = Write("book.xls", damaged);
  const ProcessResult r = Run({"-check", path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.output).back(), "Final result: A problem was detected that Bookmender can fix");
  EXPECT_EQ(ReadFileBytes(path), damaged);
  EXPECT_FALSE(Exists(path + ".bak"));
}

TEST_F(BookmenderWindowsRun, BackupNamesFillTheFirstGapAndKeepExistingBackups) {
  const Bytes damaged = Workbook({6});
  const std::string path = Write("book.xls", damaged);
  Write("book.xls.bak", {'a'});
  Write("book.xls.bak002", {'b'});
  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1);
  const std::vector<std::string> lines = Lines(r.output);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Backup copy successfully created: " + path + ".bak001"),
            lines.end());
  EXPECT_EQ(ReadFileBytes(path + ".bak001"), damaged);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), Bytes{'a'});
  EXPECT_EQ(ReadFileBytes(path + ".bak002"), Bytes{'b'});
}

TEST_F(BookmenderWindowsRun, ASecondHandleThatSharesNothingIsASharingViolation) {
  const Bytes damaged = Workbook({6});
  const std::string path = Write("book.xls", damaged);
  // 'w': reading and writing, sharing nothing; 'p': writing, sharing all,
  // which a reader that keeps writers out cannot live with either.
  for (const char kind : {'w', 'p'}) {
    LockHolder other(path, kind);
    ASSERT_TRUE(other.held());
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 53) << kind;
    EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Sharing violation opening workbook stream [" + path + "]"});
    EXPECT_EQ(Lines(r.output).back(), "Final result: Specified file was in use when check was attempted");
  }
  EXPECT_EQ(ReadFileBytes(path), damaged);
  EXPECT_FALSE(Exists(path + ".bak"));
}

TEST_F(BookmenderWindowsRun, AReaderThatKeepsWritersOutStopsAFixAtItsOpen) {
  const Bytes damaged = Workbook({6});
  const std::string path = Write("book.xls", damaged);
  LockHolder reader(path, 'r');
  ASSERT_TRUE(reader.held());
  EXPECT_EQ(Run({"-check", path}).exitCode, 1);

  // A fix opens the file for writing from the start, which the reader denies.
  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 53);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Sharing violation opening workbook stream [" + path + "]"});
  EXPECT_EQ(Lines(r.output).back(), "Final result: Specified file was in use when check was attempted");
  EXPECT_EQ(ReadFileBytes(path), damaged);
  EXPECT_FALSE(Exists(path + ".bak"));
}

// A program that edits the file and lets everyone else in still keeps the
// run out: its writes could land between the check and the copy back.
TEST_F(BookmenderWindowsRun, AWriterThatSharesEverythingIsASharingViolation) {
  const Bytes damaged = Workbook({6});
  const std::string path = Write("book.xls", damaged);
  const HANDLE editor = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(editor, INVALID_HANDLE_VALUE);
  const ProcessResult r = Run({"-fix", path});
  CloseHandle(editor);
  EXPECT_EQ(r.exitCode, 53);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Sharing violation opening workbook stream [" + path + "]"});
  EXPECT_EQ(ReadFileBytes(path), damaged);
  EXPECT_FALSE(Exists(path + ".bak"));
}

// A reader that lets writers in may come and go during the run; a lock it
// holds on any byte stops the copy back before its first write.
TEST_F(BookmenderWindowsRun, AnotherProgramsLockStopsTheCopyBackAndTheBackupStays) {
  const Bytes damaged = Workbook({6});
  const std::string path = Write("book.xls", damaged);
  const HANDLE reader = CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  OVERLAPPED at{};
  at.Offset = 100;
  ASSERT_TRUE(LockFileEx(reader, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
  const ProcessResult r = Run({"-fix", path});
  UnlockFileEx(reader, 0, 1, 0, &at);
  CloseHandle(reader);
  EXPECT_EQ(r.exitCode, 53);
  EXPECT_EQ(Lines(r.error),
            (std::vector<std::string>{"Failed to copy temp file back over original - Win32 error code: 32",
                                      "Another program holds a lock on " + path + "; nothing was written to it"}));
  EXPECT_EQ(Lines(r.output).back(), "Final result: Specified file was in use when check was attempted");
  EXPECT_EQ(ReadFileBytes(path), damaged);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged);
}

TEST_F(BookmenderWindowsRun, BackupKeepsTheOriginalsAttributesAndLastWriteTime) {
  const Bytes damaged = Workbook({6});
  const std::string path = Write("book.xls", damaged);
  FILETIME written;
  written.dwLowDateTime = 0x12345670u;  // in 2000
  written.dwHighDateTime = 0x01BF5000u;
  const HANDLE setter = CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(setter, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileTime(setter, nullptr, nullptr, &written));
  CloseHandle(setter);
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesW(Wide(path).c_str(), kept));

  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1) << r.error;
  WIN32_FILE_ATTRIBUTE_DATA backup;
  ASSERT_TRUE(GetFileAttributesExW(Wide(path + ".bak").c_str(), GetFileExInfoStandard, &backup));
  const DWORD shown = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  EXPECT_EQ(backup.dwFileAttributes & shown, kept);
  EXPECT_EQ(backup.ftLastWriteTime.dwLowDateTime, written.dwLowDateTime);
  EXPECT_EQ(backup.ftLastWriteTime.dwHighDateTime, written.dwHighDateTime);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged);
  // The original is repaired in place: it keeps its own attributes.
  EXPECT_EQ(GetFileAttributesW(Wide(path).c_str()) & shown, kept);
  EXPECT_EQ(ReadFileBytes(path), Workbook({0}));
}

// As a user who may not write the file: where the system lets us write a
// read-only file anyway (Wine run as root), there is nothing to refuse.
TEST_F(BookmenderWindowsRun, ReadOnlyOriginalFailsTheCopyBackAndKeepsTheBackup) {
  const Bytes damaged = Workbook({6});
  const std::string path = Write("book.xls", damaged);
  ASSERT_TRUE(SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_READONLY));
  const HANDLE writer = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (writer != INVALID_HANDLE_VALUE) {
    CloseHandle(writer);
    SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    GTEST_SKIP() << "this system lets a writer open a read-only file (Wine run as root)";
  }
  const ProcessResult r = Run({"-fix", path});
  const DWORD backup = GetFileAttributesW(Wide(path + ".bak").c_str());
  // Read-only files would outlive the folder's removal.
  SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
  SetFileAttributesW(Wide(path + ".bak").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(r.exitCode, 56);
  EXPECT_EQ(Lines(r.error),
            std::vector<std::string>{"Failed to copy temp file back over original - Win32 error code: 5"});
  EXPECT_EQ(Lines(r.output).back(),
            "Final result: Specified file needs fixing, but Bookmender failed to copy the fixed file back over the "
            "original");
  EXPECT_EQ(ReadFileBytes(path), damaged);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged);
  EXPECT_NE(backup, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(backup & FILE_ATTRIBUTE_READONLY) << "the backup is read-only as its original";
}

TEST_F(BookmenderWindowsRun, MissingTemporaryFolderFailsTheReservation) {
  const Bytes damaged = Workbook({6});
  const std::string path = Write("book.xls", damaged);
  const ProcessResult r = Run({"-fix", path}, dir_.file("no-such-folder") + "\\");
  EXPECT_EQ(r.exitCode, 2);
  // The system's own text follows the code, its line end kept inside the
  // brackets.
  // GetTempFileNameW: ERROR_DIRECTORY for a folder that is not there.
  const std::string prefix = "Temporary file creation failed [HRESULT(8007010b) - ";
  EXPECT_EQ(r.error.substr(0, prefix.size()), prefix) << r.error;
  EXPECT_EQ(r.error.substr(r.error.size() - 5), "\r\n]\r\n") << r.error;
  EXPECT_EQ(Lines(r.output).back(), "Final result: The file is malformed in a way that Bookmender cannot fix");
  EXPECT_EQ(ReadFileBytes(path), damaged);
}

TEST_F(BookmenderWindowsRun, NamesBeyondTheCodePageArePrintedWhole) {
  const Bytes damaged = Workbook({6});
  // Latin, Greek, CJK and a character beyond the BMP: no code page holds all.
  for (const std::string name : {"caf\xC3\xA9 \xCE\xB1\xCE\xB2.xls", "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\x88.xls"}) {
    const std::string path = Write(name, damaged);
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 1) << name;
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Checking " + path);
    EXPECT_EQ(lines.back(), "Final result: A problem was fixed") << name;
    EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged) << name;
  }
}

TEST_F(BookmenderWindowsRun, ArgumentsAndOpenFailures) {
  const std::string path = Write("book.xls", Workbook({6}));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-check"}, {"-CHECK", path}, {"/check", path}, {"-fix", path, "extra"}, {"", path}}) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exitCode, 50);
    EXPECT_EQ(Lines(r.error),
              (std::vector<std::string>{"Usage:", "Bookmender -check <filename>", "Bookmender -fix <filename>"}));
  }
  const std::string missing = dir_.file("missing.xls");
  ProcessResult r = Run({"-check", missing});
  EXPECT_EQ(r.exitCode, 51);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"File not found opening workbook stream [" + missing + "]"});
  EXPECT_EQ(Run({"-check", dir_.file("no-folder\\x.xls")}).exitCode, 51);
  EXPECT_EQ(Run({"-check", Write("text.xls", {'n', 'o', '\n'})}).exitCode, 54);
  EXPECT_EQ(Run({"-check", dir_.path()}).exitCode, 52) << "a folder";
  EXPECT_EQ(Run({"-fix", Write("untagged.xls", Workbook({6}, false))}).exitCode, 0);
  EXPECT_FALSE(Exists(dir_.file("untagged.xls.bak")));
}

// A file handed over by a scan: opened only below the folder searched and
// only as the file of the identity given.
TEST_F(BookmenderWindowsRun, AScansFileIsOpenedOnlyBelowItsFolderAndAsTheFileSeen) {
  const Bytes damaged = Workbook({0, 12});
  const std::string path = Write("book.xls", damaged);
  const std::string other = Write("other.xls", damaged);
  const std::string folder = dir_.path();
  const std::wstring wide = Wide(path);
  const HANDLE file = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(file, &info));
  CloseHandle(file);
  const std::string identity = "-identity:" + std::to_string(info.dwVolumeSerialNumber) + ":" +
                               std::to_string((static_cast<unsigned long long>(info.nFileIndexHigh) << 32) |
                                              info.nFileIndexLow);
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
  };
  const Case cases[] = {
      {{"-check", "-beneath:" + folder, identity, path}, 1},
      {{"-check", "-beneath:" + folder + "\\", identity, path}, 1},
      {{"-check", "-beneath:" + folder, identity, other}, 51},
      {{"-check", "-beneath:" + folder + "\\tmp", path}, 51},
      {{"-check", identity, path}, 50},
  };
  for (const Case& c : cases) {
    const ProcessResult r = Run(c.arguments);
    EXPECT_EQ(r.exitCode, c.exitCode) << testing::PrintToString(c.arguments) << r.output << r.error;
  }
  EXPECT_EQ(ReadFileBytes(path), damaged);
}

// The undo of a repair with the Windows file system's own handles: the
// backup's bytes back in the same file, a second undo that writes nothing,
// and refusals that leave the file as the repair left it.
TEST_F(BookmenderWindowsRun, UndoRestoresTheBackupOnlyIntoTheFileTheRepairLeft) {
  const Bytes damaged = Workbook({0, 12});
  const std::string path = Write("book.xls", damaged);
  ASSERT_EQ(Run({"-fix", path}).exitCode, 1);
  const Bytes repaired = ReadFileBytes(path);
  const std::string proof = "-proof:" + Sha256Hex(repaired) + ":" + std::to_string(repaired.size()) + ":" +
                            Sha256Hex(damaged);
  const std::vector<std::string> undo{"-undo", "-backup:" + path + ".bak", proof, path};

  {
    // Another program's handle that shares nothing: in use, nothing written.
    LockHolder other(path, 'w');
    ASSERT_TRUE(other.held());
    EXPECT_EQ(Run(undo).exitCode, 53);
  }
  EXPECT_EQ(ReadFileBytes(path), repaired);

  const ProcessResult r = Run(undo);
  EXPECT_EQ(r.exitCode, 5) << r.output;
  EXPECT_EQ(Lines(r.output).back(), "Final result: The file was restored from its backup");
  EXPECT_EQ(ReadFileBytes(path), damaged);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged);
  const ProcessResult again = Run(undo);
  EXPECT_EQ(again.exitCode, 5);
  EXPECT_NE(again.output.find("The file already holds the backup's content"), std::string::npos);

  // Changed since the repair: 58, and the change stays.
  Bytes changed = repaired;
  changed.back() ^= 0x5A;
  WriteFileBytes(path, changed);
  EXPECT_EQ(Run(undo).exitCode, 58);
  EXPECT_EQ(ReadFileBytes(path), changed);
}

}  // namespace
