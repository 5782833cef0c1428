// The held file on Windows, against second handles as other programs open
// them: what its share mode keeps out and lets in, the reader's open that a
// writer's open refused by the system falls back to, the backup's attributes,
// times and DACL, and the byte-range lock of the copy back.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

#include "file_handle.h"
#include "platform/held_file.h"
#include "platform/scratch_file.h"
#include "workbook_file.h"

namespace {

using platform::HeldFile;
using platform::WriteBackResult;
using testsupport::Bytes;

// A second handle on a file, as another program holds it.
class Other {
 public:
  Other(const std::wstring& path, DWORD access, DWORD share)
      : handle_(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)),
        error_(handle_ == INVALID_HANDLE_VALUE ? ::GetLastError() : 0) {}
  ~Other() {
    if (held()) ::CloseHandle(handle_);
  }
  Other(const Other&) = delete;
  Other& operator=(const Other&) = delete;
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
  DWORD error() const { return error_; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
  DWORD error_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The DACL of a file or folder in SDDL: "D:", its flags and its entries.
std::wstring DaclOf(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
    return L"(unreadable)";
  }
  std::wstring text = L"(not convertible)";
  LPWSTR converted = nullptr;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &converted, nullptr)) {
    text = converted;
    ::LocalFree(converted);
  }
  ::LocalFree(descriptor);
  return text;
}

// Gives a file or folder the DACL written in SDDL, protected or not as it
// says.
bool SetDacl(const std::wstring& path, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  bool set = ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
             ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  if (set) {
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                   : UNPROTECTED_DACL_SECURITY_INFORMATION);
    set = ::SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT, what, nullptr, nullptr, dacl,
                                  nullptr) == ERROR_SUCCESS;
  }
  ::LocalFree(descriptor);
  return set;
}

