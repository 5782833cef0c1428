// The built Bookmender among other users: files it cannot open or share,
// another user's files and their owner, mode, times and ACLs, folders that
// deny writing, and a FIFO swapped in during a fix.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "bookmender_run.h"
#include "drawing_builder.h"
#include "process.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace bookmendertest;

namespace {

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

}  // namespace
