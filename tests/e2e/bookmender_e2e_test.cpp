// The built Bookmender program, run as a user would run it: exit codes, the
// exact lines on each stream, and the bytes of the original, the backups and
// the temporary folder afterwards.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "cfb_writer.h"
#include "charted_workbook.h"
#include "damage.h"
#include "drawing_builder.h"
#include "process.h"
#include "platform/cfb_format.h"
#include "workbook_file.h"

using namespace testsupport;

namespace {

const std::string kSeparator(80, '-');

// An independent walk over the record headers of a Workbook stream: the data
// offset of every record.
std::vector<std::uint32_t> RecordDataOffsets(const Bytes& stream) {
  std::vector<std::uint32_t> offsets;
  std::size_t p = 0;
  while (p + 4 <= stream.size()) {
    offsets.push_back(static_cast<std::uint32_t>(p + 4));
    p += 4 + (stream[p + 2] | (stream[p + 3] << 8));
  }
  return offsets;
}

// A worksheet with charts whose drawing containers were damaged by moving
// `moved[i]` bytes from the sheet to chart i (0: chart i is exact), after
// `fillers` records in the globals.
ChartedWorkbook MakeWorkbook(const std::vector<std::int64_t>& moved, long fillers = 0) {
  ChartedWorkbookRecipe recipe;
  recipe.moved = moved;
  recipe.fillers = fillers;
  return BuildChartedWorkbook(recipe);
}

Bytes TaggedFile(const Bytes& stream, const std::u16string& tag = u"TMTAG") {
  WorkbookFileOptions options;
  options.tagProperty = tag;
  return BuildWorkbookFile(stream, options);
}

std::string Program() { return BOOKMENDER_EXE; }

class BookmenderRun : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = dir_.file("tmp");
    ASSERT_EQ(mkdir(tmp_.c_str(), 0777), 0);
    ASSERT_EQ(chmod(tmp_.c_str(), 01777), 0);
  }
  void TearDown() override { EXPECT_TRUE(TempFolderEmpty()) << "a temporary file was left behind"; }

  ProcessResult Run(const std::vector<std::string>& arguments, ProcessOptions options = {}) {
    std::vector<std::string> argv{Program()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    options.environment.push_back("TMPDIR=" + tmp_);
    return RunProcess(argv, options);
  }
  bool TempFolderEmpty() const {
    DIR* d = opendir(tmp_.c_str());
    if (!d) return true;
    bool empty = true;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") empty = false;
    }
    closedir(d);
    return empty;
  }
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.file(name);
    WriteFileBytes(path, bytes);
    return path;
  }
  bool Exists(const std::string& path) const { return access(path.c_str(), F_OK) == 0; }

  TempDir dir_;
  std::string tmp_;
};

std::vector<std::string> Banner(const std::string& file) {
  return {kSeparator, "Checking " + file, kSeparator};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The driver's lines for a workbook made by MakeWorkbook, computed from its
// layout rather than from the program.
std::vector<std::string> RepairLines(const ChartedWorkbook& w, const std::vector<std::int64_t>& moved) {
  const std::vector<std::uint32_t> offsets = RecordDataOffsets(w.stream);
  const std::string sheet = std::to_string(w.layout.sheetBof);
  std::vector<std::string> lines{
      "Read " + std::to_string(offsets.size()) + " BIFF records.",
      "Suspicious sheet beginning at record " + sheet,
      "Looking at suspicious sheet starting at " + sheet,
  };
  std::int64_t total = 0;
  for (std::size_t i = 0; i < moved.size(); ++i) {
    const std::uint32_t expected = w.chartDrawingSizes[i] - 8;
    lines.push_back("Chart substream starts at " + std::to_string(w.layout.chartBofs[i]));
    lines.push_back("Expected size: " + std::to_string(expected) +
                    ", Actual size: " + std::to_string(expected + moved[i]));
    lines.push_back("Size discrepancy for this substream: " + std::to_string(moved[i]));
    total += moved[i];
  }
  lines.push_back("Sheet starting at " + sheet + " needs fixing");
  lines.push_back("Making temporary copy of file to try fix");
  lines.push_back("Fixing sheet at record " + sheet);
  // The DgContainer opens the substream's first drawing record; the group
  // follows the 8-byte DgContainer header and the 16-byte drawing atom.
  const auto adjusting = [&](std::uint32_t firstDrawingRecord) {
    const std::uint32_t dg = offsets.at(firstDrawingRecord);
    lines.push_back("Adjusting DgContainer at Workbook stream offset " + std::to_string(dg));
    lines.push_back("Adjusting SpgrContainer at Workbook stream offset " + std::to_string(dg + 24));
  };
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (moved[i] == 0) continue;
    lines.push_back("Fixing substream " + std::to_string(i) + " - size discrepancy is " +
                    std::to_string(moved[i]));
    adjusting(w.layout.chartDrawingRecords[i].at(0));
  }
  lines.push_back("Fixing sheet - size discrepancy is " + std::to_string(total));
  adjusting(w.layout.sheetDrawingRecords.at(0));
  lines.push_back("Checking Office drawing container integrity");
  lines.push_back("Container integrity check OK");
  return lines;
}

}  // namespace

TEST_F(BookmenderRun, FixRepairsTheFileAndKeepsTheDamagedOneAsBackup) {
  const std::vector<std::int64_t> moved{0, 12};
  const ChartedWorkbook damaged = MakeWorkbook(moved);
  const Bytes damagedFile = TaggedFile(damaged.stream);
  const Bytes soundFile = TaggedFile(MakeWorkbook({0, 0}).stream);
  ASSERT_NE(damagedFile, soundFile);
  const std::string path = Write("book.xls", damagedFile);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);

  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1);
  std::vector<std::string> expected = Concat(Banner(path), RepairLines(damaged, moved));
  expected = Concat(expected, {"Making backup copy of original file",
                               "Backup copy successfully created: " + path + ".bak",
                               "Replacing original file with fixed version",
                               "Final result: A problem was fixed"});
  EXPECT_EQ(Lines(r.output), expected);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(ReadFileBytes(path), soundFile);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), damagedFile);
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the original must keep its identity";
  EXPECT_EQ(after.st_mode, before.st_mode);

  // The repaired file is healthy now; a second fix changes nothing more.
  const ProcessResult again = Run({"-fix", path});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(Lines(again.output).back(), "Final result: No problems were detected with the file");
  EXPECT_FALSE(Exists(path + ".bak001"));
}

