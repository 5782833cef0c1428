// The built Shelfscan's logs as other users of the machine meet them: the
// modes of the log folder and of every file in it, log folders planted or
// shared by another user, a second user who tries to open and lock the logs
// during a scan, names that could split or reorder a line, and files that
// are no files at all under a workbook's name.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "process.h"
#include "scan_console.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

constexpr int kNobody = 65534;
const std::string kFffd = "\xEF\xBF\xBD";  // U+FFFD
const std::string kNotWorkbook = "Final result: Specified file is not an Excel 97 or later XLS workbook";

// Records its arguments (count first, each ended by NUL) and writes one line.
// Its run on gate.xls creates $ARRIVED and waits, up to 30 s, for $GATE.
const char kStandIn[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> \"$RECORD\"\n"
    "for last; do :; done; set -- \"$1\" \"$last\"\n"
    "if [ \"${2##*/}\" = gate.xls ]; then\n"
    "  : > \"$ARRIVED\"; i=0\n"
    "  while [ ! -e \"$GATE\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n"
    "fi\n"
    "echo \"checked $2\"\n"
    "exit 0\n";

mode_t Mode(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Waits up to 30 s for `path` to exist.
bool AppearsSoon(const std::string& path) {
  for (int i = 0; i < 3000 && !Exists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return Exists(path);
}

class ShelfscanLogs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, as a scan over users' folders runs";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  }

  ProcessResult Scan(const std::vector<std::string>& arguments, const std::string& program,
                     ProcessOptions options = {}) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    options.mergeOutput = true;
    options.environment.push_back("RECORD=" + Path("record"));
    return RunProcess(argv, options);
  }
  std::string Path(const std::string& relative) const { return dir_.file(relative); }
  // A folder with exactly `mode`, belonging to `owner`.
  std::string Folder(const std::string& relative, mode_t mode = 0755, int owner = 0) {
    const std::string path = Path(relative);
    EXPECT_EQ(::mkdir(path.c_str(), mode), 0) << path;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    EXPECT_EQ(::chown(path.c_str(), static_cast<uid_t>(owner), static_cast<gid_t>(owner)), 0);
    return path;
  }
  std::string File(const std::string& relative) {
    const std::string path = Path(relative);
    WriteFileBytes(path, Bytes{});
    EXPECT_EQ(::chmod(path.c_str(), 0644), 0);
    return path;
  }
  std::string Link(const std::string& relative, const std::string& target, int owner = 0) {
    const std::string path = Path(relative);
    EXPECT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    EXPECT_EQ(::lchown(path.c_str(), static_cast<uid_t>(owner), static_cast<gid_t>(owner)), 0);
    return path;
  }
  // A copy of Shelfscan with the stand-in, or the real Bookmender, beside it.
  std::string Install(bool real = false) {
    const std::string bin = Folder("bin" + std::to_string(installs_++));
    WriteFileBytes(bin + "/Shelfscan", ReadFileBytes(SHELFSCAN_EXE));
    InstallBookmender(bin, real ? "real" : kStandIn);
    EXPECT_EQ(::chmod((bin + "/Shelfscan").c_str(), 0755), 0);
    return bin + "/Shelfscan";
  }
  // The one main log or detail log in `folder`, as bytes.
  std::string Log(const std::string& folder, bool detail) const {
    std::vector<std::string> found;
    for (const std::string& name : Entries(folder)) {
      const bool isLog = name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
      if (isLog && (name.find("_detail") != std::string::npos) == detail) found.push_back(name);
    }
    if (found.size() != 1) {
      ADD_FAILURE() << found.size() << (detail ? " detail" : " main") << " logs in " << folder;
      return std::string();
    }
    const Bytes bytes = ReadFileBytes(folder + "/" + found[0]);
    return std::string(bytes.begin(), bytes.end());
  }

  TempDir dir_;
  int installs_ = 0;
};

// The physical path of a folder with its separator: what refusals name.
std::string Real(const std::string& path) {
  char resolved[PATH_MAX];
  EXPECT_NE(::realpath(path.c_str(), resolved), nullptr) << path;
  return std::string(resolved) + "/";
}

TEST_F(ShelfscanLogs, TheLogFolderAndEveryFileInItAreTheOwnersAloneWhateverTheUmask) {
  const std::string program = Install();
  const std::string root = Folder("r");
  File("r/a.xls");
  File("r/b.xls");
  for (const mode_t mask : {0000, 0022, 0277}) {
    const std::string tag = std::to_string(mask);
    const std::string folder = Path("logs" + tag);
    const std::string outside = Path("report" + tag + ".jsonl");
    // Gathered output and a report inside the folder too: every file it gets.
    const mode_t before = ::umask(mask);
    const ProcessResult r = Scan({"-detail", "-jobs:2", "-report:" + outside, "-l:" + folder, root}, program);
    const ProcessResult inside =
        Scan({"-detail", "-report:" + folder + "/report.jsonl", "-l:" + folder, root}, program);
    ::umask(before);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(inside.exitCode, 0) << inside.output;
    EXPECT_EQ(Mode(folder), 0700u) << "umask " << tag;
    const std::vector<std::string> names = Entries(folder);
    EXPECT_GE(names.size(), 3u) << "main and detail logs and the report";
    for (const std::string& name : names) EXPECT_EQ(Mode(folder + "/" + name), 0600u) << name << ", umask " << tag;
    EXPECT_EQ(Mode(outside), 0600u) << "umask " << tag;
    EXPECT_EQ(ReportEntries(outside).size(), 2u);
  }
}

TEST_F(ShelfscanLogs, APlantedOrSharedLogFolderIsRefusedBeforeAnyRunWithOneLine) {
  const std::string program = Install();
  const std::string root = Folder("r");
  const std::string workbook = File("r/a.xls");
  // Root's own folder, where the planted links lead, and the places users
  // share: /tmp's kind, a folder open to all without the sticky bit, and a
  // user's own folder.
  Folder("safe");
  const std::string target = Folder("safe/logs", 0700);
  const std::string sticky = Folder("sticky", 01777);
  const std::string open = Folder("open", 0777);
  const std::string theirs = Folder("theirs", 0755, kNobody);
  const std::string theirFolder = Folder("sticky/their-logs", 0755, kNobody);
  Folder("safe/shared", 0777);
  Folder("safe/group", 0775);
  Folder("theirs/logs", 0700);
  Link("sticky/their-link", target, kNobody);
  Link("open/their-link", target, kNobody);
  Link("root-link", target);
  Link("sticky/their-way", Path("safe"), kNobody);

  struct Case {
    std::string folder;
    std::string reason;
    std::string watched;  // what must stay empty
    int uid;
  };
  const std::vector<Case> cases = {
      {theirFolder, "it belongs to another user.", theirFolder, -1},
      {Path("sticky/their-link"), "it is a symbolic link.", target, -1},
      {Path("open/their-link"),
       "other users may write to " + Real(open) + " on the way to it, which has no sticky bit.", target, -1},
      {Path("root-link"), "it is a symbolic link.", target, -1},
      {Path("safe/shared"), "other users may write to it.", Path("safe/shared"), kNobody},
      {Path("safe/group"), "other users may write to it.", Path("safe/group"), kNobody},
      {Path("theirs/logs"), Real(theirs) + " on the way to it belongs to another user.", Path("theirs/logs"), -1},
      {Path("sticky/their-way/logs"),
       "the symbolic link " + Real(sticky) + "their-way on the way to it belongs to another user.", target, -1},
  };
  const std::string report = Path("report.jsonl");
  for (const Case& c : cases) {
    ProcessOptions options;
    options.uid = c.uid;
    const ProcessResult r = Scan({"-fix", "-detail", "-report:" + report, "-l:" + c.folder, root}, program, options);
    EXPECT_EQ(r.exitCode, 1) << c.folder;
    EXPECT_EQ(r.output, "[scan err]," + c.folder + "/,The log folder is refused: " + c.reason + "\n");
    EXPECT_TRUE(Entries(c.watched).empty()) << c.folder;
  }
  EXPECT_FALSE(Exists(report));
  EXPECT_TRUE(Calls(Path("record")).empty()) << "no Bookmender run";

  // Used by the user they belong to; root's own folder open to all is
  // root's choice, and root's own link on the way an administrator's alias.
  Link("safe-link", Path("safe"));
  const std::vector<std::pair<std::string, int>> accepted = {
      {theirFolder, kNobody}, {Path("safe/shared"), -1}, {Path("safe-link/logs"), -1}};
  for (const auto& [folder, uid] : accepted) {
    ProcessOptions options;
    options.uid = uid;
    const ProcessResult r = Scan({"-l:" + folder, Path("missing")}, program, options);
    EXPECT_EQ(r.exitCode, 0) << folder << "\n" << r.output;
    EXPECT_EQ(Entries(folder).size(), 1u) << folder;
  }
}

TEST_F(ShelfscanLogs, AFolderAnotherUserPlantsWhileTheScanMakesItIsRefused) {
  const std::string program = Install();
  const std::string root = Folder("r");
  File("r/a.xls");
  const std::string folder = Folder("sticky", 01777) + "/logs";
  const std::string mark = Path("mark");
  ProcessOptions slow;
  // Found missing, then made a second and a half later: the other user's
  // folder comes in between.
  slow.environment = {std::string("LD_PRELOAD=") + SLOW_MKDIR_LIB, "BM_MKDIR_DELAY_MS=1500", "BM_MKDIR_MARK=" + mark};
  const char* asan = std::getenv("ASAN_OPTIONS");
  slow.environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                             "verify_asan_link_order=0");
  ProcessResult r;
  std::thread scan([&] { r = Scan({"-l:" + folder, root}, program, slow); });
  const bool waiting = AppearsSoon(mark);
  ProcessOptions asNobody;
  asNobody.uid = kNobody;
  const ProcessResult planted = RunProcess({"/bin/mkdir", "-m", "0755", folder}, asNobody);
  scan.join();
  ASSERT_TRUE(waiting) << "the scan never came to make its folder";
  ASSERT_EQ(planted.exitCode, 0) << planted.output << planted.error;
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "[scan err]," + folder + "/,The log folder is refused: it belongs to another user.\n");
  EXPECT_TRUE(Entries(folder).empty());
  EXPECT_TRUE(Calls(Path("record")).empty());
}

