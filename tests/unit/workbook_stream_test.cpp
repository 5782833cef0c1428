// Opening workbooks: failure classification, sharing, and stream positioning.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "process.h"
#include "workbook_test_util.h"

using namespace bookmender;
using testsupport::BiffBuilder;
using testsupport::Bytes;
using testsupport::LockHolder;
using testsupport::TempDir;

namespace {

Bytes SmallStream() {
  BiffBuilder b;
  b.bof();
  b.record(0x0200, Bytes(20, 7));
  b.eof();
  return b.bytes();
}

std::wstring W(const std::string& s) { return platform::DecodeNative(s); }

template <typename E>
void ExpectOpenFails(const std::string& path, bool readOnly = true) {
  WorkbookStream ws;
  ExpectThrowMessage<E>([&] { ws.open(W(path), readOnly); }, E().description() + L" [" + W(path) + L"]");
  EXPECT_FALSE(ws.isOpen());
}

}  // namespace

TEST(WorkbookStreamOpen, MissingFileFolderAndInvalidNameAreFileNotFound) {
  TempDir dir;
  ExpectOpenFails<WorkbookStreamOpenFileNotFoundException>(dir.file("none.xls"));
  ExpectOpenFails<WorkbookStreamOpenFileNotFoundException>(dir.file("no-folder/none.xls"));
  ExpectOpenFails<WorkbookStreamOpenFileNotFoundException>(dir.file(std::string(300, 'n') + ".xls"));
  ExpectOpenFails<WorkbookStreamOpenFileNotFoundException>("");
}

