#include "workbook/WorkbookStream.h"

#include "errors/Exception.h"

namespace bookmender {

WorkbookStream::~WorkbookStream() { close(); }

void WorkbookStream::close() {
  stream_.reset();
  storage_.reset();
}

namespace {

// The open exception for a failed open of the file `path`.
[[noreturn]] void ThrowOpenFailure(HRESULT hr, const std::wstring& path) {
  // A file a scan found below a root and that cannot be reached there as it
  // was found: not found, with the reason.
  switch (hr) {
    case platform::kLinkOnTheWay:
      throw WorkbookStreamOpenFileNotFoundException(
          MessageDetail(path + L": a symbolic link lies on its way below the folder searched; it was not followed"));
    case platform::kNotTheFileSeen:
      throw WorkbookStreamOpenFileNotFoundException(
          MessageDetail(path + L": the name leads to another file than the one found; it was not read"));
    case platform::kNotBeneath:
      throw WorkbookStreamOpenFileNotFoundException(
          MessageDetail(path + L": it does not lie below the folder searched"));
    case platform::kUntrustedLink:
      throw WorkbookStreamOpenFileNotFoundException(
          MessageDetail(path + L": a symbolic link of another user lies on the way to the folder searched"));
    default: break;
  }
  switch (hr) {
    case STG_E_FILENOTFOUND:
    case STG_E_PATHNOTFOUND:
    case STG_E_INVALIDNAME:
      throw WorkbookStreamOpenFileNotFoundException(MessageDetail(path));
    case STG_E_ACCESSDENIED:
      throw WorkbookStreamOpenAccessDeniedException(MessageDetail(path));
    case STG_E_SHAREVIOLATION:
      throw WorkbookStreamOpenSharingViolationException(MessageDetail(path));
    case STG_E_FILEALREADYEXISTS:
      throw WorkbookStreamOpenNotBIFF8Exception(MessageDetail(path));
    default:
      throw WorkbookStreamOpenException(StatusDetail(hr));
  }
}

}  // namespace

WorkbookStream& WorkbookStream::open(const std::wstring& path, bool readOnly) {
  close();
  size_ = 0;
  const auto mode = readOnly ? platform::StorageMode::kReadDenyWrite
                             : platform::StorageMode::kReadWriteExclusive;
  std::shared_ptr<platform::Storage> storage;
  const HRESULT hr = platform::Storage::open(path, mode, storage);
  if (platform::Failed(hr)) ThrowOpenFailure(hr, path);
  return openOnStorage(std::move(storage), path);
}

WorkbookStream& WorkbookStream::openHeld(const std::wstring& path, bool forWriting,
                                         std::shared_ptr<platform::HeldFile>& held, const platform::Beneath* beneath) {
  close();
  size_ = 0;
  held.reset();
  HRESULT hr = platform::HeldFile::open(path, forWriting, held, beneath);
  if (platform::Failed(hr)) ThrowOpenFailure(hr, path);
  std::shared_ptr<platform::Storage> storage;
  hr = platform::Storage::openHeld(held, storage);
  if (platform::Failed(hr)) ThrowOpenFailure(hr, path);
  return openOnStorage(std::move(storage), path);
}

WorkbookStream& WorkbookStream::openScratch(std::shared_ptr<platform::ScratchFile> file, const std::wstring& name) {
  close();
  size_ = 0;
  std::shared_ptr<platform::Storage> storage;
  const HRESULT hr = platform::Storage::openScratch(std::move(file), storage);
  if (platform::Failed(hr)) ThrowOpenFailure(hr, name);
  return openOnStorage(std::move(storage), name);
}

WorkbookStream& WorkbookStream::openOnStorage(std::shared_ptr<platform::Storage> storage,
                                              const std::wstring& name) {
  close();
  size_ = 0;
  if (!storage) throw WorkbookStreamOpenException(StatusDetail(STG_E_INVALIDPOINTER));
  // A list of FAT sectors that repeats one or points past the file's end
  // makes every chain suspect, and may claim terabytes of FAT: refused before
  // anything is read for it.
  HRESULT hr = storage->listStatus();
  if (platform::Failed(hr)) throw WorkbookStreamOpenException(StatusDetail(hr));
  std::shared_ptr<platform::Stream> stream;
  hr = storage->openStream(L"Workbook", stream);
  if (platform::Failed(hr)) {
    stream.reset();
    storage.reset();
    if (hr == STG_E_FILENOTFOUND) throw WorkbookStreamOpenNotBIFF8Exception(MessageDetail(name));
    throw WorkbookStreamOpenException(StatusDetail(hr));
  }

  std::uint64_t size = 0;
  hr = stream->stat(size);
  if (platform::Failed(hr)) {
    stream.reset();
    storage.reset();
    throw WorkbookStreamOpenException(StatusDetail(hr));
  }
  storage_ = std::move(storage);
  stream_ = std::move(stream);
  size_ = static_cast<std::uint32_t>(size);
  return *this;
}

std::uint32_t WorkbookStream::read(void* buffer, std::uint32_t count) {
  std::uint32_t done = 0;
  const HRESULT hr = stream_ ? stream_->read(buffer, count, done) : STG_E_INVALIDPOINTER;
  if (hr != S_OK) throw IOException(StatusDetail(hr, L"reading stream"));
  return done;
}

std::uint32_t WorkbookStream::write(const void* buffer, std::uint32_t count) {
  std::uint32_t done = 0;
  const HRESULT hr = stream_ ? stream_->write(buffer, count, done) : STG_E_INVALIDPOINTER;
  if (hr != S_OK) throw IOException(StatusDetail(hr, L"writing stream"));
  return done;
}

std::uint32_t WorkbookStream::tell() {
  std::uint64_t position = 0;
  const HRESULT hr =
      stream_ ? stream_->seek(0, platform::kSeekCur, &position) : STG_E_INVALIDPOINTER;
  if (hr != S_OK) throw IOException(StatusDetail(hr, L"getting seek pointer"));
  return static_cast<std::uint32_t>(position);
}

void WorkbookStream::seek(std::uint32_t offset, SeekOrigin origin) {
  if (origin != SeekFromStart && origin != SeekFromCurrent) {
    throw Exception(MessageDetail(L"Invalid origin provided to WorkbookStream::seek"));
  }
  if (!stream_) throw IOException(StatusDetail(STG_E_INVALIDPOINTER, L"setting seek pointer"));
  if (origin == SeekFromStart) {
    if (offset > size_) throw IOException(MessageDetail(L"Seek beyond end of stream"));
    const HRESULT hr = stream_->seek(offset, origin, nullptr);
    if (hr != S_OK) throw IOException(StatusDetail(hr, L"setting seek pointer"));
    return;
  }
  // A relative move is made and its target checked in one call, as the
  // record index does this for every record; a target beyond the end puts
  // the position back where it was. The sum is 64-bit: a move near the 4 GiB
  // limit must not wrap back into the stream.
  std::uint64_t target = 0;
  const HRESULT hr = stream_->seek(offset, origin, &target);
  if (hr != S_OK) throw IOException(StatusDetail(hr, L"setting seek pointer"));
  if (target > size_) {
    stream_->seek(static_cast<std::int64_t>(target - offset), platform::kSeekSet, nullptr);
    throw IOException(MessageDetail(L"Seek beyond end of stream"));
  }
}

}  // namespace bookmender
