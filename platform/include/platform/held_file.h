// The user's workbook, opened once and held from the check to the copy back.
//
// In a folder that other users may write to, a name can be swapped for a link,
// a FIFO or another file between any two steps. So the name is resolved once:
// every later step (the scratch copy, the backup, the final write) works
// through the file opened then, and the backup is created in the folder
// opened with it. The final write changes only the byte ranges the repair
// changed, in place, under exclusive locks, after checking that the file
// still holds what was backed up; the file keeps its identity, owner, ACLs
// and links, and a foreign write is never lost.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/beneath.h"
#include "platform/compound_file.h"
#include "platform/hresult.h"

namespace platform {

class HeldFileSystem;
class ScratchFile;

enum class WriteBackResult {
  kWritten,         // the ranges are written, flushed and read back equal
  kNotWritable,     // the file could not be opened for writing: nothing written
  kInUse,           // another program holds a lock on the file: nothing written
  kNameChanged,     // the name no longer leads to the file checked: nothing written
  kContentChanged,  // the file no longer holds what was backed up: nothing written
  kRestored,        // a write failed; the ranges were put back from the backup
  kNotRestored,     // a write failed and putting the ranges back failed too
};

// What an undo did (HeldFile::restoreFrom).
enum class RestoreResult {
  kRestored,            // the backup's bytes are in the file, flushed and read back, with its times
  kAlreadyRestored,     // the file already holds the backup's content: nothing written
  kBackupMissing,       // no backup under that name: nothing written
  kBackupChanged,       // a link, no regular file, or not the content made: nothing written
  kChangedSinceRepair,  // the file is not what the repair left: nothing written
  kNoAccess,            // the file cannot be written or the backup read: nothing written
  kInUse,               // another program holds a lock on the file: nothing written
  kNameChanged,         // the name no longer leads to the file opened: nothing written
  kPutBack,             // a write failed; the file is again what the repair left
  kNotPutBack,          // a write failed and putting the file back failed too
};

// A file's content and state as a repair left it (SHA-256 in lowercase
// hexadecimal, size, modification time in nanoseconds since 1970), and the
// backup's content.
struct RepairState {
  std::string sha256;
  std::uint64_t size = 0;
  std::uint64_t mtimeNs = 0;
  std::string backupSha256;
};

class HeldFile {
 public:
  // Opens `path` once, without waiting on a FIFO or device, and holds it
  // until let go. A check holds it as a reader: others may read it but not
  // lock it for writing (on Linux a shared open-file-description lock and a
  // shared flock(2) lock, on Windows a share mode that denies writers).
  // `forWriting` opens it for the final write as well and holds it as a
  // writer from the start (exclusive locks of both kinds; on Windows write
  // access, which other openers must share), so that a second run that
  // would write is turned away at its open. Where the user may not write the
  // file, the open still succeeds as a reader and writeBack() answers
  // kNotWritable with the reason.
  // Results: S_OK; STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND, STG_E_INVALIDNAME;
  // STG_E_ACCESSDENIED (no permission, a folder); STG_E_SHAREVIOLATION (a
  // conflicting lock); STG_E_FILEALREADYEXISTS (not a regular file); or a
  // converted system error.
  // With `beneath`, the file a scan found below a root (platform/beneath.h):
  // also kLinkOnTheWay, kNotTheFileSeen, kNotBeneath and kUntrustedLink.
  static HRESULT open(const std::wstring& path, bool forWriting, std::shared_ptr<HeldFile>& out,
                      const Beneath* beneath = nullptr);

  explicit HeldFile(std::unique_ptr<HeldFileSystem> system);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // Size when it was opened.
  std::uint64_t size() const;

  // Copies the whole content of this file into `target`, a new empty
  // scratch file. Holes stay holes; a reflink is used where the file system
  // offers one. Not flushed.
  bool copyTo(ScratchFile& target, Win32Error& error);

  // Creates the backup: the file's own name plus `suffix` (".bak",
  // ".bak001"...), in the folder opened with the file, created exclusively
  // (error 80, kErrorFileExists, when the name is taken) and never through a
  // link. It gets the whole content and the metadata (owner, group, mode,
  // times, ACL and extended attributes as far as the system lets us keep
  // them), and is flushed to disk with its name before this returns true; a
  // failure leaves nothing behind. The backup is held open for writeBack().
  bool backUp(const std::wstring& suffix, Win32Error& error);

  // Starts the backup's content early, where the system can make it as an
  // unnamed file (Linux): it is copied and flushed in the background while
  // the run goes on, and backUp() then waits for it and only names it. A
  // backup never named leaves nothing behind. Elsewhere backUp() does all.
  void startBackup();

  // The copy back, after a successful backUp(): under exclusive locks of
  // every kind, checks that the name still leads to this file and that the
  // file still holds exactly the backup's bytes, and that `repaired` differs
  // from them nowhere outside `ranges`; then writes `repaired`'s bytes of
  // `ranges` in place, flushes and reads them back. A failure after the
  // first write puts the ranges back from the backup. `error` describes
  // kNotWritable, kInUse (kErrorSharingViolation), kRestored and kNotRestored.
  WriteBackResult writeBack(ScratchFile& repaired, const std::vector<ByteRange>& ranges, Win32Error& error);

  // After writeBack() answered kWritten: what the repair left, from the
  // descriptors already open (`repaired` holds the file's content) and the
  // file's state now. False with `error` when a read fails.
  bool repairState(ScratchFile& repaired, RepairState& state, Win32Error& error);

  // The undo of a repair, on a file opened for writing: the backup is the
  // file's own name plus `suffix` in the folder opened with the file, never
  // reached through a link. When its content is `left.backupSha256` and the
  // file's is `left.sha256` of `left.size` bytes, the backup's bytes are
  // written into the file in place with the copy back's guarantees (locks,
  // the name checked, only differing ranges written, flushed, read back,
  // put back from a private copy on failure), and the file takes the
  // backup's access and modification times. The backup is kept.
  RestoreResult restoreFrom(const std::wstring& suffix, const RepairState& left, Win32Error& error);

  // The system side, for the compound-file layer that reads through it.
  HeldFileSystem& system() { return *system_; }

 private:
  std::unique_ptr<HeldFileSystem> system_;
};

}  // namespace platform
