// The recursive walk over the search paths and the choice of files.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/path.hpp>

#include "FileList.h"
#include "ScanOptions.h"

namespace shelfscan {

class MainLog;

// A depth-first walk over one folder tree. Entry paths are the root as given
// joined with the names below it, so they are what was typed plus names.
//
// Boost's recursive_directory_iterator of this Boost turns into its end on
// any error (or, asked to pop on errors, also drops the rest of the parent
// folder), so an unreadable sub-folder would end the walk of its whole root.
// This walk keeps its own stack of folder listings instead and has the
// behaviour the scan relies on: a failed descent throws and leaves the walk
// on that folder, so that marking it no-descend and advancing again goes on
// with the folder's next sibling.
//
// On Linux each folder below the root is opened by its name relative to the
// folder above it, never through a symbolic link, and listed through that
// descriptor: a folder another user swaps for a link after the walk looked
// at it is not entered (its descent fails as "Too many levels of symbolic
// links"), so the walk never lists anything outside its tree.
class FolderWalk {
 public:
  // Opens the root's listing; throws boost::filesystem::filesystem_error when
  // it cannot be listed (a file, a denied folder).
  explicit FolderWalk(const boost::filesystem::path& root);

  ~FolderWalk();
  FolderWalk(FolderWalk&&) noexcept;
  FolderWalk& operator=(FolderWalk&&) noexcept;

  bool atEnd() const { return levels_.empty(); }
  const boost::filesystem::path& root() const { return root_; }
  // The current entry; only while not at the end.
  const boost::filesystem::directory_entry& entry() const;
  const boost::filesystem::path& path() const { return entry().path(); }
  int depth() const { return static_cast<int>(levels_.size()) - 1; }

  // Keeps the next advance from descending into the current entry.
  void noPush() { noPush_ = true; }

  // One step: into the current entry when it is a folder (not a link to one)
  // and not marked, else to the next entry, climbing out of exhausted
  // folders. Throws when
  // - the folder to descend into cannot be listed: the walk is unchanged;
  // - a listing breaks off while moving on: that folder's listing is given
  //   up and the walk stands on the folder itself, marked no-descend, so the
  //   next advance goes on with its next sibling (the walk is at its end when
  //   it was the root's listing).
  // Every failure thus consumes the pending descent or removes one level, so
  // retrying after failures always comes to an end.
  void increment();

 private:
  class Listing;  // one folder's entries, per system

  boost::filesystem::path root_;
  std::vector<std::unique_ptr<Listing>> levels_;
  bool noPush_ = false;
};

// Advances the walk by one step, whatever fails: each failure is reported as
// a scan error line in `log` (the entry that could not be entered, the folder
// whose listing broke off, or the root) and the advance is retried past it.
void AdvanceWalk(FolderWalk& walk, MainLog& log);

// True for a name whose extension is exactly ".xls" (a file named ".xls"
// included), or with `anyCase` ".xls" in any letter case.
bool IsSelected(const boost::filesystem::path& path, bool anyCase = false);

class FileRuns;

// A request to stop ended the scan; the console has said where. No
// std::exception, as LineLost.
struct ScanInterrupted {};

// Once the lines of the files under way are written, a request to stop ends
// the scan: the summary, a console line naming the file whose line came
// last, and ScanInterrupted thrown. A scan stopped by a lost line ends at
// once (LineLost).
void StopIfRequested(FileRuns& runs);

// Searches every root in order, handing each selected file to `runs`, and
// reads every file list (`lists`, opened, one for each of
// options.fileLists) after the roots given before it, handing each listed
// file to `runs`; returns when all their runs have ended. Names matching an
// exclusion are passed over without a line, in the trees and in the lists.
// Links inside a tree or named in a list are reported and not followed; a
// root that is missing, is a file or cannot be listed is reported and the
// next root searched. Files the walk passes over only for the letter case of
// their ".xls" (not excluded, not links; never with "-anycase", never listed
// files) are counted in runs.filesPassedOverForCase. A request to stop
// (platform/termination.h) ends the scan once the running Bookmenders have
// ended and their lines are written: the summary, a console line naming the
// file whose line came last, and ScanInterrupted thrown. A lost line
// (MainLog.h) throws LineLost.
void ScanRoots(const ScanOptions& options, std::vector<FileList>& lists, FileRuns& runs);

}  // namespace shelfscan