TEST_F(BookmenderRun, CheckFindsTheProblemAndWritesNothing) {
  const std::vector<std::int64_t> moved{6, 18};
  const ChartedWorkbook damaged = MakeWorkbook(moved);
  const Bytes file = TaggedFile(damaged.stream, u"TMTAG2");
  const std::string path = Write("book.xls", file);
  const ProcessResult r = Run({"-check", path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.output), Concat(Concat(Banner(path), RepairLines(damaged, moved)),
                                    {"Final result: A problem was detected that Bookmender can fix"}));
  EXPECT_EQ(ReadFileBytes(path), file);
  EXPECT_FALSE(Exists(path + ".bak"));
}

TEST_F(BookmenderRun, BothStreamsKeepTheirOrderInOneFile) {
  const std::string path = Write("odd.xls", TaggedFile(MakeWorkbook({4}).stream));
  ProcessOptions merged;
  merged.mergeOutput = true;
  const ProcessResult r = Run({"-check", path}, merged);
  EXPECT_EQ(r.exitCode, 2);
  const std::vector<std::string> lines = Lines(r.output);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "Size discrepancy for this substream: 4");
  EXPECT_EQ(lines[lines.size() - 2], "General exception [Size discrepancy is not a multiple of 6 bytes]");
  EXPECT_EQ(lines.back(), "Final result: The file is malformed in a way that Bookmender cannot fix");
}

TEST_F(BookmenderRun, AllBackupNamesTakenLeavesTheOriginalAlone) {
  const Bytes file = TaggedFile(MakeWorkbook({6}).stream);
  const std::string path = Write("book.xls", file);
  for (int i = 0; i < 1000; ++i) {
    Write("book.xls.bak" + (i == 0 ? std::string() : std::to_string(1000 + i).substr(1)), {1});
  }
  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 57);
  EXPECT_EQ(r.error, "");
  const std::vector<std::string> lines = Lines(r.output);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2], "Making backup copy of original file");
  EXPECT_EQ(lines.back(),
            "Final result: Specified file needs fixing, but Bookmender failed to make a backup copy");
  EXPECT_EQ(ReadFileBytes(path), file);
  EXPECT_EQ(ReadFileBytes(path + ".bak500"), Bytes{1}) << "existing backups keep their content";
  EXPECT_FALSE(Exists(path + ".bak1000"));
}

TEST_F(BookmenderRun, BackupNamesFillTheFirstGap) {
  const Bytes damaged = TaggedFile(MakeWorkbook({6}).stream);
  const std::string path = Write("book.xls", damaged);
  Write("book.xls.bak", {'a'});
  Write("book.xls.bak002", {'b'});
  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(ReadFileBytes(path + ".bak001"), damaged);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), Bytes{'a'});
  EXPECT_EQ(ReadFileBytes(path + ".bak002"), Bytes{'b'});
  const std::vector<std::string> lines = Lines(r.output);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Backup copy successfully created: " + path + ".bak001"),
            lines.end());
}

TEST_F(BookmenderRun, HealthyAndUntaggedWorkbooksNeedNothing) {
  const Bytes sound = MakeWorkbook({0, 0}).stream;
  // Untagged, even when damaged: nothing is read beyond the tag.
  const std::string untagged = Write("untagged.xls", BuildWorkbookFile(MakeWorkbook({6}).stream));
  ProcessResult r = Run({"-fix", untagged});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.output), Concat(Banner(untagged), {"File has not been optimized by Trimora",
                                                       "Final result: No problems were detected with the file"}));
  EXPECT_FALSE(Exists(untagged + ".bak"));

  // Tagged, suspicious, every chart exact: measured, not fixed.
  const std::string healthy = Write("healthy.xls", TaggedFile(sound));
  r = Run({"-fix", healthy});
  EXPECT_EQ(r.exitCode, 0);
  std::vector<std::string> lines = Lines(r.output);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Size discrepancy for this substream: 0"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Making temporary copy of file to try fix"), 0);
  EXPECT_EQ(lines[lines.size() - 2], "Container integrity check OK");
  EXPECT_FALSE(Exists(healthy + ".bak"));

  // Tagged with no suspicious sheet.
  BiffBuilder plain;
  plain.bof(0x0005);
  plain.eof();
  plain.bof();
  plain.eof();
  const std::string simple = Write("simple.xls", TaggedFile(plain.bytes()));
  r = Run({"-check", simple});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.output), Concat(Banner(simple), {"Read 4 BIFF records.", "Normal sheet beginning at record 2",
                                                     "No suspicious sheets",
                                                     "Checking Office drawing container integrity",
                                                     "Container integrity check OK",
                                                     "Final result: No problems were detected with the file"}));
}

