// The held file on Windows. One handle, opened with FILE_SHARE_READ alone:
// others may read the file while we hold it, but no one may open it for
// writing, and without FILE_SHARE_DELETE no one may rename or delete it, so
// its name cannot be given to another file meanwhile. The copy back takes an
// exclusive byte-range lock over the whole file on that handle.
#include <windows.h>
#include <aclapi.h>

#include <optional>

#include <new>
#include <utility>
#include <vector>

#include "handle_io.h"
#include "held_file_restore.h"
#include "held_file_system.h"
#include "platform/scratch_file.h"

namespace platform {
namespace {

bool Fail(Win32Error& error, DWORD code) {
  error = code;
  return false;
}

constexpr std::size_t kChunk = 1u << 20;

// Copies `from`, from offset 0 to its end, into `to` at the same offsets.
Win32Error CopyContent(HANDLE from, HANDLE to, std::uint64_t& copied) {
  copied = 0;
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(kChunk);
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
  for (;;) {
    std::size_t got = 0;
    HRESULT hr = ReadAtHandle(from, copied, buffer.data(), buffer.size(), got);
    if (Failed(hr)) return Win32ErrorFromHResult(hr);
    if (got == 0) return kErrorSuccess;
    hr = WriteAtHandle(to, copied, buffer.data(), got);
    if (Failed(hr)) return Win32ErrorFromHResult(hr);
    copied += got;
  }
}

// The attributes a backup takes over from its original. The others are not
// the user's to choose (compressed, sparse, encrypted, reparse point, ...).
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Gives an open file exactly `attributes` (none is FILE_ATTRIBUTE_NORMAL,
// since zero would leave them as they are); its times stay.
bool SetAttributes(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The backup's DACL. The backup is made with one that admits only us,
// protected so that the folder's inheritable entries do not join it; once
// its content is in, it takes the original's, protected too, so that it
// admits exactly whom the original admits and never the folder's readers.
// Until then it is ours to delete, should the backup fail. Nothing of this
// on a file system that keeps no ACLs (FAT).
class BackupDacl {
 public:
  BackupDacl() = default;
  ~BackupDacl() {
    if (original_ != nullptr) ::LocalFree(original_);
  }
  BackupDacl(const BackupDacl&) = delete;
  BackupDacl& operator=(const BackupDacl&) = delete;

  Win32Error read(HANDLE file) {
    DWORD flags = 0;
    if (::GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        !(flags & FILE_PERSISTENT_ACLS)) {
      return kErrorSuccess;
    }
    PACL dacl = nullptr;
    const DWORD e = ::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                      nullptr, &original_);
    if (e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION) return kErrorSuccess;
    if (e != ERROR_SUCCESS) return e;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(original_, &control, &revision)) return ::GetLastError();
    if (!(control & SE_DACL_PRESENT)) return kErrorSuccess;
    // The entries the original inherited become the backup's own, which
    // inherits none.
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      if (!::GetAce(dacl, i, &ace)) return ::GetLastError();
      static_cast<ACE_HEADER*>(ace)->AceFlags &= static_cast<BYTE>(~INHERITED_ACE);
    }
    dacl_ = dacl;

    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return ::GetLastError();
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const bool known = size != 0 && ::GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    const DWORD tokenError = ::GetLastError();
    ::CloseHandle(token);
    if (!known) return tokenError;
    PSID us = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    onlyUs_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(us));
    PACL acl = reinterpret_cast<PACL>(onlyUs_.data());
    if (!::InitializeAcl(acl, static_cast<DWORD>(onlyUs_.size()), ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, us) ||
        !::InitializeSecurityDescriptor(&made_, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&made_, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorControl(&made_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return ::GetLastError();
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &made_;
    attributes_.bInheritHandle = FALSE;
    kept_ = true;
    return kErrorSuccess;
  }

  // For CreateFileW: the DACL the backup is made with.
  SECURITY_ATTRIBUTES* madeWith() { return kept_ ? &attributes_ : nullptr; }

  // Gives the backup, through a handle that may write its DACL, the
  // original's DACL, or back the one it was made with (to delete it).
  Win32Error give(HANDLE backup) { return set(backup, dacl_); }
  void takeBack(HANDLE backup) { set(backup, reinterpret_cast<PACL>(onlyUs_.data())); }

 private:
  Win32Error set(HANDLE backup, PACL dacl) {
    if (!kept_) return kErrorSuccess;
    return ::SetSecurityInfo(backup, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr);
  }

  PSECURITY_DESCRIPTOR original_ = nullptr;  // holds dacl_
  PACL dacl_ = nullptr;                      // null: a null DACL, which admits everyone
  std::vector<std::uint8_t> user_;
  std::vector<std::uint8_t> onlyUs_;
  SECURITY_DESCRIPTOR made_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool kept_ = false;
};

std::uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// The backup, read through the handle that wrote it.
class HandleReader final : public FileHandle {
 public:
  HandleReader(Handle handle, std::uint64_t size) : handle_(std::move(handle)), size_(size) {}
  std::uint64_t size() const override { return size_; }
  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    return ReadAtHandle(handle_.get(), offset, buffer, count, done);
  }
  HRESULT writeAt(std::uint64_t, const void*, std::size_t) override { return STG_E_ACCESSDENIED; }

 private:
  Handle handle_;
  std::uint64_t size_;
};

class WindowsHeldFile final : public HeldFileSystem {
 public:
  WindowsHeldFile(std::wstring path, Handle file, const BY_HANDLE_FILE_INFORMATION& info, Win32Error writeError)
      : path_(std::move(path)), file_(std::move(file)), opened_(info), writeError_(writeError) {}

