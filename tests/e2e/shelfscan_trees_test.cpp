// A scan never leaves its trees: another user who may write in the share
// swaps a workbook, or a folder on its way, for a link to a workbook only
// root may read, or for another file, between the walk and Bookmender's
// open; or plants a link in the path of a listed name. Whatever the mode and
// the number of jobs, the workbook outside is neither read, repaired nor
// backed up, and the file swapped in gets "[file not found],".
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "charted_workbook.h"
#include "process.h"
#include "shelfscan_run.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

// Records its arguments; for the file named by $VICTIM, lets the other user
// make the swap in $SWAP first; then runs the real Bookmender.
const char kSwapper[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> \"$RECORD\"\n"
    "for last; do :; done\n"
    "case \"$last\" in *\"$VICTIM\") setpriv --reuid=65534 --regid=65534 --clear-groups sh -c \"$SWAP\" ;; esac\n"
    "exec \"$REAL\" \"$@\"\n";

// Every name below `folder` with its bytes (a link: its target).
void Snapshot(const std::string& folder, std::map<std::string, std::string>& out) {
  for (const std::string& name : Entries(folder)) {
    const std::string path = folder + "/" + name;
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      out[path] = "-> " + std::string(target, static_cast<std::size_t>(n > 0 ? n : 0));
    } else if (S_ISDIR(st.st_mode)) {
      out[path] = "folder";
      Snapshot(path, out);
    } else {
      const Bytes bytes = ReadFileBytes(path);
      out[path] = std::string(bytes.begin(), bytes.end());
    }
  }
}

class ShelfscanTrees : public ShelfscanRun {
 protected:
  void SetUp() override {
    ShelfscanRun::SetUp();
    damaged_ = DamagedWorkbookFile(1000);
    outside_ = Folder("outside", 0700);
    File("outside/secret.xls", damaged_);
  }

  // A share of the other user's with the victim u/f.xls and two more files.
  std::string Share(const std::string& name) {
    const std::string share = Folder(name, 0755);
    Folder(name + "/u", 0755);
    for (const std::string file : {"/u/f.xls", "/u/g.xls", "/h.xls"}) File(name + file, damaged_);
    EXPECT_EQ(system(("chown -R 65534:65534 '" + share + "'").c_str()), 0);
    return share;
  }

  ProcessResult ScanWith(const std::string& swap, std::vector<std::string> arguments) {
    ProcessOptions options;
    options.environment = {"SWAP=" + swap, "VICTIM=/u/f.xls", std::string("REAL=") + BOOKMENDER_EXE, "TMPDIR=" + Folder("tmp" + std::to_string(scans_++), 0700)};
    return Scan(std::move(arguments), options, Install(kSwapper));
  }

  Bytes damaged_;
  std::string outside_;
  int scans_ = 0;
};

TEST_F(ShelfscanTrees, SwapsBetweenTheWalkAndTheOpenReachNothingOutside) {
  struct Case {
    const char* what;
    std::string swap;  // run in the share by the other user
  };
  const std::string secret = outside_ + "/secret.xls";
  const Case cases[] = {
      {"the workbook swapped for a link", "cd u && mv f.xls f.old && ln -s '" + secret + "' f.xls"},
      {"its folder swapped for a link", "mv u u.old && ln -s '" + outside_ + "' u"},
      {"the workbook swapped for another file", "cd u && mv f.xls f.old && cp g.xls f.xls"},
  };
  int n = 0;
  for (const Case& c : cases) {
    for (const std::string mode : {"-check", "-fix"}) {
      for (const std::string jobs : {"-jobs:1", "-jobs:4"}) {
        const std::string where = std::string(c.what) + " " + mode + " " + jobs;
        const std::string share = Share("share" + std::to_string(n++));
        std::map<std::string, std::string> before, after;
        Snapshot(outside_, before);
        const auto [option, logs] = LogFolder();
        const ProcessResult r =
            ScanWith("cd '" + share + "' && " + c.swap, {mode, jobs, option, share});
        EXPECT_EQ(r.exitCode, 0) << where << r.output;
        Snapshot(outside_, after);
        EXPECT_EQ(after, before) << where << ": the workbook outside was touched";
        const std::vector<std::string> lines = LogLines(MainLog(logs));
        EXPECT_NE(std::find(lines.begin(), lines.end(), "[file not found]," + share + "/u/f.xls"), lines.end())
            << where << "\n" << ::testing::PrintToString(lines);
        for (const std::string& line : lines) {
          EXPECT_EQ(line.find("secret"), std::string::npos) << where << ": " << line;
        }
        // The console says why, and so does the log.
        const std::string why = "[warning]," + share + "/u/f.xls,The name led to another file";
        EXPECT_TRUE(Contains(r.output, why)) << where << r.output;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return StartsWith(l, why); }), 1)
            << where;
      }
    }
  }
}