// Workbook streams of odd length: up to three zero bytes after the last EOF
// are padding, for sound and damaged workbooks alike; others are malformed.
TEST_F(BookmenderRun, ShortZeroTailIsPadding) {
  for (int extra = 1; extra <= 3; ++extra) {
    Bytes sound = MakeWorkbook({0}).stream;
    sound.resize(sound.size() + extra, 0);
    const std::string soundPath = Write("sound" + std::to_string(extra) + ".xls", TaggedFile(sound));
    EXPECT_EQ(Run({"-check", soundPath}).exitCode, 0) << extra;

    Bytes damaged = MakeWorkbook({6}).stream;
    damaged.resize(damaged.size() + extra, 0);
    const std::string damagedPath = Write("damaged" + std::to_string(extra) + ".xls", TaggedFile(damaged));
    EXPECT_EQ(Run({"-fix", damagedPath}).exitCode, 1) << extra;
    EXPECT_EQ(Run({"-check", damagedPath}).exitCode, 0) << extra;

    Bytes torn = MakeWorkbook({0}).stream;
    torn.resize(torn.size() + extra, 0);
    torn.back() = 0x01;
    const std::string tornPath = Write("torn" + std::to_string(extra) + ".xls", TaggedFile(torn));
    const ProcessResult r = Run({"-check", tornPath});
    EXPECT_EQ(r.exitCode, 2) << extra;
    EXPECT_EQ(Lines(r.error),
              std::vector<std::string>{"I/O exception [Reached end of stream while trying to read BIFF header]"});
  }
}

TEST_F(BookmenderRun, MalformedAndBrokenDrawingsAreReported) {
  // A discrepancy of 4 bytes is not the optimiser's damage: result 2.
  const Bytes odd = TaggedFile(MakeWorkbook({6, 4}).stream);
  const std::string oddPath = Write("odd.xls", odd);
  ProcessResult r = Run({"-fix", oddPath});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"General exception [Size discrepancy is not a multiple of 6 bytes]"});
  EXPECT_EQ(Lines(r.output).back(), "Final result: The file is malformed in a way that Bookmender cannot fix");
  EXPECT_EQ(ReadFileBytes(oddPath), odd);

  // Moving bytes into a chart without taking them from the sheet leaves the
  // fixed copy broken: result 3 after a fix, original untouched, no backup.
  std::vector<Bytes> charts{SerializeDrawing(WithContainerLengthsMoved(TypicalDrawing(1), 6))};
  ChartedSheetOptions options;
  options.chartDrawings = charts;
  BiffBuilder builder;
  AppendGlobals(builder);
  AppendChartedSheet(builder, TypicalDrawing(2), options);
  const Bytes unbalanced = TaggedFile(builder.bytes());
  const std::string unbalancedPath = Write("unbalanced.xls", unbalanced);
  r = Run({"-fix", unbalancedPath});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(Lines(r.output).back(), "Final result: The file contains container length issues");
  EXPECT_EQ(Lines(r.error),
            std::vector<std::string>{"I/O exception [Attempt to read beyond end of OfficeDrawingStream]"});
  EXPECT_EQ(ReadFileBytes(unbalancedPath), unbalanced);
  EXPECT_FALSE(Exists(unbalancedPath + ".bak"));
}

TEST_F(BookmenderRun, ArgumentsAreCheckedExactly) {
  const std::string path = Write("book.xls", TaggedFile(MakeWorkbook({6}).stream));
  const std::vector<std::vector<std::string>> bad{
      {}, {"-check"}, {"-check", path, "extra"}, {"-CHECK", path}, {"-Fix", path},
      {"/check", path}, {"-check:", path}, {path, "-check"}, {"--fix", path}, {"", path}};
  for (const auto& args : bad) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exitCode, 50);
    EXPECT_EQ(Lines(r.error),
              (std::vector<std::string>{"Usage:", "Bookmender -check <filename>", "Bookmender -fix <filename>"}));
    EXPECT_EQ(Lines(r.output), std::vector<std::string>{"Final result: Invalid command-line arguments were provided"});
  }
  EXPECT_FALSE(Exists(path + ".bak"));
}

TEST_F(BookmenderRun, OpenFailuresHaveTheirCodes) {
  const std::string missing = dir_.file("missing.xls");
  ProcessResult r = Run({"-fix", missing});
  EXPECT_EQ(r.exitCode, 51);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"File not found opening workbook stream [" + missing + "]"});
  EXPECT_EQ(Lines(r.output).back(), "Final result: The specified file was not found");
  EXPECT_EQ(Run({"-check", dir_.file("no-folder/x.xls")}).exitCode, 51);

  const std::string text = Write("text.xls", {'n', 'o', 't', '\n'});
  r = Run({"-check", text});
  EXPECT_EQ(r.exitCode, 54);
  EXPECT_EQ(Lines(r.output).back(), "Final result: Specified file is not an Excel 97 or later XLS workbook");
  WorkbookFileOptions biff5;
  biff5.streamName = u"Book";
  biff5.tagProperty = u"TMTAG";
  EXPECT_EQ(Run({"-check", Write("old.xls", BuildWorkbookFile(MakeWorkbook({6}).stream, biff5))}).exitCode, 54);

  BiffBuilder locked;
  locked.bof(0x0005);
  locked.record(0x002F, Bytes(54, 0));
  const std::string password = Write("password.xls", TaggedFile(locked.bytes()));
  r = Run({"-fix", password});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Workbook stream is password protected"});
  EXPECT_EQ(Lines(r.output).back(), "Final result: The file is password protected");
}

TEST_F(BookmenderRun, AFileInUseIsASharingViolation) {
  const Bytes file = TaggedFile(MakeWorkbook({6}).stream);
  const std::string path = Write("book.xls", file);
  for (char kind : {'w', 'p'}) {
    LockHolder other(path, kind);
    ASSERT_TRUE(other.held());
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 53);
    EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Sharing violation opening workbook stream [" + path + "]"});
    EXPECT_EQ(Lines(r.output).back(), "Final result: Specified file was in use when check was attempted");
  }
  // Another reader does not stop a check.
  LockHolder reader(path, 'r');
  EXPECT_EQ(Run({"-check", path}).exitCode, 1);
  EXPECT_EQ(ReadFileBytes(path), file);
}