  ~WindowsHeldFile() override {
    // Closing the handle would let the lock go too, but only some time after.
    if (locked_) {
      OVERLAPPED whole = At(0);
      ::UnlockFileEx(file_.get(), 0, MAXDWORD, MAXDWORD, &whole);
    }
  }
  WindowsHeldFile(const WindowsHeldFile&) = delete;
  WindowsHeldFile& operator=(const WindowsHeldFile&) = delete;

  std::uint64_t size() const override { return SizeOf(opened_); }

  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    return ReadAtHandle(file_.get(), offset, buffer, count, done);
  }

  bool copyTo(ScratchFile& target, Win32Error& error) override {
    std::uint64_t copied = 0;
    const Win32Error e = CopyContent(file_.get(), reinterpret_cast<HANDLE>(target.nativeHandle()), copied);
    return e == kErrorSuccess || Fail(error, e);
  }

  // Created beside the original under the name it was opened by, which
  // still leads to it (see nameLeadsHere). The backup takes the original's
  // attributes, times and DACL (see BackupDacl); it is read-only only once
  // it is written, and flushed before this returns. A failure deletes it
  // again.
  bool backUp(const std::wstring& suffix, Win32Error& error) override {
    const std::wstring name = path_ + suffix;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file_.get(), &info)) return Fail(error, ::GetLastError());
    BackupDacl dacl;
    if (const Win32Error e = dacl.read(file_.get()); e != kErrorSuccess) return Fail(error, e);
    const DWORD kept = info.dwFileAttributes & kKeptAttributes;
    const DWORD whileWriting = kept & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    // The creator is granted the access it asks for, whatever the DACL.
    Handle copy(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, FILE_SHARE_READ,
                              dacl.madeWith(), CREATE_NEW, whileWriting != 0 ? whileWriting : FILE_ATTRIBUTE_NORMAL,
                              nullptr));
    if (!copy.valid()) {
      const DWORD e = ::GetLastError();
      return Fail(error, e == ERROR_ALREADY_EXISTS ? kErrorFileExists : e);
    }
    std::uint64_t copied = 0;
    Win32Error e = CopyContent(file_.get(), copy.get(), copied);
    if (e == kErrorSuccess) e = dacl.give(copy.get());
    if (e == kErrorSuccess &&
        !::SetFileTime(copy.get(), &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime)) {
      e = ::GetLastError();
    }
    if (e == kErrorSuccess && !SetAttributes(copy.get(), kept)) e = ::GetLastError();
    if (e == kErrorSuccess && !::FlushFileBuffers(copy.get())) e = ::GetLastError();
    if (e != kErrorSuccess) {
      SetAttributes(copy.get(), 0);  // a read-only file could not be deleted
      dacl.takeBack(copy.get());     // nor one whose DACL denies us
      copy.close();
      ::DeleteFileW(name.c_str());
      return Fail(error, e);
    }
    backup_.reset(new HandleReader(std::move(copy), copied));
    return true;
  }

  FileHandle* backup() override { return backup_.get(); }

  Win32Error writeError() const override { return writeError_; }

  // A byte-range lock is kept by Windows itself: while it lasts, no other
  // handle may read or write the file, and a program that holds a lock of
  // its own on any part of it stops us here.
  Win32Error lockExclusive() override {
    OVERLAPPED whole = At(0);
    if (!::LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                      &whole)) {
      const DWORD e = ::GetLastError();
      return e == ERROR_LOCK_VIOLATION ? kErrorSharingViolation : e;
    }
    locked_ = true;
    return kErrorSuccess;
  }

  // The handle shares no deleting: while it is open, the file can be neither
  // renamed nor deleted, so no other file can take its name.
  bool nameLeadsHere() override { return true; }

  bool unchangedSinceOpen() override {
    BY_HANDLE_FILE_INFORMATION now;
    if (!::GetFileInformationByHandle(file_.get(), &now)) return false;
    return SizeOf(now) == SizeOf(opened_) && ::CompareFileTime(&now.ftLastWriteTime, &opened_.ftLastWriteTime) == 0;
  }

  Win32Error writeAt(std::uint64_t offset, const void* data, std::size_t count) override {
    const HRESULT hr = WriteAtHandle(file_.get(), offset, data, count);
    return Failed(hr) ? Win32ErrorFromHResult(hr) : kErrorSuccess;
  }

  Win32Error flush() override { return ::FlushFileBuffers(file_.get()) ? kErrorSuccess : ::GetLastError(); }

  Win32Error openSibling(const std::wstring& suffix, std::unique_ptr<FileHandle>& out, FileTimes& times) override {
    return OpenSiblingNamed(path_ + suffix, out, times);
  }
  Win32Error stateNow(std::uint64_t& size, FileTimes& times) override { return StateOfHandle(file_.get(), size, times); }
  Win32Error resize(std::uint64_t size) override { return ResizeHandle(file_.get(), size); }
  Win32Error setTimes(const FileTimes& times) override { return SetTimesOfHandle(file_.get(), times); }

 private:
  std::wstring path_;
  Handle file_;
  BY_HANDLE_FILE_INFORMATION opened_;
  Win32Error writeError_;
  bool locked_ = false;
  std::unique_ptr<FileHandle> backup_;
};