TEST_F(ShelfscanLogs, NoOtherUserCanOpenOrLockALogAndTheScanNeverWaits) {
  const std::string program = Install();
  const std::string root = Folder("r");
  for (const char* name : {"r/gate.xls", "r/a.xls", "r/b.xls"}) File(name);
  // A file that user may read is held: a refusal below is the logs' own.
  {
    LockHolder control(File("readable"), 'r', kNobody);
    ASSERT_TRUE(control.held());
  }
  // A folder the scan makes, and one of root's that every user may list and
  // enter, where only the files' modes keep them out.
  for (const bool existing : {false, true}) {
    const std::string tag = existing ? "existing" : "new";
    const std::string folder = existing ? Folder("logs-" + tag, 0755) : Path("logs-" + tag);
    const std::string report = folder + "/report.jsonl";
    ProcessOptions options;
    options.environment = {"ARRIVED=" + Path("arrived-" + tag), "GATE=" + Path("gate-" + tag)};
    ProcessResult r;
    std::thread scan([&] { r = Scan({"-detail", "-report:" + report, "-l:" + folder, root}, program, options); });
    const bool arrived = AppearsSoon(Path("arrived-" + tag));
    std::vector<std::unique_ptr<LockHolder>> holders;
    const std::vector<std::string> names = Entries(folder);
    for (const std::string& name : names) {
      // Shared locks of every kind: open-file-description, classic and flock.
      for (const char kind : {'r', 'R', 's'}) {
        holders.push_back(std::make_unique<LockHolder>(folder + "/" + name, kind, kNobody));
        EXPECT_FALSE(holders.back()->held()) << name << " " << kind << " in the " << tag << " folder";
      }
    }
    WriteFileBytes(Path("gate-" + tag), Bytes{});
    scan.join();
    ASSERT_TRUE(arrived) << r.output;
    EXPECT_EQ(names.size(), 3u) << "main and detail logs and the report";
    // Every line, and no lost one after a wait for a lock.
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(LogLines(Log(folder, false)).size(), 3u);
    EXPECT_EQ(ReportEntries(report).size(), 3u);
  }
}