class UnprivilegedRun : public BookmenderRun {
 protected:
  void SetUp() override {
    BookmenderRun::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  }
  ProcessResult RunAsNobody(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.uid = 65534;
    return Run(arguments, options);
  }
};

// What `cp -a` keeps of a file: owner, group, mode, times, ACL and other
// extended attributes.
struct Metadata {
  struct stat st {};
  std::string acl, origin;
};

Metadata MetadataOf(const std::string& path) {
  Metadata m;
  EXPECT_EQ(stat(path.c_str(), &m.st), 0) << path;
  char buffer[4096];
  ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", buffer, sizeof buffer);
  if (n > 0) m.acl.assign(buffer, static_cast<std::size_t>(n));
  n = getxattr(path.c_str(), "user.origin", buffer, sizeof buffer);
  if (n > 0) m.origin.assign(buffer, static_cast<std::size_t>(n));
  return m;
}

// Root repairs a file of another user's: the backup is that user's as the
// original was, with everything `cp -a` keeps; the original keeps its own.
TEST_F(UnprivilegedRun, BackupKeepsTheOriginalsOwnerModeTimesAclAndAttributes) {
  const std::string path = Write("book.xls", TaggedFile(MakeWorkbook({6}).stream));
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const std::string origin = "written by alice";
  ASSERT_EQ(setxattr(path.c_str(), "user.origin", origin.data(), origin.size(), 0), 0)
      << "the test folder's file system takes no user attributes";
  const ProcessResult acl = RunProcess({"/usr/bin/setfacl", "-m", "u:1234:r", path});
  ASSERT_EQ(acl.exitCode, 0) << "setfacl (package acl, scripts/install-deps): " << acl.error;
  const struct timespec old[2] = {{978307200, 5}, {946684800, 123456789}};  // 2001, 2000
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  const Metadata before = MetadataOf(path);
  ASSERT_FALSE(before.acl.empty());

  const ProcessResult r = Run({"-fix", path});
  ASSERT_EQ(r.exitCode, 1) << r.error;
  const Metadata backup = MetadataOf(path + ".bak");
  EXPECT_EQ(backup.st.st_uid, 65534u);
  EXPECT_EQ(backup.st.st_gid, 65534u);
  EXPECT_EQ(backup.st.st_mode & 07777, before.st.st_mode & 07777);
  EXPECT_EQ(backup.st.st_mtim.tv_sec, 946684800);
  EXPECT_EQ(backup.st.st_mtim.tv_nsec, 123456789);
  // (The access time is the one the run's own reading gave the original.)
  EXPECT_EQ(backup.acl, before.acl);
  EXPECT_EQ(backup.origin, origin);

  const Metadata after = MetadataOf(path);
  EXPECT_EQ(after.st.st_ino, before.st.st_ino);
  EXPECT_EQ(after.st.st_uid, 65534u);
  EXPECT_EQ(after.st.st_mode, before.st.st_mode);
  EXPECT_EQ(after.acl, before.acl);
  EXPECT_EQ(after.origin, origin);

  // The owner can read their own backup.
  const ProcessResult asOwner = RunAsNobody({"-check", path + ".bak"});
  EXPECT_EQ(asOwner.exitCode, 1) << asOwner.error;
}

// Whether user `uid` (and its group of the same number) can open `path` to
// read it.
bool ReadableBy(int uid, const std::string& path) {
  ProcessOptions as;
  as.uid = uid;
  const ProcessResult r = RunProcess({"/bin/cat", path}, as);
  EXPECT_TRUE(r.exitCode == 0 || r.error.find("Permission denied") != std::string::npos) << r.error;
  return r.exitCode == 0;
}

// The access ACL as getfacl shows it, with the mode's bits it stands for.
std::string AclText(const std::string& path) {
  const ProcessResult r = RunProcess({"/usr/bin/getfacl", "-acpn", path});
  EXPECT_EQ(r.exitCode, 0) << r.error;
  return r.output;
}

// A folder whose default ACL lets user 1234 read what is made in it, and
// damaged workbooks of another user's there that 1234 may not read.
class DefaultAclFolder : public UnprivilegedRun {
 protected:
  void SetUp() override {
    UnprivilegedRun::SetUp();
    if (IsSkipped()) return;
    folder_ = dir_.file("shared");
    ASSERT_EQ(mkdir(folder_.c_str(), 0777), 0);
    const ProcessResult r = RunProcess({"/usr/bin/setfacl", "-d", "-m", "u:1234:r", folder_});
    if (r.error.find("not supported") != std::string::npos) {
      GTEST_SKIP() << "the test folder's file system has no ACLs: " << r.error;
    }
    ASSERT_EQ(r.exitCode, 0) << "setfacl (package acl, scripts/install-deps): " << r.error;
    // The folder's default does let 1234 read a file made in it.
    const std::string made = folder_ + "/made";
    close(open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640));
    ASSERT_TRUE(ReadableBy(1234, made)) << AclText(made);
  }

  // The originals: without an ACL, with an ACL of its own, and with the
  // set-id bits, which the backup keeps as root makes it.
  struct Original {
    const char* name;
    mode_t mode;
    std::vector<std::string> acl;  // setfacl's arguments that give it
  };
  const std::vector<Original> originals_{{"plain", 0640, {"-b"}},
                                         {"own", 0640, {"--set", "u::rw,g::r,o::-,u:4321:r"}},
                                         {"set-id", 06750, {"-b"}}};

  std::string Make(const Original& original, const std::string& suffix) {
    const std::string path = folder_ + "/" + original.name + suffix + ".xls";
    WriteFileBytes(path, file_);
    EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(chmod(path.c_str(), original.mode), 0);
    std::vector<std::string> setfacl{"/usr/bin/setfacl"};
    setfacl.insert(setfacl.end(), original.acl.begin(), original.acl.end());
    setfacl.push_back(path);
    EXPECT_EQ(RunProcess(setfacl).exitCode, 0);
    const Metadata m = MetadataOf(path);
    EXPECT_EQ(m.st.st_mode & 07777, original.mode);
    EXPECT_EQ(m.acl.empty(), original.acl[0] == "-b");
    EXPECT_FALSE(ReadableBy(1234, path));
    return path;
  }

  // Options that make the program find no unnamed files, and leave each
  // file it makes as it was made for `delayMs`.
  static ProcessOptions WithoutUnnamedFiles(int delayMs) {
    ProcessOptions options;
    options.environment = {std::string("LD_PRELOAD=") + NO_UNNAMED_FILES_LIB,
                           "BM_CREATE_DELAY_MS=" + std::to_string(delayMs)};
    // A sanitized build is told not to mind the library loaded before it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                                  "verify_asan_link_order=0");
    return options;
  }

  std::string folder_;
  const Bytes file_ = TaggedFile(MakeWorkbook({6}).stream);
};

