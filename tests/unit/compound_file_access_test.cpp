// The compound-file layer's opening and sharing rules and its writes in
// place: system errors classified, permissions, other holders of the file,
// and writes that reach the file.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>

#include "cfb_test_util.h"
#include "compound_file_fixture.h"

namespace {

using cfbtest::Bytes;
using cfbtest::CompoundFileTest;
using cfbtest::kRead;
using cfbtest::kWrite;
using cfbtest::Open;
using cfbtest::Pattern;
using cfbtest::ReadRest;
using cfbtest::Sample;
using platform::Storage;
using platform::StorageMode;

// --- Opening: classification of system errors -----------------------------

TEST_F(CompoundFileTest, OpenClassifiesMissingAndInvalidPaths) {
  std::shared_ptr<Storage> storage;
  EXPECT_EQ(Open(folder_.file("missing.xls"), kRead, storage), STG_E_FILENOTFOUND);
  EXPECT_EQ(Open(folder_.file("missing/book.xls"), kRead, storage), STG_E_PATHNOTFOUND);
#ifdef _WIN32
  EXPECT_EQ(Open(folder_.file("a<b>.xls"), kRead, storage), STG_E_INVALIDNAME);
#else
  EXPECT_EQ(Open(folder_.file(std::string(300, 'n') + ".xls"), kRead, storage), STG_E_INVALIDNAME);
#endif
  // A folder is no file to open, in either mode.
  EXPECT_EQ(Open(folder_.path(), kRead, storage), STG_E_ACCESSDENIED);
  EXPECT_EQ(Open(folder_.path(), kWrite, storage), STG_E_ACCESSDENIED);
  // A file used as a folder.
  cfbtest::WriteFile(folder_.file("plain"), Bytes(10, 1));
  EXPECT_EQ(Open(folder_.file("plain/book.xls"), kRead, storage), STG_E_PATHNOTFOUND);
  EXPECT_EQ(Open(folder_.file("plain"), kRead, storage), STG_E_FILEALREADYEXISTS);
  EXPECT_FALSE(storage);
}

// Another user's rights are a POSIX condition here: Wine runs every program
// with the rights of the user who started it.
#ifndef _WIN32

// Runs `body` without root's privileges (in a child when we are root) and
// returns its result; `skip` is set when no unprivileged user is available.
HRESULT RunUnprivileged(const std::function<HRESULT()>& body, bool& skip) {
  skip = false;
  if (geteuid() != 0) return body();
  int fds[2];
  if (pipe(fds) != 0) {
    skip = true;
    return E_FAIL;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    HRESULT hr = E_FAIL;
    if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0)
      hr = body();
    else
      hr = 0x7FFFFFFF;  // could not drop privileges
    (void)!write(fds[1], &hr, sizeof hr);
    _exit(0);
  }
  close(fds[1]);
  HRESULT hr = E_FAIL;
  const bool got = child > 0 && read(fds[0], &hr, sizeof hr) == sizeof hr;
  close(fds[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  if (!got || hr == 0x7FFFFFFF) skip = true;
  return hr;
}

TEST_F(CompoundFileTest, OpenWithoutPermissionIsAccessDenied) {
  chmod(folder_.path().c_str(), 0755);
  const std::string readable = folder_.file("readable.xls"), secret = folder_.file("secret.xls");
  cfbtest::WriteFile(readable, Sample(3).bytes);
  cfbtest::WriteFile(secret, Sample(3).bytes);
  chmod(readable.c_str(), 0444);
  chmod(secret.c_str(), 0000);
  auto attempt = [](const std::string& path, StorageMode mode) {
    return [path, mode] {
      std::shared_ptr<Storage> s;
      return Open(path, mode, s);
    };
  };
  bool skip = false;
  const std::string folder = folder_.path();
  const HRESULT reachable =
      RunUnprivileged([folder] { return access(folder.c_str(), X_OK) == 0 ? S_OK : E_FAIL; }, skip);
  if (skip) GTEST_SKIP() << "cannot drop root privileges to test permissions";
  if (reachable != S_OK) GTEST_SKIP() << "the scratch folder is out of an unprivileged user's reach: " << folder;
  // The same user may read the read-only file: the denials below are about the files.
  EXPECT_EQ(RunUnprivileged(attempt(readable, kRead), skip), S_OK);
  EXPECT_EQ(RunUnprivileged(attempt(readable, kWrite), skip), STG_E_ACCESSDENIED);
  EXPECT_EQ(RunUnprivileged(attempt(secret, kRead), skip), STG_E_ACCESSDENIED);
}

#endif

// --- Sharing -------------------------------------------------------------

#ifndef _WIN32

// A child process that takes a lock on `path` and holds it until told to go.
class LockHolder {
 public:
  // kind: 0 = compound-file open read-only, 1 = read-write,
  // 2 = classic F_SETLK read lock, 3 = classic write lock.
  LockHolder(const std::string& path, int kind) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      char ok = 0;
      std::shared_ptr<Storage> storage;
      int fd = -1;
      if (kind < 2) {
        ok = Open(path, kind == 0 ? kRead : kWrite, storage) == S_OK;
      } else {
        fd = open(path.c_str(), kind == 2 ? O_RDONLY : O_RDWR);
        struct flock l {};
        l.l_type = kind == 2 ? F_RDLCK : F_WRLCK;
        l.l_whence = SEEK_SET;
        ok = fd >= 0 && fcntl(fd, F_SETLK, &l) == 0;
      }
      (void)!write(up[1], &ok, 1);
      char c;
      (void)!read(down[0], &c, 1);  // until the parent closes its end
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    release_ = down[1];
    char ok = 0;
    ready_ = pid_ > 0 && read(up[0], &ok, 1) == 1 && ok == 1;
    close(up[0]);
  }
  ~LockHolder() { stop(); }
  void stop() {
    if (release_ >= 0) close(release_);
    release_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool ready_ = false;
};

#else

// Another open of `path`, held until stop(): sharing belongs to each handle
// on Windows. The classic kinds stand for programs that open with every
// sharing allowed: one that only reads, one that writes.
class LockHolder {
 public:
  // kind: 0 = compound-file open read-only, 1 = read-write,
  // 2 = plain reader sharing everything, 3 = plain writer sharing everything.
  LockHolder(const std::string& path, int kind) {
    if (kind < 2) {
      ready_ = Open(path, kind == 0 ? kRead : kWrite, storage_) == S_OK;
      return;
    }
    handle_ = CreateFileW(platform::DecodeNative(path).c_str(), kind == 2 ? GENERIC_READ : GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ready_ = handle_ != INVALID_HANDLE_VALUE;
  }
  ~LockHolder() { stop(); }
  void stop() {
    storage_.reset();
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  bool ready() const { return ready_; }

 private:
  std::shared_ptr<Storage> storage_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool ready_ = false;
};

#endif

TEST_F(CompoundFileTest, AnotherProcessHoldingTheFile) {
  const std::string path = folder_.file("shared.xls");
  cfbtest::WriteFile(path, Sample(3).bytes);
  std::shared_ptr<Storage> s;
  {
    LockHolder writer(path, 1);
    ASSERT_TRUE(writer.ready());
    EXPECT_EQ(Open(path, kRead, s), STG_E_SHAREVIOLATION);
    EXPECT_EQ(Open(path, kWrite, s), STG_E_SHAREVIOLATION);
    writer.stop();
    EXPECT_EQ(Open(path, kWrite, s), S_OK);
    s.reset();
  }
  {
    LockHolder reader(path, 0);
    ASSERT_TRUE(reader.ready());
    EXPECT_EQ(Open(path, kRead, s), S_OK);
    s.reset();
    EXPECT_EQ(Open(path, kWrite, s), STG_E_SHAREVIOLATION);
  }
  // Classic record locks of other programs count too.
  {
    LockHolder classic(path, 3);
    ASSERT_TRUE(classic.ready());
    EXPECT_EQ(Open(path, kRead, s), STG_E_SHAREVIOLATION);
  }
  {
    LockHolder classic(path, 2);
    ASSERT_TRUE(classic.ready());
    EXPECT_EQ(Open(path, kRead, s), S_OK);
    s.reset();
    EXPECT_EQ(Open(path, kWrite, s), STG_E_SHAREVIOLATION);
  }
}

TEST_F(CompoundFileTest, OpensInOneProcessShareLikeProcesses) {
  const std::string path = folder_.file("shared.xls");
  cfbtest::WriteFile(path, Sample(3).bytes);
  std::shared_ptr<Storage> a, b, c;
  ASSERT_EQ(Open(path, kRead, a), S_OK);
  EXPECT_EQ(Open(path, kRead, b), S_OK);  // readers coexist
  EXPECT_EQ(Open(path, kWrite, c), STG_E_SHAREVIOLATION);
  a.reset();
  b.reset();
  ASSERT_EQ(Open(path, kWrite, a), S_OK);
  EXPECT_EQ(Open(path, kRead, b), STG_E_SHAREVIOLATION);
  EXPECT_EQ(Open(path, kWrite, c), STG_E_SHAREVIOLATION);
  EXPECT_FALSE(b);
  EXPECT_FALSE(c);
}

TEST_F(CompoundFileTest, LastHolderClosesTheFile) {
  const std::string path = folder_.file("held.xls");
  cfbtest::WriteFile(path, Sample(3).bytes);
  std::shared_ptr<Storage> storage, other;
  ASSERT_EQ(Open(path, kWrite, storage), S_OK);
  auto s = stream(*storage, L"Workbook");
  storage.reset();
  // The stream alone keeps file and lock and still reads.
  EXPECT_EQ(Open(path, kRead, other), STG_E_SHAREVIOLATION);
  Bytes got;
  EXPECT_EQ(ReadRest(*s, got), S_OK);
  EXPECT_EQ(got, Pattern(10000, 1));
  s.reset();
  EXPECT_EQ(Open(path, kRead, other), S_OK);
}

// --- Writing in place ------------------------------------------------------

TEST_F(CompoundFileTest, WritesReachTheFileInPlace) {
  for (int version : {3, 4}) {
    Sample sample(version, /*reverse=*/true);
    std::shared_ptr<Storage> storage;
    ASSERT_EQ(openBytes(sample.bytes, storage, kWrite), S_OK);
    Bytes expected = sample.bytes;
    // Across sector (and mini sector) boundaries of both kinds of stream.
    for (const auto& [node, name, at] : {std::make_tuple(sample.workbook, L"Workbook", 500u),
                                         std::make_tuple(sample.small, L"Small", 60u)}) {
      auto s = stream(*storage, name);
      const Bytes patch = Pattern(30, 99);
      ASSERT_EQ(s->seek(at, platform::kSeekSet, nullptr), S_OK);
      std::uint32_t done = 0;
      ASSERT_EQ(s->write(patch.data(), 30, done), S_OK);
      EXPECT_EQ(done, 30u);
      const auto offsets = sample.writer.dataOffsets(node);
      const std::uint32_t unit = sample.writer.inMiniStream(node) ? 64 : sample.writer.sectorSize();
      for (std::uint32_t i = 0; i < 30; ++i)
        expected[offsets[(at + i) / unit] + (at + i) % unit] = patch[i];
    }
    storage.reset();
    EXPECT_EQ(cfbtest::ReadFile(path_), expected) << "version " << version;
  }
}

TEST_F(CompoundFileTest, WriteNeverGrowsAStream) {
  Sample sample(3);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(sample.bytes, storage, kWrite), S_OK);
  auto s = stream(*storage, L"Workbook");
  const Bytes patch(10, 0xAB);
  std::uint32_t done = 0;
  ASSERT_EQ(s->seek(-3, platform::kSeekEnd, nullptr), S_OK);
  EXPECT_EQ(s->write(patch.data(), 10, done), S_OK);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(s->write(patch.data(), 10, done), S_OK);
  EXPECT_EQ(done, 0u);
  ASSERT_EQ(s->seek(100, platform::kSeekEnd, nullptr), S_OK);
  EXPECT_EQ(s->write(patch.data(), 10, done), S_OK);
  EXPECT_EQ(done, 0u);
  std::uint64_t size = 0;
  s->stat(size);
  EXPECT_EQ(size, 10000u);
  s.reset();
  storage.reset();
  const Bytes after = cfbtest::ReadFile(path_);
  EXPECT_EQ(after.size(), sample.bytes.size());
  ASSERT_EQ(openBytes(after, storage), S_OK);
  Bytes got;
  ReadRest(*stream(*storage, L"Workbook"), got);
  Bytes expect = Pattern(10000, 1);
  std::fill(expect.end() - 3, expect.end(), 0xAB);
  EXPECT_EQ(got, expect);
}

TEST_F(CompoundFileTest, WriteOnReadOnlyStorageIsDenied) {
  Sample sample(3);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(sample.bytes, storage, kRead), S_OK);
  auto s = stream(*storage, L"Workbook");
  std::uint32_t done = 5;
  const std::uint8_t b[2] = {1, 2};
  EXPECT_EQ(s->write(b, 2, done), STG_E_ACCESSDENIED);
  EXPECT_EQ(done, 0u);
  storage.reset();
  s.reset();
  EXPECT_EQ(cfbtest::ReadFile(path_), sample.bytes);
}

TEST_F(CompoundFileTest, ReadsSeeEarlierWrites) {
  Sample sample(3, true);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(sample.bytes, storage, kWrite), S_OK);
  auto writer = stream(*storage, L"Workbook");
  auto reader = stream(*storage, L"Workbook");  // a second object with its own cache
  Bytes data = Pattern(10000, 1);
  std::vector<std::uint8_t> buf(10000);
  std::uint32_t done = 0;
  ASSERT_EQ(writer->read(buf.data(), 2000, done), S_OK);
  ASSERT_EQ(reader->read(buf.data(), 2000, done), S_OK);

  const Bytes patch = Pattern(700, 42);  // spans two sectors
  ASSERT_EQ(writer->seek(400, platform::kSeekSet, nullptr), S_OK);
  ASSERT_EQ(writer->write(patch.data(), 700, done), S_OK);
  std::copy(patch.begin(), patch.end(), data.begin() + 400);

  for (auto* s : {writer.get(), reader.get()}) {
    ASSERT_EQ(s->seek(0, platform::kSeekSet, nullptr), S_OK);
    ASSERT_EQ(s->read(buf.data(), 10000, done), S_OK);
    ASSERT_EQ(done, 10000u);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), data);
  }
}

}  // namespace