TEST_F(ShelfscanLogs, NamesThatCouldSplitOrReorderALineShowReplacedButTheReportKeepsThem) {
  const std::string program = Install(true);
  const std::string root = Folder("r");
  // The next-line control, the line and paragraph separators and the
  // bidirectional controls.
  const std::uint32_t characters[] = {0x85,   0x2028, 0x2029, 0x202A, 0x202B, 0x202C, 0x202D,
                                      0x202E, 0x2066, 0x2067, 0x2068, 0x2069, 0x200E, 0x200F};
  std::set<std::string> files, shownLog, shownWarnings;
  std::vector<std::string> raw;
  for (const std::uint32_t c : characters) {
    std::string character;
    AppendUtf8(character, c);
    raw.push_back(character);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(c));
    files.insert(File("r/" + std::string(hex) + "a" + character + "b.xls"));
    shownLog.insert("[not BIFF8 workbook]," + root + "/" + hex + "a" + kFffd + "b.xls");
    Link("r/" + std::string(hex) + "-" + character + "-link", "nowhere");
    shownWarnings.insert("[warning]," + root + "/" + hex + "-" + kFffd + "-link,Skipped symbolic link");
  }
  const std::string folder = Path("logs");
  const std::string report = Path("report.jsonl");
  const ProcessResult r = Scan({"-detail", "-report:" + report, "-l:" + folder, root}, program);
  EXPECT_EQ(r.exitCode, 0);

  const std::vector<std::string> console = Lines(SplitAtSummary(r.output).before);
  EXPECT_EQ(std::set<std::string>(console.begin(), console.end()), shownWarnings);
  const std::vector<std::string> log = LogLines(Log(folder, false));
  std::set<std::string> expected = shownLog;
  expected.insert(shownWarnings.begin(), shownWarnings.end());
  EXPECT_EQ(std::set<std::string>(log.begin(), log.end()), expected);
  EXPECT_EQ(log.size(), expected.size());
  const std::string detail = Log(folder, true);
  for (const std::string& line : shownLog) {
    EXPECT_NE(detail.find("Checking " + line.substr(line.find(',') + 1) + "\n"), std::string::npos) << line;
  }
  // None of the characters anywhere, in UTF-8 or UTF-16LE.
  const std::string mainBytes = Log(folder, false);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    EXPECT_EQ(r.output.find(raw[i]), std::string::npos) << std::hex << characters[i];
    EXPECT_EQ(detail.find(raw[i]), std::string::npos) << std::hex << characters[i];
    const std::string unit{static_cast<char>(characters[i] & 0xFF), static_cast<char>(characters[i] >> 8)};
    for (std::size_t at = 2; at + 1 < mainBytes.size(); at += 2) {
      EXPECT_FALSE(mainBytes.compare(at, 2, unit) == 0) << std::hex << characters[i] << " in the main log";
    }
  }
  // The report gives every name back exactly.
  std::set<std::string> reported;
  for (const auto& entry : ReportEntries(report)) reported.insert(PathOf(entry, "path"));
  EXPECT_EQ(reported, files);
}