// Each backup has exactly its original's access ACL, not one from the
// folder, and 1234 cannot open it at any moment: neither after the run nor,
// where the file system has no unnamed files and the backup is made under
// its name, just after it is made.
TEST_F(DefaultAclFolder, BackupHasTheOriginalsAccessAclAndIsNeverOpenToTheFoldersReader) {
  for (const bool unnamedFiles : {true, false}) {
    for (const Original& original : originals_) {
      const std::string path = Make(original, unnamedFiles ? "" : "-named");
      const std::string backup = path + ".bak";
      SCOPED_TRACE(path);
      const Metadata before = MetadataOf(path);
      const std::string acl = AclText(path);

      ProcessResult r;
      if (unnamedFiles) {
        r = Run({"-fix", path});
      } else {
        std::thread run([&] { r = Run({"-fix", path}, WithoutUnnamedFiles(1000)); });
        struct stat st;
        for (int i = 0; i < 2000 && lstat(backup.c_str(), &st) != 0; ++i) usleep(5000);
        EXPECT_EQ(lstat(backup.c_str(), &st), 0) << "no backup made under its name";
        EXPECT_FALSE(ReadableBy(1234, backup)) << "while it was being made";
        run.join();
      }
      ASSERT_EQ(r.exitCode, 1) << r.error;
      const Metadata kept = MetadataOf(backup);
      EXPECT_EQ(kept.acl, before.acl);
      EXPECT_EQ(AclText(backup), acl);
      EXPECT_EQ(kept.st.st_mode & 07777, original.mode);
      EXPECT_EQ(kept.st.st_uid, 65534u);
      EXPECT_EQ(ReadFileBytes(backup), file_);
      EXPECT_FALSE(ReadableBy(1234, backup));
      EXPECT_EQ(AclText(path), acl);
    }
  }
}

// Root without CAP_FOWNER may give the backup its owner, and then no longer
// set or remove its ACL: the backup fails, and nothing of it is left.
TEST_F(DefaultAclFolder, BackupWhoseAccessAclCannotBeSetFailsAndLeavesNothing) {
  for (const bool unnamedFiles : {true, false}) {
    for (const Original& original : originals_) {
      const std::string path = Make(original, unnamedFiles ? "" : "-named");
      SCOPED_TRACE(path);
      ProcessOptions options = unnamedFiles ? ProcessOptions{} : WithoutUnnamedFiles(0);
      options.environment.push_back("TMPDIR=" + tmp_);
      const ProcessResult r =
          RunProcess({"/usr/bin/setpriv", "--bounding-set=-fowner", "--", Program(), "-fix", path}, options);
      EXPECT_EQ(r.exitCode, 57) << r.error;
      EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Backup failed with error code 5"});
      EXPECT_FALSE(Exists(path + ".bak"));
      EXPECT_EQ(ReadFileBytes(path), file_);
    }
  }
}

TEST_F(UnprivilegedRun, UnreadableFileIsAccessDenied) {
  const std::string path = Write("book.xls", TaggedFile(MakeWorkbook({6}).stream));
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  const ProcessResult r = RunAsNobody({"-check", path});
  EXPECT_EQ(r.exitCode, 52);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Access denied opening workbook stream [" + path + "]"});
  EXPECT_EQ(Lines(r.output).back(), "Final result: Insufficient permissions to check the specified file");
}

TEST_F(UnprivilegedRun, ReadOnlyOriginalFailsTheCopyBackAndKeepsTheBackup) {
  const Bytes file = TaggedFile(MakeWorkbook({6}).stream);
  const std::string path = Write("book.xls", file);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const ProcessResult r = RunAsNobody({"-fix", path});
  EXPECT_EQ(r.exitCode, 56);
  EXPECT_EQ(Lines(r.error),
            std::vector<std::string>{"Failed to copy temp file back over original - Win32 error code: 5"});
  EXPECT_EQ(Lines(r.output).back(),
            "Final result: Specified file needs fixing, but Bookmender failed to copy the fixed file back over the "
            "original");
  EXPECT_EQ(ReadFileBytes(path), file);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), file);
}

TEST_F(UnprivilegedRun, FolderThatDeniesWritingFailsTheBackupAtOnce) {
  const Bytes file = TaggedFile(MakeWorkbook({6}).stream);
  const std::string folder = dir_.file("locked");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string path = folder + "/book.xls";
  WriteFileBytes(path, file);
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  const ProcessResult r = RunAsNobody({"-fix", path});
  EXPECT_EQ(r.exitCode, 57);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Backup failed with error code 5"});
  const std::vector<std::string> lines = Lines(r.output);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Replacing original file with fixed version"), 0);
  EXPECT_EQ(ReadFileBytes(path), file);
}