HANDLE OpenShared(const std::wstring& path, DWORD access, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Every folder from `root` down to the file's, each opened as itself (a
// reparse point is not followed but refused) and held without sharing
// deletion, so that none of them can be renamed or replaced until the file
// is open. S_OK, kLinkOnTheWay, kNotBeneath or the code of a failed open.
HRESULT HoldFoldersBelow(const std::wstring& root, const std::wstring& below, std::vector<Handle>& held) {
  std::wstring at = root;
  std::size_t start = 0;
  for (;;) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (held.empty() ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    Handle folder(::CreateFileW(at.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, flags, nullptr));
    if (!folder.valid()) return ClassifyOpenError(::GetLastError(), false);
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(folder.get(), &info)) return HResultFromSystemError(::GetLastError());
    if (!held.empty() && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return kLinkOnTheWay;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return STG_E_PATHNOTFOUND;
    held.push_back(std::move(folder));
    std::size_t end = start;
    while (end < below.size() && !IsSeparator(below[end])) ++end;
    if (end >= below.size()) return S_OK;  // the rest is the file's own name
    const std::wstring part = below.substr(start, end - start);
    if (part == L"..") return kNotBeneath;
    if (!IsSeparator(at.back())) at += L'\\';
    at += part;
    start = end + 1;
  }
}

}  // namespace

HRESULT OpenHeldFileSystem(const std::wstring& path, bool forWriting, const Beneath* beneath,
                           std::unique_ptr<HeldFileSystem>& out) {
  out.reset();
  if (path.empty()) return STG_E_FILENOTFOUND;
  if (path.find(L'\0') != std::wstring::npos) return STG_E_INVALIDNAME;

  // Found by a scan below a root: no reparse point below it, and the file
  // the scan saw.
  std::vector<Handle> folders;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (beneath) {
    const std::optional<std::wstring> below = BelowRoot(beneath->root, path);
    if (!below) return kNotBeneath;
    const HRESULT hr = HoldFoldersBelow(beneath->root, *below, folders);
    if (Failed(hr)) return hr;
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }

  // Another program that holds the file keeps a fix out at once, as the
  // locks do on Linux. Whatever else keeps the writer's open out (a
  // read-only file or medium), the file is still checked and backed up
  // through a reader's open, as in check mode; the copy back then fails with
  // that reason.
  Handle file;
  Win32Error writeError = kErrorAccessDenied;
  if (forWriting) {
    file = Handle(OpenShared(path, GENERIC_READ | GENERIC_WRITE, flags));
    writeError = file.valid() ? kErrorSuccess : ::GetLastError();
    if (writeError == ERROR_SHARING_VIOLATION || writeError == ERROR_LOCK_VIOLATION) return STG_E_SHAREVIOLATION;
  }
  if (!file.valid()) {
    file = Handle(OpenShared(path, GENERIC_READ, flags));
    if (!file.valid()) return ClassifyOpenError(::GetLastError(), false);
  }
  // A device ("nul", "con") or a pipe exists but holds no compound file.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return STG_E_FILEALREADYEXISTS;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file.get(), &info)) return HResultFromSystemError(::GetLastError());
  if (beneath) {
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return kLinkOnTheWay;
    const FileIdentity seen{info.dwVolumeSerialNumber,
                            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    if (beneath->identity && !(seen == *beneath->identity)) return kNotTheFileSeen;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return STG_E_ACCESSDENIED;
  out.reset(new WindowsHeldFile(path, std::move(file), info, writeError));
  return S_OK;
}

std::unique_ptr<FileHandle> ReaderOfOwnFile(Handle handle, std::uint64_t size) {
  return std::make_unique<HandleReader>(std::move(handle), size);
}

}  // namespace platform