TEST(WorkbookStreamOpen, FilesThatAreNotCompoundFilesAreNotBiff8) {
  TempDir dir;
  testsupport::WriteFileBytes(dir.file("text.xls"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
  ExpectOpenFails<WorkbookStreamOpenNotBIFF8Exception>(dir.file("text.xls"));
  testsupport::WriteFileBytes(dir.file("zip.xls"), Bytes{'P', 'K', 3, 4, 20, 0, 0, 0, 8, 0});
  ExpectOpenFails<WorkbookStreamOpenNotBIFF8Exception>(dir.file("zip.xls"));
  testsupport::WriteFileBytes(dir.file("empty.xls"), Bytes{});
  ExpectOpenFails<WorkbookStreamOpenNotBIFF8Exception>(dir.file("empty.xls"));
}

TEST(WorkbookStreamOpen, CompoundFileWithoutWorkbookStreamIsNotBiff8) {
  TempDir dir;
  testsupport::WorkbookFileOptions options;
  options.streamName = u"Book";
  const std::string path = WriteWorkbook(dir, SmallStream(), options);
  ExpectOpenFails<WorkbookStreamOpenNotBIFF8Exception>(path);
}

// An open compound file (here one in memory) is opened as a file is, and
// its failures name what the caller called it.
TEST(WorkbookStreamOpen, AnOpenCompoundFileServesAsTheFileDoes) {
  auto bytes = std::make_shared<Bytes>(testsupport::BuildWorkbookFile(SmallStream()));
  std::shared_ptr<platform::Storage> storage;
  ASSERT_EQ(platform::Storage::openMemory(bytes, platform::StorageMode::kReadDenyWrite, storage), S_OK);
  WorkbookStream ws;
  ws.openOnStorage(storage, L"in memory");
  ASSERT_TRUE(ws.isOpen());
  EXPECT_EQ(ws.storage(), storage);
  Bytes got(SmallStream().size() + 10);
  EXPECT_EQ(ws.read(got.data(), static_cast<std::uint32_t>(got.size())), SmallStream().size());
  got.resize(SmallStream().size());
  EXPECT_EQ(got, SmallStream());

  testsupport::WorkbookFileOptions options;
  options.streamName = u"Book";
  bytes = std::make_shared<Bytes>(testsupport::BuildWorkbookFile(SmallStream(), options));
  ASSERT_EQ(platform::Storage::openMemory(bytes, platform::StorageMode::kReadDenyWrite, storage), S_OK);
  ExpectThrowMessage<WorkbookStreamOpenNotBIFF8Exception>(
      [&] { ws.openOnStorage(storage, L"in memory"); },
      WorkbookStreamOpenNotBIFF8Exception().description() + L" [in memory]");
  EXPECT_FALSE(ws.isOpen());
  EXPECT_THROW(ws.openOnStorage(nullptr, L"nothing"), WorkbookStreamOpenException);
}

TEST(WorkbookStreamOpen, StreamNameIsMatchedWithoutCase) {
  TempDir dir;
  testsupport::WorkbookFileOptions options;
  options.streamName = u"WORKBOOK";
  WorkbookStream ws;
  ws.open(W(WriteWorkbook(dir, SmallStream(), options)), true);
  EXPECT_EQ(ws.size(), SmallStream().size());
}

TEST(WorkbookStreamOpen, AFolderIsAccessDenied) {
  TempDir dir;
  ExpectOpenFails<WorkbookStreamOpenAccessDeniedException>(dir.path());
}

// Another user's rights are a POSIX condition here: Wine runs every program
// with the rights of the user who started it.
#ifndef _WIN32

TEST(WorkbookStreamOpen, UnreadableFileIsAccessDeniedForAnUnprivilegedUser) {
  TempDir dir;
  const std::string path = WriteWorkbook(dir, SmallStream());
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to drop to another user";
  }
  // The check runs as "nobody" in a child process: root reads any file.
  const pid_t pid = fork();
  if (pid == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
    try {
      WorkbookStream ws;
      ws.open(W(path), true);
      _exit(1);
    } catch (const WorkbookStreamOpenAccessDeniedException&) {
      _exit(0);
    } catch (...) {
      _exit(2);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened, 2: other exception, 3: could not drop privileges";
}

#endif

TEST(WorkbookStreamOpen, SharingFollowsTheModes) {
  TempDir dir;
  const std::string path = WriteWorkbook(dir, SmallStream());
  {
    LockHolder writer(path, 'w');
    ASSERT_TRUE(writer.held());
    ExpectOpenFails<WorkbookStreamOpenSharingViolationException>(path, true);
    ExpectOpenFails<WorkbookStreamOpenSharingViolationException>(path, false);
  }
  {
    LockHolder reader(path, 'r');
    ASSERT_TRUE(reader.held());
    WorkbookStream second;
    EXPECT_NO_THROW(second.open(W(path), true));  // two readers coexist
    ExpectOpenFails<WorkbookStreamOpenSharingViolationException>(path, false);
  }
  {
    LockHolder other(path, 'p');  // another program's record lock
    ASSERT_TRUE(other.held());
    ExpectOpenFails<WorkbookStreamOpenSharingViolationException>(path, true);
  }
  WorkbookStream free;
  EXPECT_NO_THROW(free.open(W(path), false));  // every lock went with its holder
}

TEST(WorkbookStreamSeek, BoundsAndOrigins) {
  TempDir dir;
  const Bytes stream = SmallStream();
  WorkbookStream ws;
  ws.open(W(WriteWorkbook(dir, stream)), true);
  const std::uint32_t size = ws.size();
  ASSERT_EQ(size, stream.size());

  ws.seek(size, SeekFromStart);
  std::uint8_t byte;
  EXPECT_EQ(ws.read(&byte, 1), 0u);  // at the end: no exception
  ExpectThrowMessage<IOException>([&] { ws.seek(size + 1, SeekFromStart); },
                                  L"I/O exception [Seek beyond end of stream]");
  ExpectThrowMessage<Exception>(
      [&] { ws.seek(0, static_cast<SeekOrigin>(2)); },
      L"General exception [Invalid origin provided to WorkbookStream::seek]");
  EXPECT_EQ(ws.tell(), size);

  ws.seek(5, SeekFromStart);
  ws.seek(size - 5, SeekFromCurrent);
  EXPECT_EQ(ws.tell(), size);
  ws.seek(5, SeekFromStart);
  ExpectThrowMessage<IOException>([&] { ws.seek(size - 4, SeekFromCurrent); },
                                  L"I/O exception [Seek beyond end of stream]");
  // A relative move that would wrap around 32 bits is still beyond the end.
  ws.seek(5, SeekFromStart);
  ExpectThrowMessage<IOException>([&] { ws.seek(0xFFFFFFFFu, SeekFromCurrent); },
                                  L"I/O exception [Seek beyond end of stream]");
}

TEST(WorkbookStreamReadWrite, ReadsAndWritesInPlace) {
  TempDir dir;
  const Bytes stream = SmallStream();
  const std::string path = WriteWorkbook(dir, stream);
  {
    WorkbookStream ws;
    ws.open(W(path), false);
    ws.seek(8, SeekFromStart);
    const std::uint8_t patch[3] = {0xDE, 0xAD, 0x01};
    EXPECT_EQ(ws.write(patch, 3), 3u);
    EXPECT_EQ(ws.tell(), 11u);
  }
  WorkbookStream ws;
  ws.open(W(path), true);
  Bytes back(stream.size() + 10);
  EXPECT_EQ(ws.read(back.data(), static_cast<std::uint32_t>(back.size())), stream.size());
  back.resize(stream.size());
  Bytes expected = stream;
  expected[8] = 0xDE, expected[9] = 0xAD, expected[10] = 0x01;
  EXPECT_EQ(back, expected);

  // Writing through a read-only open fails with the platform's status.
  ws.seek(0, SeekFromStart);
  ExpectThrowMessage<IOException>([&] { ws.write(expected.data(), 1); },
                                  L"I/O exception [HRESULT(80030005) - writing stream]");
}