TEST_F(UnprivilegedRun, UnwritableTemporaryFolderIsMalformedNotTempCopyFailure) {
  const Bytes file = TaggedFile(MakeWorkbook({6}).stream);
  const std::string path = Write("book.xls", file);
  ASSERT_EQ(chmod(tmp_.c_str(), 0755), 0);
  const ProcessResult r = RunAsNobody({"-fix", path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(Lines(r.error),
            std::vector<std::string>{"Temporary file creation failed [HRESULT(80070005) - Access is denied.]"});
  EXPECT_EQ(ReadFileBytes(path), file);
}

TEST_F(BookmenderRun, FileSizeLimitFailsTheTemporaryCopy) {
  const Bytes file = TaggedFile(MakeWorkbook({6}, 200).stream);
  const std::string path = Write("book.xls", file);
  ProcessOptions limited;
  limited.fileSizeLimit = 1024;
  const ProcessResult r = Run({"-fix", path}, limited);
  EXPECT_EQ(r.exitCode, 55);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Failed to create temp copy - Win32 error code: 223"});
  const std::vector<std::string> lines = Lines(r.output);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Checking Office drawing container integrity"), 0);
  EXPECT_EQ(lines.back(), "Final result: Specified file needs fixing, but Bookmender failed to make a temporary copy of it");
  EXPECT_EQ(ReadFileBytes(path), file);
  EXPECT_FALSE(Exists(path + ".bak"));
}

// A sheet of millions of empty records needs more memory for its index than
// the process may have: its records are held until its end, when it is known
// whether it has drawings. A malformed answer naming the size, no abort. The
// same records in the workbook globals, which no check reads, are counted and
// let go as they are read: that run fits the limit.
TEST_F(BookmenderRun, IndexBeyondTheMemoryLimitIsMalformed) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#endif
  ProcessOptions limited;
  limited.addressSpaceLimit = 48ll << 20;
  // The same limit leaves room for an ordinary run.
  const std::string small = Write("small.xls", TaggedFile(MakeWorkbook({6}).stream));
  EXPECT_EQ(Run({"-check", small}, limited).exitCode, 1);

  // The index of one sheet alone (4.25 bytes a record, 64 MiB) is beyond
  // the limit.
  const std::size_t records = 15u << 20;
  for (const bool inSheet : {true, false}) {
    BiffBuilder b;
    b.bof();
    if (inSheet) {
      b.eof();
      b.bof();
    }
    Bytes stream = b.bytes();
    stream.reserve(stream.size() + 4 * records + 8);
    for (std::size_t i = 0; i < records; ++i) stream.insert(stream.end(), {0x01, 0x02, 0x00, 0x00});
    BiffBuilder end;
    end.eof();
    if (!inSheet) end.eof();  // a stray EOF after the globals: still one record more
    stream.insert(stream.end(), end.bytes().begin(), end.bytes().end());
    const std::string huge = Write(inSheet ? "sheet.xls" : "globals.xls", TaggedFile(stream));
    const ProcessResult r = Run({"-check", huge}, limited);
    EXPECT_EQ(r.signal, 0);
    if (inSheet) {
      EXPECT_EQ(r.exitCode, 2);
      EXPECT_EQ(Lines(r.error),
                std::vector<std::string>{"I/O exception [Not enough memory to index a Workbook stream of " +
                                         std::to_string(stream.size()) + " bytes]"});
      EXPECT_EQ(Lines(r.output).back(), "Final result: The file is malformed in a way that Bookmender cannot fix");
    } else {
      EXPECT_EQ(r.exitCode, 0) << r.error;
      const std::vector<std::string> lines = Lines(r.output);
      EXPECT_EQ(std::count(lines.begin(), lines.end(), "Read " + std::to_string(records + 3) + " BIFF records."), 1);
      EXPECT_EQ(lines.back(), "Final result: No problems were detected with the file");
    }
  }
}

// A workbook whose list of FAT sectors cannot be trusted is malformed, found
// before anything is allocated for it: a header that claims a FAT sector for
// every sector of a file extended with a hole to 256 GB or 2 TB (tables of
// gigabytes once), or a list that names one sector twice. A sound workbook
// with such a hole runs within the same limit.
TEST_F(BookmenderRun, FatSectorListThatCannotBeTrustedIsMalformedAtOnce) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#endif
  namespace cfb = platform::cfb;
  ProcessOptions limited;
  limited.addressSpaceLimit = 256ll << 20;
  const Bytes damaged = TaggedFile(MakeWorkbook({6}).stream);  // 1 were its list sound
  const Bytes sound = TaggedFile(MakeWorkbook({0}).stream);
  struct Case {
    const char* what;
    const Bytes& file;
    std::uint64_t size;  // extended with a hole to this size; 0: as built
    bool claimEverySector;
    bool nameTwice;
    int exitCode;
  };
  const Case cases[] = {
      {"every sector of 256 GB claimed", damaged, std::uint64_t{256} << 30, true, false, 2},
      {"every sector of 2 TB claimed", damaged, std::uint64_t{2} << 40, true, false, 2},
      {"a FAT sector named twice", damaged, 0, false, true, 2},
      {"sound, 2 TB", sound, std::uint64_t{2} << 40, false, false, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    Bytes file = c.file;
    const std::uint64_t size = c.size == 0 ? file.size() : c.size;
    if (c.claimEverySector)
      PutU32(file, cfb::kHdrFatSectorCount,
             static_cast<std::uint32_t>(std::min<std::uint64_t>((size - 1) / 512, cfb::kMaxRegSect + 1ull)));
    if (c.nameTwice) {
      PutU32(file, cfb::kHdrFatSectorCount, 2);
      PutU32(file, cfb::kHdrDifat + 4, GetU32(file, cfb::kHdrDifat));
    }
    const std::string path = Write("list" + std::to_string(n++) + ".xls", file);
    if (size > file.size() && truncate(path.c_str(), static_cast<off_t>(size)) != 0)
      GTEST_SKIP() << "the file system refuses a file of " << size << " bytes: " << std::strerror(errno);
    const ProcessResult r = Run({"-check", path}, limited);
    EXPECT_EQ(r.signal, 0) << c.what;
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.error;
    if (c.exitCode == 2) {
      EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Error opening workbook stream [HRESULT(80030109)]"}) << c.what;
      EXPECT_EQ(Lines(r.output),
                Concat(Banner(path), {"Final result: The file is malformed in a way that Bookmender cannot fix"}))
          << c.what;
    }
  }
}

// Another user swaps the workbook for a FIFO the moment its backup appears:
// the run still ends, writes nothing into the FIFO's place, and whatever
// holds the old name's content is the input or the whole repair.
TEST_F(BookmenderRun, AFifoSwappedInDuringTheFixDoesNotHangIt) {
  const Bytes input = TaggedFile(MakeWorkbook({6}, 300000).stream);
  int swapped = 0;
  for (int round = 0; round < 4; ++round) {
    const std::string path = Write("book.xls", input);
    const std::string moved = path + ".moved";
    const pid_t swapper = fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
      struct stat st;
      for (long i = 0; i < 20000000 && stat((path + ".bak").c_str(), &st) != 0; ++i) {
      }
      const bool ok = rename(path.c_str(), moved.c_str()) == 0 && mkfifo(path.c_str(), 0666) == 0;
      _exit(ok ? 0 : 1);
    }
    const pid_t run = fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      const std::string tmp = "TMPDIR=" + tmp_;
      putenv(const_cast<char*>(tmp.c_str()));
      execl(Program().c_str(), Program().c_str(), "-fix", path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 3000 && !ended; ++i) {  // 30 s at most
      ended = waitpid(run, &status, WNOHANG) == run;
      if (!ended) usleep(10000);
    }
    if (!ended) {
      kill(run, SIGKILL);
      waitpid(run, &status, 0);
    }
    int swapStatus = 0;
    waitpid(swapper, &swapStatus, 0);
    ASSERT_TRUE(ended) << "the fix hung on a FIFO";
    ASSERT_TRUE(WIFEXITED(status));
    const int code = WEXITSTATUS(status);
    ASSERT_TRUE(code == 1 || code == 56) << code;
    ASSERT_EQ(WEXITSTATUS(swapStatus), 0);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(ReadFileBytes(path + ".bak"), input);
    if (code == 56) {
      ++swapped;
      EXPECT_EQ(ReadFileBytes(moved), input);
    } else {
      EXPECT_NE(ReadFileBytes(moved), input);
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(unlink(moved.c_str()), 0);
    ASSERT_EQ(unlink((path + ".bak").c_str()), 0);
  }
  std::cout << "[ fifo     ] the swap came before the copy back in " << swapped << " of 4 runs\n";
}

// A small file system of its own, mounted for one test (needs root).
class TinyFileSystem {
 public:
  TinyFileSystem(const std::string& folder, std::size_t bytes) : folder_(folder) {
    mkdir(folder.c_str(), 0777);
    mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
    if (mounted_) chmod(folder.c_str(), 01777);
  }
  ~TinyFileSystem() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

TEST_F(BookmenderRun, DiskFullAtTheTemporaryCopyAndAtTheBackup) {
  const Bytes file = TaggedFile(MakeWorkbook({6}, 2000).stream);
  ASSERT_GT(file.size(), 20000u);
  {
    // The temporary folder cannot hold the copy.
    TinyFileSystem tiny(tmp_, 4096);
    if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
    const std::string path = Write("book.xls", file);
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 55);
    EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Failed to create temp copy - Win32 error code: 112"});
    EXPECT_EQ(ReadFileBytes(path), file);
    EXPECT_TRUE(TempFolderEmpty());
  }
  {
    // The workbook's folder holds the original but not a backup.
    const std::string folder = dir_.file("small");
    TinyFileSystem tiny(folder, file.size() + 4096);
    ASSERT_TRUE(tiny.mounted());
    const std::string path = folder + "/book.xls";
    WriteFileBytes(path, file);
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 57);
    EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Backup failed with error code 112"});
    EXPECT_EQ(ReadFileBytes(path), file);
    EXPECT_FALSE(Exists(path + ".bak"));
  }
}

