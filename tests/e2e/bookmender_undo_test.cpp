// Undoing a repair: the backup's bytes back in the same file with its
// metadata, and nothing written whenever the file or the backup is not what
// the repair left, the file is in use, or it is reached through a link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "bookmender_run.h"
#include "frontend/ResultRecord.h"

namespace bookmendertest {
namespace {

std::string ProofOption(const bookmender::RepairProof& p) {
  return "-proof:" + p.sha256 + ":" + std::to_string(p.size) + ":" + p.backupSha256;
}

std::string AclOf(const std::string& path) {
  char buffer[4096];
  const ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

class BookmenderUndo : public BookmenderRun {
 protected:
  // A damaged workbook at `name`, repaired by -fix with a result channel:
  // what the channel said it left.
  bookmender::RepairProof Repaired(const std::string& name) {
    path_ = Write(name, damaged_);
    backup_ = path_ + ".bak";
    ChildPipe pipe;
    const ProcessResult r = Run({"-fix", pipe.option(), path_});
    EXPECT_EQ(r.exitCode, 1) << r.error;
    bookmender::ResultRecords records;
    EXPECT_TRUE(bookmender::ParseResultRecords(pipe.read(), records));
    EXPECT_TRUE(records.proof.has_value());
    repaired_ = ReadFileBytes(path_);
    return records.proof.value_or(bookmender::RepairProof{});
  }
  ProcessResult Undo(const bookmender::RepairProof& proof, std::vector<std::string> extra = {},
                     ProcessOptions options = {}) {
    std::vector<std::string> arguments{"-undo"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.insert(arguments.end(), {"-backup:" + backup_, ProofOption(proof), path_});
    return Run(arguments, options);
  }

  const Bytes damaged_ = TaggedFile(MakeWorkbook({0, 12}).stream);
  std::string path_, backup_;
  Bytes repaired_;
};

TEST_F(BookmenderUndo, TheProofLineHoldsWhatTheRepairLeft) {
  const bookmender::RepairProof proof = Repaired("book.xls");
  EXPECT_NE(repaired_, damaged_);
  EXPECT_EQ(proof, ProofOf(path_, backup_));
  EXPECT_EQ(proof.backupSha256, Sha256Hex(damaged_));
}

TEST_F(BookmenderUndo, RestoresTheSameFileByteForByteWithItsMetadataAndOnlyOnce) {
  path_ = Write("book.xls", damaged_);
  ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  ASSERT_EQ(RunProcess({"/usr/bin/setfacl", "-m", "u:1234:r", path_}).exitCode, 0) << "setfacl (package acl)";
  const struct timespec old[2] = {{978307200, 5}, {946684800, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), old, 0), 0);
  struct stat before {};
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  const std::string acl = AclOf(path_);
  ASSERT_FALSE(acl.empty());
  // The same file as made above, repaired.
  const Bytes kept = ReadFileBytes(path_);
  const bookmender::RepairProof proof = [&] {
    ChildPipe pipe;
    backup_ = path_ + ".bak";
    EXPECT_EQ(Run({"-fix", pipe.option(), path_}).exitCode, 1);
    bookmender::ResultRecords records;
    EXPECT_TRUE(bookmender::ParseResultRecords(pipe.read(), records));
    return records.proof.value_or(bookmender::RepairProof{});
  }();
  ASSERT_NE(ReadFileBytes(path_), kept);
  struct stat backup {};
  ASSERT_EQ(stat(backup_.c_str(), &backup), 0);

  ChildPipe pipe;
  const ProcessResult r = Undo(proof, {pipe.option()});
  EXPECT_EQ(r.exitCode, 5) << r.error;
  EXPECT_EQ(Lines(r.output).back(), "Final result: The file was restored from its backup");
  EXPECT_EQ(pipe.read(), "BMR1 5 " + Hex(backup_) + "\n");
  EXPECT_EQ(ReadFileBytes(path_), damaged_);
  struct stat after {};
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_uid, 65534u);
  EXPECT_EQ(after.st_gid, 65534u);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_mtim.tv_sec, 946684800);
  EXPECT_EQ(after.st_mtim.tv_nsec, 123456789);
  // The access time is the backup's, which the undo's own reading of the
  // backup may have moved on (relatime) before it was taken over.
  EXPECT_GE(after.st_atim.tv_sec, backup.st_atim.tv_sec);
  EXPECT_LE(after.st_atim.tv_sec, backup.st_atim.tv_sec + 5);
  EXPECT_EQ(AclOf(path_), acl);
  EXPECT_EQ(ReadFileBytes(backup_), damaged_);