TEST_F(ShelfscanLogs, ASocketFifoOrDeviceNamedLikeAWorkbookIsNoWorkbook) {
  const std::string program = Install(true);
  const std::string root = Folder("r");
  const std::string socketPath = Path("r/x.xls");
  const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listening, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listening, 1), 0);
  const std::string fifo = Path("r/fifo.xls");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string device = Path("r/null.xls");
  ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);

  for (const std::string& path : {socketPath, fifo, device}) {
    for (const char* mode : {"-check", "-fix"}) {
      const ProcessResult r = RunProcess({BOOKMENDER_EXE, mode, path});
      EXPECT_EQ(r.exitCode, 54) << path << " " << mode << "\n" << r.output << r.error;
      EXPECT_EQ(Lines(r.output).back(), kNotWorkbook) << path;
    }
  }
  const std::string folder = Path("logs");
  const std::string report = Path("report.jsonl");
  const ProcessResult r = Scan({"-fix", "-report:" + report, "-l:" + folder, root}, program);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[not BIFF8 workbook]", 3}}));
  const std::vector<std::string> log = LogLines(Log(folder, false));
  EXPECT_EQ(std::set<std::string>(log.begin(), log.end()),
            (std::set<std::string>{"[not BIFF8 workbook]," + socketPath, "[not BIFF8 workbook]," + fifo,
                                   "[not BIFF8 workbook]," + device}));
  for (const auto& entry : ReportEntries(report)) {
    EXPECT_EQ(entry.at("exit").number, 54) << PathOf(entry, "path");
    EXPECT_EQ(entry.at("label").text, "not BIFF8 workbook");
  }
  ::close(listening);
}

}  // namespace