// A folder swapped for a link in the instant between the walk's look at it
// and its descent is not entered: nothing of the folder the link leads to is
// listed, checked or named in the log.
TEST_F(ShelfscanTrees, AFolderSwappedJustBeforeTheDescentIsNotEntered) {
  const std::string share = Share("share");
  const auto [option, logs] = LogFolder();
  ProcessOptions options;
  options.environment = {
      std::string("LD_PRELOAD=") + SWAP_BEFORE_DESCENT_LIB, "BM_SWAP_FOLDER=u",
      "BM_SWAP=setpriv --reuid=65534 --regid=65534 --clear-groups sh -c \"cd '" + share + "' && mv u u.old && ln -s '" +
          outside_ + "' u\"",
      std::string("REAL=") + BOOKMENDER_EXE, "SWAP=true", "VICTIM=none"};
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                                "verify_asan_link_order=0");
  std::map<std::string, std::string> before, after;
  Snapshot(outside_, before);
  const ProcessResult r = Scan({"-fix", option, share}, options, Install(kSwapper));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  Snapshot(outside_, after);
  EXPECT_EQ(after, before);
  ASSERT_TRUE(Exists(share + "/u.old")) << "the swap was made";
  const std::vector<std::string> lines = LogLines(MainLog(logs));
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "[scan err]," + share + "/u,boost::filesystem::directory_iterator::construct: Too many levels of "
                      "symbolic links: \"" + share + "/u\""),
            lines.end())
      << ::testing::PrintToString(lines);
  for (const std::string& line : lines) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
}

// A name from a list whose folder another user turned into a link before
// the list was read is not checked; an administrator's own link is followed.
TEST_F(ShelfscanTrees, ListedNamesFollowOnlyLinksOfRootOrTheScanner) {
  const std::string share = Share("share");
  const std::string alias = Link("alias", share);  // root's own
  ASSERT_EQ(system(("cd '" + share + "' && mv u u.old && ln -s '" + outside_ + "' u && chown -h 65534:65534 u").c_str()), 0);
  const std::string list = File("list", Text(share + "/u/secret.xls\n" + alias + "/h.xls\n"));
  std::map<std::string, std::string> before, after;
  Snapshot(outside_, before);
  const auto [option, logs] = LogFolder();
  const ProcessResult r = ScanWith("true", {"-fix", option, "-files:" + list});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  Snapshot(outside_, after);
  EXPECT_EQ(after, before);
  const std::string refused = "[scan err]," + share +
                              "/u/secret.xls,A symbolic link of another user lies on the way to this file; it is not checked.";
  EXPECT_EQ(LogLines(MainLog(logs)), (std::vector<std::string>{refused, "[fixed]," + alias + "/h.xls"}));
  // Bookmender is told where each file was found and which file it was.
  const std::vector<std::vector<std::string>> calls = Calls(Path("record"), true);
  ASSERT_EQ(calls.size(), 1u);
  struct stat st {};
  ASSERT_EQ(lstat((share + "/h.xls").c_str(), &st), 0);
  EXPECT_EQ(calls[0], (std::vector<std::string>{"-fix", "-beneath:" + alias,
                                                "-identity:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino),
                                                alias + "/h.xls"}));
}

}  // namespace