  // A second undo finds the backup's content there and writes nothing: not
  // even the change time moves.
  const ProcessResult again = Undo(proof);
  EXPECT_EQ(again.exitCode, 5) << again.error;
  EXPECT_NE(again.output.find("The file already holds the backup's content"), std::string::npos);
  struct stat last {};
  ASSERT_EQ(stat(path_.c_str(), &last), 0);
  EXPECT_EQ(last.st_ctim.tv_sec, after.st_ctim.tv_sec);
  EXPECT_EQ(last.st_ctim.tv_nsec, after.st_ctim.tv_nsec);
  EXPECT_EQ(ReadFileBytes(path_), damaged_);
}

// Every reason not to write: the file keeps what it held, byte for byte.
TEST_F(BookmenderUndo, NothingIsWrittenWhenTheFileOrBackupIsNotWhatTheRepairLeft) {
  struct Case {
    const char* what;
    std::function<void(const std::string& file, const std::string& backup)> change;
    int code;
    char lock;  // a lock another process holds during the undo, or 0
  };
  const auto flipLastByte = [](const std::string& path) {
    Bytes bytes = ReadFileBytes(path);
    bytes.back() ^= 0x5A;
    WriteFileBytes(path, bytes);
  };
  const Case cases[] = {
      {"file changed", [&](const std::string& file, const std::string&) { flipLastByte(file); }, 58, 0},
      {"backup removed", [](const std::string&, const std::string& backup) { ASSERT_EQ(unlink(backup.c_str()), 0); },
       59, 0},
      {"backup changed", [&](const std::string&, const std::string& backup) { flipLastByte(backup); }, 60, 0},
      // A link to a copy of the right content is still no backup.
      {"backup a link",
       [](const std::string&, const std::string& backup) {
         ASSERT_EQ(rename(backup.c_str(), (backup + ".moved").c_str()), 0);
         ASSERT_EQ(symlink((backup + ".moved").c_str(), backup.c_str()), 0);
       },
       60, 0},
      {"writer's lock", [](const std::string&, const std::string&) {}, 53, 'w'},
      {"flock", [](const std::string&, const std::string&) {}, 53, 'f'},
      {"open for writing, no lock", [](const std::string&, const std::string&) {}, 53, 'o'},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bookmender::RepairProof proof = Repaired("book" + std::to_string(n++) + ".xls");
    c.change(path_, backup_);
    const Bytes before = ReadFileBytes(path_);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    ProcessResult r;
    if (c.lock != 0) {
      LockHolder other(path_, c.lock);
      ASSERT_TRUE(other.held());
      r = Undo(proof);
    } else {
      r = Undo(proof);
    }
    EXPECT_EQ(r.exitCode, c.code) << r.error;
    EXPECT_EQ(ReadFileBytes(path_), before);
    struct stat now {};
    ASSERT_EQ(stat(path_.c_str(), &now), 0);
    EXPECT_EQ(now.st_mtim.tv_nsec, st.st_mtim.tv_nsec);
    EXPECT_EQ(now.st_ctim.tv_nsec, st.st_ctim.tv_nsec);
  }
}

// Below a root the file's own name may not be a link: the file it leads to
// is not touched, and the link stays.
TEST_F(BookmenderUndo, AFileSwappedForALinkBelowTheRootIsNotFound) {
  const bookmender::RepairProof proof = Repaired("book.xls");
  const std::string elsewhere = Write("elsewhere.xls", repaired_);
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), path_.c_str()), 0);
  const ProcessResult r = Undo(proof, {"-beneath:" + dir_.path()});
  EXPECT_EQ(r.exitCode, 51) << r.error;
  EXPECT_EQ(ReadFileBytes(elsewhere), repaired_);
  struct stat st {};
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(BookmenderUndo, BadArgumentsWriteNothing) {
  const bookmender::RepairProof proof = Repaired("book.xls");
  const std::string proofOption = ProofOption(proof);
  const std::string wrongSize = "-proof:" + proof.sha256 + ":0" + std::to_string(proof.size) + ":" + proof.backupSha256;
  const std::vector<std::vector<std::string>> cases = {
      {"-undo", proofOption, path_},                                       // no backup
      {"-undo", "-backup:" + backup_, path_},                              // no proof
      {"-undo", "-backup:" + path_ + ".old", proofOption, path_},          // not a name -fix makes
      {"-undo", "-backup:" + path_ + ".bak000", proofOption, path_},
      {"-undo", "-backup:" + dir_.file("other/book.xls.bak"), proofOption, path_},
      {"-undo", "-backup:" + backup_, wrongSize, path_},                   // a leading zero
      {"-undo", "-backup:" + backup_, "-proof:" + proof.sha256 + ":1", path_},
      {"-fix", "-backup:" + backup_, proofOption, path_},                  // not an option of -fix
  };
  for (const std::vector<std::string>& arguments : cases) {
    SCOPED_TRACE(arguments[1] + " " + arguments[arguments.size() - 2]);
    EXPECT_EQ(Run(arguments).exitCode, 50);
    EXPECT_EQ(ReadFileBytes(path_), repaired_);
  }
}

// A write that fails part way (here the file size limit, which a backup
// longer than the file meets) puts the file back as the repair left it.
TEST_F(BookmenderUndo, AFailedWriteLeavesTheFileAsTheRepairLeftIt) {
  const Bytes left = TaggedFile(MakeWorkbook({0, 0}).stream);
  Bytes longer = damaged_;
  longer.resize(left.size() + 65536, 0x77);
  path_ = Write("book.xls", left);
  backup_ = Write("book.xls.bak", longer);
  const struct timespec old[2] = {{978307200, 0}, {946684800, 42}};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), old, 0), 0);
  bookmender::RepairProof proof{Sha256Hex(left), left.size(), 0, Sha256Hex(longer)};
  ProcessOptions limited;
  limited.fileSizeLimit = static_cast<long long>(left.size()) + 4096;
  const ProcessResult r = Undo(proof, {}, limited);
  EXPECT_EQ(r.exitCode, 61) << r.error;
  EXPECT_EQ(Lines(r.output).back(), "Final result: Bookmender failed to write the backup back into the file");
  EXPECT_EQ(ReadFileBytes(path_), left);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_nsec, 42);
  // Without the limit the same undo goes through.
  EXPECT_EQ(Undo(proof).exitCode, 5);
  EXPECT_EQ(ReadFileBytes(path_), longer);
}

}  // namespace
}  // namespace bookmendertest