class WindowsHeldFile : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t i = 0; i < original_.size(); ++i) original_[i] = static_cast<std::uint8_t>(i * 7);
    path_ = file("book.xls");
    write(path_, original_);
  }
  // Read-only files would outlive the folder's removal.
  void TearDown() override {
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((wide(dir_.path()) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
      ::SetFileAttributesW((wide(dir_.path()) + L"\\" + found.cFileName).c_str(), FILE_ATTRIBUTE_NORMAL);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }

  static std::wstring wide(const std::string& path) { return testsupport::FsPath(path).wstring(); }
  std::wstring file(const std::string& name) const { return wide(dir_.file(name)); }
  static Bytes read(const std::wstring& path) { return testsupport::ReadFileBytes(std::filesystem::path(path).u8string()); }
  static void write(const std::wstring& path, const Bytes& bytes) {
    testsupport::WriteFileBytes(std::filesystem::path(path).u8string(), bytes);
  }
  // A repaired copy holding `bytes`, as the run makes it.
  static std::shared_ptr<platform::ScratchFile> scratch(const Bytes& bytes) {
    std::shared_ptr<platform::ScratchFile> file;
    platform::Win32Error error = 0;
    EXPECT_TRUE(platform::ScratchFile::create(file, error)) << error;
    if (file) {
      EXPECT_EQ(file->file().writeAt(0, bytes.data(), bytes.size()), S_OK);
    }
    return file;
  }
  std::shared_ptr<HeldFile> hold(bool forWriting) {
    std::shared_ptr<HeldFile> held;
    EXPECT_EQ(HeldFile::open(path_, forWriting, held), S_OK);
    return held;
  }

  testsupport::TempDir dir_;
  Bytes original_ = Bytes(5000);
  std::wstring path_;
};

TEST_F(WindowsHeldFile, KeepsWritersRenamesAndDeletesOutAndLetsReadersThatShareWritingIn) {
  std::shared_ptr<HeldFile> held = hold(true);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->size(), original_.size());
  const Other writer(path_, GENERIC_WRITE, kShareAll);
  EXPECT_FALSE(writer.held());
  EXPECT_EQ(writer.error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  const Other denyingReader(path_, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_FALSE(denyingReader.held()) << "we may write, so a reader that lets no writer in cannot come";
  EXPECT_TRUE(Other(path_, GENERIC_READ, kShareAll).held());
  EXPECT_FALSE(::MoveFileExW(path_.c_str(), file("moved.xls").c_str(), 0));
  EXPECT_FALSE(::DeleteFileW(path_.c_str()));
  EXPECT_EQ(read(path_), original_);

  held.reset();
  EXPECT_TRUE(Other(path_, GENERIC_WRITE, 0).held()) << "letting go lets writers in";
}

TEST_F(WindowsHeldFile, OpenFailuresAreClassifiedAlikeForBothModes) {
  for (const bool forWriting : {false, true}) {
    std::shared_ptr<HeldFile> held;
    EXPECT_EQ(HeldFile::open(file("missing.xls"), forWriting, held), STG_E_FILENOTFOUND);
    EXPECT_EQ(HeldFile::open(file("no-folder\\x.xls"), forWriting, held), STG_E_PATHNOTFOUND);
    EXPECT_EQ(HeldFile::open(wide(dir_.path()), forWriting, held), STG_E_ACCESSDENIED) << "a folder";
    EXPECT_EQ(HeldFile::open(L"nul", forWriting, held), STG_E_FILEALREADYEXISTS);
    const Other writer(path_, GENERIC_WRITE, kShareAll);
    ASSERT_TRUE(writer.held());
    EXPECT_EQ(HeldFile::open(path_, forWriting, held), STG_E_SHAREVIOLATION);
    EXPECT_FALSE(held);
  }
}

// Where the system refuses the writer, the check and the backup go on
// through a reader's open; the copy back answers why it cannot write, and
// writes nothing. (A read-only original is
// run end to end, where the system refuses its writers.)
TEST_F(WindowsHeldFile, AFileThatRefusesTheWriterIsHeldForReading) {
  Bytes fixed = original_;
  fixed[10] ^= 0xFF;
  const std::shared_ptr<platform::ScratchFile> repaired = scratch(fixed);
  ASSERT_TRUE(repaired);
  const std::vector<platform::ByteRange> ranges{{10, 1}};
  platform::Win32Error error = 0;
  {
    std::shared_ptr<HeldFile> held = hold(false);
    ASSERT_TRUE(held && held->backUp(L".bak", error)) << error;
    EXPECT_EQ(held->writeBack(*repaired, ranges, error), WriteBackResult::kNotWritable);
    EXPECT_EQ(error, platform::kErrorAccessDenied) << "opened for checking only";
  }
  {
    // A reader that lets no writer in keeps a fix out at its open, as a
    // lock holder does on Linux; a check still comes in.
    const Other reader(path_, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.held());
    std::shared_ptr<HeldFile> held;
    EXPECT_EQ(HeldFile::open(path_, true, held), STG_E_SHAREVIOLATION);
    EXPECT_FALSE(held);
    EXPECT_TRUE(hold(false));
  }
  EXPECT_EQ(read(path_), original_);
}

TEST_F(WindowsHeldFile, BackupIsCreatedExclusivelyWithTheOriginalsAttributesAndTimes) {
  write(file("book.xls.bak"), {'a'});
  FILETIME written;
  written.dwLowDateTime = 0x12345670u;  // in 2000
  written.dwHighDateTime = 0x01BF5000u;
  {
    const Other setter(path_, FILE_WRITE_ATTRIBUTES, kShareAll);
    ASSERT_TRUE(setter.held());
    ASSERT_TRUE(::SetFileTime(setter.get(), nullptr, nullptr, &written));
  }
  const DWORD attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(::SetFileAttributesW(path_.c_str(), attributes));

  std::shared_ptr<HeldFile> held = hold(true);
  ASSERT_TRUE(held);
  platform::Win32Error error = 0;
  EXPECT_FALSE(held->backUp(L".bak", error));
  EXPECT_EQ(error, platform::kErrorFileExists);
  EXPECT_EQ(read(file("book.xls.bak")), Bytes{'a'}) << "an existing backup is never overwritten";
  ASSERT_TRUE(held->backUp(L".bak001", error)) << error;

  const std::wstring backup = file("book.xls.bak001");
  EXPECT_EQ(read(backup), original_);
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(::GetFileAttributesExW(backup.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.dwFileAttributes & (attributes | FILE_ATTRIBUTE_SYSTEM), attributes);
  EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, written.dwLowDateTime);
  EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, written.dwHighDateTime);
}

// A folder whose inheritable entry lets one more user read what is made in
// it, and an original with a DACL of its own that shuts that user out: the
// backup has the original's DACL, protected, without the folder's entry.
TEST_F(WindowsHeldFile, BackupHasTheOriginalsDaclNotTheFolders) {
  const std::wstring reader = L"S-1-5-21-1-2-3-1234";
  ASSERT_TRUE(SetDacl(wide(dir_.path()), L"D:(A;OICI;FA;;;WD)(A;OICI;FR;;;" + reader + L")"));
  const std::wstring made = file("made");
  write(made, {'m'});
  if (DaclOf(made).find(reader) == std::wstring::npos) {
    GTEST_SKIP() << "a file made here does not inherit the folder's entries, as on Windows: "
                 << testing::PrintToString(DaclOf(made));
  }
  const std::wstring own = L"D:P(A;;FA;;;WD)(A;;FR;;;S-1-5-21-1-2-3-4321)";
  ASSERT_TRUE(SetDacl(path_, own));
  ASSERT_EQ(DaclOf(path_), own);

  std::shared_ptr<HeldFile> held = hold(true);
  ASSERT_TRUE(held);
  platform::Win32Error error = 0;
  ASSERT_TRUE(held->backUp(L".bak", error)) << error;
  EXPECT_EQ(DaclOf(file("book.xls.bak")), own);
  EXPECT_EQ(read(file("book.xls.bak")), original_);
}

// The scratch copy: nobody else can open it while it lives, and it goes
// with its handle.
TEST_F(WindowsHeldFile, ScratchCopyIsPrivateAndGoesWithItsHandle) {
  ::SetEnvironmentVariableW(L"TMP", (wide(dir_.path()) + L"\\").c_str());
  std::shared_ptr<platform::ScratchFile> copy;
  platform::Win32Error error = 0;
  ASSERT_TRUE(platform::ScratchFile::create(copy, error)) << error;
  std::shared_ptr<HeldFile> held = hold(false);
  ASSERT_TRUE(held);
  ASSERT_TRUE(held->copyTo(*copy, error)) << error;
  Bytes copied(original_.size() + 1);
  std::size_t done = 0;
  ASSERT_EQ(copy->file().readAt(0, copied.data(), copied.size(), done), S_OK);
  copied.resize(done);
  EXPECT_EQ(copied, original_);

  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((wide(dir_.path()) + L"\\tmr*.tmp").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE) << "the scratch file has a name on Windows";
  const std::wstring name = wide(dir_.path()) + L"\\" + found.cFileName;
  ::FindClose(search);
  const Other other(name, GENERIC_READ, kShareAll);
  EXPECT_FALSE(other.held());
  EXPECT_EQ(other.error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  copy.reset();
  EXPECT_EQ(::GetFileAttributesW(name.c_str()), INVALID_FILE_ATTRIBUTES) << "deleted with its handle";
  ::SetEnvironmentVariableW(L"TMP", nullptr);
}

// Another program's lock on any byte stops the copy back before its first
// write; once it is gone, only the ranges are written.
TEST_F(WindowsHeldFile, CopyBackWaitsForNoLockAndWritesTheRanges) {
  Bytes fixed = original_;
  for (std::size_t i = 100; i < 110; ++i) fixed[i] = 0xEE;
  fixed[4999] = 0xEE;
  const std::shared_ptr<platform::ScratchFile> repaired = scratch(fixed);
  ASSERT_TRUE(repaired);
  platform::Win32Error error = 0;
  const std::vector<platform::ByteRange> ranges{{100, 10}, {4999, 1}};

  std::shared_ptr<HeldFile> held = hold(true);
  ASSERT_TRUE(held);
  ASSERT_TRUE(held->backUp(L".bak", error)) << error;
  {
    const Other locker(path_, GENERIC_READ, kShareAll);
    ASSERT_TRUE(locker.held());
    OVERLAPPED at{};
    at.Offset = 4000;
    ASSERT_TRUE(::LockFileEx(locker.get(), LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
    EXPECT_EQ(held->writeBack(*repaired, ranges, error), WriteBackResult::kInUse);
    EXPECT_EQ(error, platform::kErrorSharingViolation);
    EXPECT_EQ(read(path_), original_);
    ASSERT_TRUE(::UnlockFileEx(locker.get(), 0, 1, 0, &at));
  }
  EXPECT_EQ(held->writeBack(*repaired, ranges, error), WriteBackResult::kWritten) << error;
  held.reset();
  EXPECT_EQ(read(path_), fixed);
  EXPECT_EQ(read(file("book.xls.bak")), original_);
}

}  // namespace