// The first `size` bytes of a file.
Bytes FileStart(const std::string& path, std::size_t size) {
  Bytes bytes(size);
  const int fd = open(path.c_str(), O_RDONLY);
  const ssize_t got = fd < 0 ? -1 : pread(fd, bytes.data(), size, 0);
  if (fd >= 0) close(fd);
  bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return bytes;
}

// A damaged workbook followed by a hole to 2 GB (the compound file has no use
// for bytes after its last sector) needs a temporary folder of only what it
// holds on disk: its temporary copy, its backup and its repair keep the hole.
TEST_F(BookmenderRun, SparseWorkbookOfTwoGigabytesFitsASmallTemporaryFolder) {
  const std::vector<std::int64_t> moved{0, 12};
  const ChartedWorkbook damaged = MakeWorkbook(moved);
  const Bytes damagedFile = TaggedFile(damaged.stream);
  const Bytes soundFile = TaggedFile(MakeWorkbook({0, 0}).stream);
  const off_t size = off_t{2} << 30;
  const std::string path = Write("book.xls", damagedFile);
  ASSERT_EQ(truncate(path.c_str(), size), 0);
  TinyFileSystem tiny(tmp_, 300 << 20);
  if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a 300 MB tmpfs as the temporary folder (needs root)";

  ProcessResult r = Run({"-check", path});
  EXPECT_EQ(r.exitCode, 1) << r.error;
  EXPECT_EQ(Lines(r.output), Concat(Concat(Banner(path), RepairLines(damaged, moved)),
                                    {"Final result: A problem was detected that Bookmender can fix"}));
  EXPECT_EQ(r.error, "");

  r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1) << r.error;
  EXPECT_EQ(Lines(r.output), Concat(Concat(Banner(path), RepairLines(damaged, moved)),
                                    {"Making backup copy of original file",
                                     "Backup copy successfully created: " + path + ".bak",
                                     "Replacing original file with fixed version", "Final result: A problem was fixed"}));
  EXPECT_EQ(r.error, "");
  EXPECT_TRUE(TempFolderEmpty()) << "a tmr file was left on the tmpfs";
  EXPECT_EQ(Run({"-check", path}).exitCode, 0);

  for (const auto& [name, start] : {std::make_pair(path, soundFile), std::make_pair(path + ".bak", damagedFile)}) {
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_size, size) << name;
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << name << " lost its hole";
    EXPECT_EQ(FileStart(name, start.size()), start) << name;
  }
}

TEST_F(BookmenderRun, AnyFileNameIsPrintedWholeWithItsControlsReplaced) {
  const Bytes file = TaggedFile(MakeWorkbook({6}).stream);
  const std::string fffd = "\xEF\xBF\xBD";
  // Name as given, name as printed: undecodable bytes and control characters
  // (C0, DEL, C1) become U+FFFD, the file itself is still the one fixed.
  const std::vector<std::pair<std::string, std::string>> names = {
      {"a b,c \"q\".xls", "a b,c \"q\".xls"},
      {"caf\xC3\xA9 \xE6\x97\xA5 \xC2\xA0.xls", "caf\xC3\xA9 \xE6\x97\xA5 \xC2\xA0.xls"},
      {"bad\xFF\xFEname.xls", "bad" + fffd + fffd + "name.xls"},
      {"new\nline\r\n.xls", "new" + fffd + "line" + fffd + fffd + ".xls"},
      {"\x1B[2J\x1B]0;owned\x07\xC2\x9B" "31m\x7F.xls",
       fffd + "[2J" + fffd + "]0;owned" + fffd + fffd + "31m" + fffd + ".xls"},
  };
  for (const auto& [name, shown] : names) {
    const std::string path = Write(name, file);
    const std::string shownPath = dir_.file(shown);
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 1) << name;
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3), Banner(shownPath));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Backup copy successfully created: " + shownPath + ".bak"),
              lines.end());
    EXPECT_EQ(lines.back(), "Final result: A problem was fixed") << name;
    EXPECT_TRUE(Exists(path + ".bak")) << name;
    for (const char c : r.output + r.error) {
      EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << "control character " << int(c);
    }
    EXPECT_EQ(r.output.find("\xC2\x9B"), std::string::npos) << "a raw C1 control";
  }

  // Error lines name the file the same way.
  const std::string missing = "gone\x1B[1m.xls";
  const ProcessResult r = Run({"-check", dir_.file(missing)});
  EXPECT_EQ(r.exitCode, 51);
  EXPECT_EQ(r.error, "File not found opening workbook stream [" + dir_.file("gone" + fffd + "[1m.xls") + "]\n");
}

// Real workbooks, tagged as the optimiser tags them, and damaged as it damages
// them.
class CorpusRun : public BookmenderRun {
 protected:
  void SetUp() override {
    BookmenderRun::SetUp();
    corpus_ = CorpusDir();
    if (corpus_.empty()) GTEST_SKIP() << "no real workbooks beside the repository (../shared/corpus)";
  }
  Bytes Tagged(const std::string& name) { return AddUserProperty(ReadFileBytes(corpus_ + "/" + name), u"TMTAG"); }
  std::string corpus_;
};

TEST_F(CorpusRun, TaggedRealWorkbooksGiveTheirDocumentedResults) {
  const std::pair<const char*, int> expected[] = {
      {"44861.xls", 0}, {"WithThreeCharts.xls", 0}, {"WithChart.xls", 0},
      {"46137.xls", 0}, {"31749.xls", 0},           {"ConditionalFormattingSamples.xls", 0},
      {"drawings.xls", 0}, {"13224.xls", 0},         {"47251.xls", 3},
      {"61300.xls", 2}, {"password.xls", 4},        {"testEXCEL_95.xls", 54},
  };
  for (const auto& [name, code] : expected) {
    const Bytes file = Tagged(name);
    const std::string path = Write(name, file);
    for (const char* mode : {"-check", "-fix"}) {
      const ProcessResult r = Run({mode, path});
      EXPECT_EQ(r.exitCode, code) << name << " " << mode << "\n" << r.output << r.error;
    }
    EXPECT_EQ(ReadFileBytes(path), file) << name;
    EXPECT_FALSE(Exists(path + ".bak")) << name;
  }
  // Untagged, every one of them is passed over.
  const ProcessResult r = Run({"-check", corpus_ + "/47251.xls"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.output).at(3), "File has not been optimized by Trimora");
}

TEST_F(CorpusRun, DamagedRealWorkbooksAreRepairedByteForByte) {
  int repaired = 0;
  for (const char* name : {"44861.xls", "WithThreeCharts.xls"}) {
    for (std::uint32_t k : {1u, 3u}) {
      const Bytes sound = Tagged(name);
      const std::string path = Write(name, sound);
      ASSERT_GT(DamageSuspiciousSheets(path, k), 0) << name;
      const Bytes damaged = ReadFileBytes(path);
      ASSERT_NE(damaged, sound);

      ProcessResult r = Run({"-check", path});
      EXPECT_EQ(r.exitCode, 1) << name << r.error;
      EXPECT_EQ(ReadFileBytes(path), damaged);

      r = Run({"-fix", path});
      EXPECT_EQ(r.exitCode, 1) << name << r.error;
      EXPECT_EQ(Lines(r.output).back(), "Final result: A problem was fixed");
      EXPECT_EQ(ReadFileBytes(path), sound) << name;
      EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged) << name;
      ++repaired;
      unlink((path + ".bak").c_str());
    }
  }
  EXPECT_EQ(repaired, 4);
}
