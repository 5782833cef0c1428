// The built Shelfscan with its input options, run as a user runs it: file
// lists (both separators, standard input, names that are no UTF-8 or hold a
// line feed), exclusions, -anycase, and one share cut into shards through
// GNU parallel as several machines would run it. A stand-in Bookmender
// beside a copy of Shelfscan records every argument vector it gets; some
// cases run the real one over generated workbooks.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <dirent.h>
#include <map>

#include "process.h"
#include "samples.h"
#include "scan_console.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

constexpr int kNobody = 65534;
const std::string kFffd = "\xEF\xBF\xBD";  // U+FFFD
const std::string kNotFound = "The path doesn't exist!";
const std::string kSkipped = "Skipped symbolic link";
const std::string kListedFolder = "It is a folder; folders named in a file list are not searched.";

// Records its arguments (count first, each ended by NUL) and exits with 0.
const char kStandIn[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> \"$RECORD\"\n"
    "exit 0\n";


// The calls a check of each of `paths` in turn makes.
std::vector<std::vector<std::string>> Checks(const std::vector<std::string>& paths) {
  std::vector<std::vector<std::string>> calls;
  for (const std::string& p : paths) calls.push_back({"-check", p});
  return calls;
}

class ShelfscanInputs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0); }

  // Runs Shelfscan (the copy beside the stand-in unless `program`) with its
  // console merged. With `input`, standard input is a pipe that carries
  // those bytes (a file when `inputAsFile`).
  ProcessResult Scan(const std::vector<std::string>& arguments, const std::string& program,
                     const std::string* input = nullptr, bool inputAsFile = false, ProcessOptions options = {}) {
    std::vector<std::string> argv{program};
    if (input) {
      const std::string file = Path("input" + std::to_string(inputs_++));
      WriteFileBytes(file, Text(*input));
      options.environment.push_back("INPUT=" + file);
      argv = {"/bin/sh", "-c", inputAsFile ? "exec \"$0\" \"$@\" < \"$INPUT\"" : "cat \"$INPUT\" | exec \"$0\" \"$@\"",
              program};
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    options.mergeOutput = true;
    options.environment.push_back("RECORD=" + Record());
    return RunProcess(argv, options);
  }
  std::string Record() const { return Path("record"); }
  std::string Path(const std::string& relative) const { return dir_.file(relative); }
  std::string Folder(const std::string& relative) {
    const std::string path = Path(relative);
    EXPECT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
    return path;
  }
  std::string File(const std::string& relative, const Bytes& bytes = {'x'}) {
    const std::string path = Path(relative);
    WriteFileBytes(path, bytes);
    EXPECT_EQ(::chmod(path.c_str(), 0644), 0);
    return path;
  }
  std::string List(const std::string& relative, const std::string& bytes) { return File(relative, Text(bytes)); }
  std::string Link(const std::string& relative, const std::string& target) {
    const std::string path = Path(relative);
    EXPECT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    return path;
  }
  // A copy of Shelfscan in its own folder with the stand-in, or with the real
  // Bookmender, beside it.
  std::string Install(bool real = false) {
    const std::string bin = Folder("bin" + std::to_string(installs_++));
    WriteFileBytes(bin + "/Shelfscan", ReadFileBytes(SHELFSCAN_EXE));
    InstallBookmender(bin, real ? "real" : kStandIn);
    EXPECT_EQ(::chmod((bin + "/Shelfscan").c_str(), 0755), 0);
    return bin + "/Shelfscan";
  }
  // A fresh log folder: the argument and the folder.
  std::pair<std::string, std::string> LogFolder() {
    const std::string folder = Path("logs" + std::to_string(logs_++));
    return {"-l:" + folder, folder};
  }
  // The lines of the one main log in `folder`.
  std::vector<std::string> MainLog(const std::string& folder) const {
    std::vector<std::string> logs;
    for (const std::string& name : Sorted(Entries(folder))) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) logs.push_back(name);
    }
    if (logs.size() != 1) {
      ADD_FAILURE() << logs.size() << " main logs in " << folder;
      return {};
    }
    return LogLines(ReadFileBytes(folder + "/" + logs[0]));
  }

  TempDir dir_;
  int installs_ = 0;
  int logs_ = 0;
  int inputs_ = 0;
};

// --- File lists ---

TEST_F(ShelfscanInputs, ListsCheckExactlyTheirFilesInOrderBesideTheSearchPaths) {
  const std::string program = Install();
  Folder("r");
  const std::string text = File("r/notes.txt");  // listed: checked whatever its extension
  const std::string book = File("r/book, 2026.xls");
  const std::string folder = Folder("r/x.xls");
  const std::string link = Link("r/link.xls", "book, 2026.xls");
  const std::string fifo = Path("r/pipe.xls");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);  // not regular: Bookmender has its own answer for it
  const std::string missing = Path("r/missing.xls");
  Folder("walked");
  const std::string walked = File("walked/w.xls");
  const std::string newline = File("r/new\nline.xls");
  const std::string raw = File("r/raw\xFF\xFE \xE9t\xE9.xls");  // Latin-1 bytes, no UTF-8
  const std::string cr = File("r/ends in cr\r");
  const std::string cwdFile = File("relative.xls");

  // One per line, LF and CR LF, empty lines, no line end after the last;
  // relative names stay relative.
  const std::string lines = List("lines.txt", text + "\r\n\n" + folder + "\n" + missing + "\r\n\r\n" + link + "\n" +
                                                  fifo + "\nrelative.xls\n" + book);
  // NUL-separated: line feeds, CRs and bytes that are no UTF-8 are the
  // names' own.
  const std::string nul = List("nul.txt", newline + '\0' + raw + '\0' + '\0' + cr + '\0' + book);

  const auto [option, logs] = LogFolder();
  ProcessOptions inDir;
  inDir.workingDirectory = dir_.path();
  const ProcessResult r = Scan({option, "-files:" + lines, Path("walked"), "-files0:" + nul}, program, nullptr, false,
                               inDir);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  const std::vector<std::string> expected = {
      "[ok]," + text,
      "[scan err]," + folder + "," + kListedFolder,
      "[scan err]," + missing + "," + kNotFound,
      "[warning]," + link + "," + kSkipped,
      "[ok]," + fifo,
      "[ok],relative.xls",
      "[ok]," + book,
      "[ok]," + walked,
      "[ok]," + Path("r/new" + kFffd + "line.xls"),
      "[ok]," + Path("r/raw" + kFffd + kFffd + " " + kFffd + "t" + kFffd + ".xls"),
      "[ok]," + Path("r/ends in cr" + kFffd),
      "[ok]," + book,
  };
  EXPECT_EQ(MainLog(logs), expected);
  // Result lines go to the log only; a listed folder or missing name is no
  // file checked.
  EXPECT_TRUE(ScanConsoleIs(r.output, ConsoleText({expected[1], expected[2], expected[3]}), {{"[ok]", 9}}));
  // The child gets the very bytes of each name.
  EXPECT_EQ(Calls(Record()), Checks({text, fifo, "relative.xls", book, walked, newline, raw, cr, book}));
}

TEST_F(ShelfscanInputs, ListsComeFromStandardInputThroughAPipeOrAFile) {
  const std::string program = Install();
  Folder("r");
  const std::string a = File("r/a.xls");
  const std::string b = File("r/b\nc.xls");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"-files:-", a + "\r\n" + a + "\n"},
      {"-files0:-", a + '\0' + b + '\0'},
  };
  for (const bool asFile : {false, true}) {
    for (const auto& [option, input] : cases) {
      SCOPED_TRACE(option + (asFile ? " from a file" : " from a pipe"));
      ::unlink(Record().c_str());
      const auto [logOption, logs] = LogFolder();
      const ProcessResult r = Scan({"-fix", logOption, option}, program, &input, asFile);
      EXPECT_EQ(r.exitCode, 0) << r.output;
      EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 2}}));
      const std::vector<std::vector<std::string>> calls = Calls(Record());
      const std::string second = option == "-files:-" ? a : b;
      EXPECT_EQ(calls, (std::vector<std::vector<std::string>>{{"-fix", a}, {"-fix", second}}));
      EXPECT_EQ(MainLog(logs).size(), 2u);
    }
  }
}

TEST_F(ShelfscanInputs, AListThatCannotBeReadOrABadPatternEndsTheRunBeforeAnythingIsMade) {
  const std::string program = Install();
  const std::string root = Folder("r");
  File("r/a.xls");
  const std::string locked = List("locked.txt", root + "/a.xls\n");
  ASSERT_EQ(::chmod(locked.c_str(), 0600), 0);  // root's own; not for the user below
  const std::string good = List("good.txt", root + "/a.xls\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string line;
    int uid;
    bool closedInput;
  };
  const std::string cannot = ",Cannot read the file list: ";
  const std::vector<Case> cases = {
      {{"-files:" + Path("missing.txt"), root}, "[scan err]," + Path("missing.txt") + cannot +
                                                     "The system cannot find the file specified.", -1, false},
      {{"-files0:" + Path("no/such/list")}, "[scan err]," + Path("no/such/list") + cannot +
                                                "The system cannot find the path specified.", -1, false},
      {{"-files:" + good, "-files:" + root}, "[scan err]," + root + cannot + "It is a folder.", -1, false},
      {{"-files:" + locked}, "[scan err]," + locked + cannot + "Access is denied.", kNobody, false},
      {{"-files:", root}, "[scan err],-files:" + cannot + "No file list is named.", -1, false},
      {{"-files0:-"}, "[scan err],-" + cannot + "The handle is invalid.", -1, true},
      {{"-exclude:.snapshot", "-exclude:share/.snapshot", root},
       "[scan err],-exclude:share/.snapshot,An exclusion pattern is matched against names, which cannot hold \"/\".",
       -1, false},
      {{"-exclude:", root}, "[scan err],-exclude:,An exclusion pattern cannot be empty.", -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto [option, logs] = LogFolder();
    std::vector<std::string> arguments = c.arguments;
    arguments.push_back(option);
    ProcessOptions options;
    options.uid = c.uid;
    ProcessResult r;
    if (c.closedInput) {
      arguments.insert(arguments.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&-", program});
      options.mergeOutput = true;
      options.environment.push_back("RECORD=" + Record());
      r = RunProcess(arguments, options);
    } else {
      r = Scan(arguments, program, nullptr, false, options);
    }
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, c.line + "\n");
    EXPECT_FALSE(Exists(logs)) << "no log folder is made";
  }
  EXPECT_TRUE(Calls(Record()).empty()) << "nothing was checked";

  // Options without a search path or a list are no scan.
  const ProcessResult r = Scan({"-anycase", "-exclude:x"}, program);
  EXPECT_EQ(r.exitCode, 1);
  const std::vector<std::string> lines = testsupport::Lines(r.output);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Invalid parameters. Please provide at least one path to search.");
}

TEST_F(ShelfscanInputs, AListThatBreaksOffIsReportedInTheLogAndTheScanGoesOn) {
  // A list on a file system that fails its reads: a FUSE or network mount
  // would do it; /proc/self/mem fails at once with EIO where nothing is mapped.
  const std::string program = Install();
  const std::string root = Folder("r");
  const std::string a = File("r/a.xls");
  const auto [option, logs] = LogFolder();
  const ProcessResult r = Scan({option, "-files:/proc/self/mem", root}, program);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  const std::string line = "[scan err],/proc/self/mem,Cannot read the file list: The request could not be performed "
                           "because of an I/O device error. The rest of the list is not checked.";
  EXPECT_TRUE(ScanConsoleIs(r.output, line + "\n", {{"[ok]", 1}}));
  EXPECT_EQ(MainLog(logs), (std::vector<std::string>{line, "[ok]," + a}));
}

// --- Exclusions ---

TEST_F(ShelfscanInputs, ExcludedFoldersAndFilesAreNeitherCheckedNorEnteredNorLogged) {
  const std::string program = Install();
  const std::string root = Folder("share");
  Folder("share/.snapshot");
  Folder("share/.snapshot/hourly.0");
  const std::string inSnapshot = File("share/.snapshot/hourly.0/a.xls");
  Link("share/.snapshot/hourly.0/link", "..");  // a warning if the folder were entered
  Folder("share/#recycle");
  File("share/#recycle/b.xls");
  Folder("share/dept");
  Folder("share/dept/.SnapShot");  // any letter case
  File("share/dept/.SnapShot/c.xls");
  File("share/dept/~$budget.xls");  // an office program's lock file
  const std::string kept = File("share/dept/budget.xls");
  const std::string notALock = File("share/dept/a~$b.xls");
  const std::string top = File("share/top.xls");
  const std::vector<std::string> exclusions = {"-exclude:.snapshot", "-exclude:#RECYCLE", "-exclude:~$*"};

  // Without the exclusions, all of it is met.
  auto [option, logs] = LogFolder();
  ProcessResult r = Scan({option, root}, program);
  EXPECT_TRUE(ScanConsoleIs(r.output, "[warning]," + inSnapshot.substr(0, inSnapshot.size() - 6) + "/link," + kSkipped + "\n",
                            {{"[ok]", 7}}));
  EXPECT_EQ(MainLog(logs).size(), 8u);

  ::unlink(Record().c_str());
  std::tie(option, logs) = LogFolder();
  std::vector<std::string> arguments = exclusions;
  arguments.insert(arguments.end(), {option, root});
  r = Scan(arguments, program);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 3}})) << "no line for what is left out";
  EXPECT_EQ(Sorted(MainLog(logs)), Sorted({"[ok]," + kept, "[ok]," + notALock, "[ok]," + top}));
  EXPECT_EQ(Calls(Record()).size(), 3u);

  // A listed name is left out by its own (last) name: an excluded folder or
  // lock file named in the list is passed over without a line; a file
  // listed below an excluded folder was listed on purpose.
  ::unlink(Record().c_str());
  std::tie(option, logs) = LogFolder();
  const std::string list = List("list", root + "/.snapshot\n" + root + "/dept/~$budget.xls\n" + root + "/#recycle/\n" +
                                            inSnapshot + "\n" + kept + "\n");
  arguments = exclusions;
  arguments.insert(arguments.end(), {option, "-files:" + list});
  r = Scan(arguments, program);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 2}}));
  EXPECT_EQ(MainLog(logs), (std::vector<std::string>{"[ok]," + inSnapshot, "[ok]," + kept}));
  EXPECT_EQ(Calls(Record()), Checks({inSnapshot, kept}));
}

// --- Letter case ---

TEST_F(ShelfscanInputs, AnyCaseSelectsXlsInEveryLetterCaseAndTheExactRuleStaysTheDefault) {
  const std::string program = Install(true);
  const std::string root = Folder("r");
  samples::WorkbookKind damaged;
  damaged.moved = {12};
  const Bytes book = samples::MakeWorkbook(damaged);
  samples::WorkbookKind healthy;
  healthy.moved = {0};
  const std::string report = File("r/REPORT.XLS", book);
  const std::string mixed = File("r/Budget.Xls", samples::MakeWorkbook(healthy));
  const std::string exact = File("r/exact.xls", book);
  File("r/other.XLSX", book);
  Folder("r/FOLDER.XLS");
  const std::string inner = File("r/FOLDER.XLS/inner.xLs", book);

  // The default: only the exact ".xls".
  auto [option, logs] = LogFolder();
  ProcessResult r = Scan({option, root}, program);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(MainLog(logs), std::vector<std::string>{"[fixable]," + exact});
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[fixable]", 1}}, 3)) << "REPORT.XLS, Budget.Xls and inner.xLs passed over";

  std::tie(option, logs) = LogFolder();
  r = Scan({"-fix", "-anycase", option, root}, program);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 1}, {"[fixed]", 3}}));
  EXPECT_EQ(Sorted(MainLog(logs)),
            Sorted({"[fixed]," + report, "[ok]," + mixed, "[fixed]," + exact, "[fixed]," + inner}));
  EXPECT_EQ(ReadFileBytes(report + ".bak"), book) << "REPORT.XLS was repaired and backed up";
  EXPECT_NE(ReadFileBytes(report), book);

  // Its backup is never selected, in any case.
  std::tie(option, logs) = LogFolder();
  r = Scan({"-anycase", option, root}, program);
  EXPECT_EQ(Sorted(MainLog(logs)), Sorted({"[ok]," + report, "[ok]," + mixed, "[ok]," + exact, "[ok]," + inner}));
}

// --- Several machines ---

// Whether GNU parallel (not another program of that name) is installed.
bool HaveGnuParallel() {
  const ProcessResult r = RunProcess({"/bin/sh", "-c", "parallel --version 2>/dev/null | head -n 1"});
  return r.output.rfind("GNU parallel", 0) == 0;
}

// A report entry without its time, as one text: which members it has and
// their values, so that entries compare as wholes.
std::string WithoutSeconds(const std::map<std::string, JsonValue>& entry) {
  std::string text;
  for (const auto& [name, value] : entry) {
    // What differs from run to run: the time taken, the time a repair left
    // on the file, and the folder the file was handed over below (the
    // searched folder, or its own for a listed file).
    if (name == "seconds" || name == "mtime" || name == "root") continue;
    text += name + "=";
    switch (value.kind) {
      case JsonValue::kString: text += "\"" + value.text + "\""; break;
      case JsonValue::kNumber: text += std::to_string(value.number); break;
      case JsonValue::kNull: text += "null"; break;
    }
    text += ";";
  }
  return text;
}

std::vector<std::string> EntriesWithoutSeconds(const std::string& report) {
  std::vector<std::string> entries;
  for (const auto& entry : ReportEntries(report)) entries.push_back(WithoutSeconds(entry));
  return Sorted(entries);
}

// The summaries of several scans written one after another: their label
// counts added up. Fails on anything else in `output`.
std::map<std::string, unsigned long> SummedSummaries(std::string output, int scans) {
  std::map<std::string, unsigned long> sums;
  for (int i = 0; i < scans; ++i) {
    const ScanConsole console = SplitAtSummary(output);
    EXPECT_TRUE(console.summary.found) << "summary " << i + 1 << " of " << scans;
    EXPECT_EQ(console.before, "");
    EXPECT_EQ(console.problems, std::vector<std::string>{});
    for (const auto& [label, n] : console.summary.labels) sums[label] += n;
    output = console.after;
  }
  EXPECT_EQ(output, "") << "more than the summaries";
  return sums;
}

TEST_F(ShelfscanInputs, TwoShardsThroughGnuParallelReportTheEntriesOfOneRun) {
  if (!HaveGnuParallel()) GTEST_SKIP() << "GNU parallel is not installed (scripts/install-deps installs it)";
  const std::string program = Install(true);
  const std::string root = Folder("share");
  samples::WorkbookKind damaged;
  damaged.moved = {12};
  samples::WorkbookKind untagged;
  untagged.tagged = false;
  const Bytes kinds[] = {samples::MakeWorkbook(damaged), samples::MakeWorkbook(untagged), Text("not a workbook")};
  // Names that a line list could not carry and that are no UTF-8, in folders
  // of their own.
  const std::string names[] = {"plain", "new\nline", "comma, \"quoted\"", "caf\xE9", "blank name"};
  std::map<std::string, Bytes> files;
  for (int f = 0; f < 3; ++f) {
    const std::string folder = "share/dept " + std::to_string(f);
    Folder(folder);
    for (int i = 0; i < 7; ++i) {
      const Bytes& bytes = kinds[(i + f) % 3];
      files[File(folder + "/" + names[i % 5] + " " + std::to_string(i) + ".xls", bytes)] = bytes;
    }
    File(folder + "/notes " + std::to_string(f) + ".txt");
  }
  const int count = static_cast<int>(files.size());
  // Every workbook as it was made, and no backup beside it.
  const auto restore = [&]() {
    for (int f = 0; f < 3; ++f) {
      const std::string folder = root + "/dept " + std::to_string(f);
      for (const std::string& name : Entries(folder)) {
        const std::string path = folder + "/" + name;
        if (files.count(path) == 0 && name.rfind("notes ", 0) != 0) ::unlink(path.c_str());
      }
    }
    for (const auto& [path, bytes] : files) WriteFileBytes(path, bytes);
  };

  for (const std::string mode : {"-check", "-fix"}) {
    SCOPED_TRACE(mode);
    restore();
    // One run over the whole share.
    const auto [option, logs] = LogFolder();
    const std::string report = Path("whole" + mode + ".jsonl");
    const ProcessResult whole = Scan({mode, option, "-report:" + report, root}, program);
    ASSERT_EQ(whole.exitCode, 0) << whole.output;
    const std::vector<std::string> expectedLines = Sorted(MainLog(logs));
    ASSERT_EQ(expectedLines.size(), files.size());
    const std::vector<std::string> expected = EntriesWithoutSeconds(report);
    ASSERT_EQ(expected.size(), files.size());
    EXPECT_EQ(std::adjacent_find(expected.begin(), expected.end()), expected.end()) << "an entry twice";
    const std::string fixed = mode == "-fix" ? "[fixed]" : "[fixable]";
    EXPECT_TRUE(ScanConsoleIs(whole.output, "", {{"[ok]", 7}, {fixed, 7}, {"[not BIFF8 workbook]", 7}}));
    // The names that are no UTF-8 come as base64, their backups too.
    const auto base64 = [&expected](const std::string& member) {
      return std::count_if(expected.begin(), expected.end(),
                           [&](const std::string& e) { return e.find(member + "_base64=") != std::string::npos; });
    };
    EXPECT_EQ(base64("path"), 3) << "\"caf\\xE9 3.xls\" in each folder";
    EXPECT_EQ(base64("backup"), mode == "-fix" ? 1 : 0) << "the damaged one of them";

    // The share's ".xls" files as find lists them, cut into two shards of
    // NUL-separated names; each shard a Shelfscan of its own with its own
    // log folder and report in it, as each host of --sshlogin would run it.
    restore();
    const std::string shards = Folder("shards" + mode);
    ProcessOptions options;
    options.mergeOutput = true;
    options.environment = {"SHARE=" + root, "SHELFSCAN=" + program, "SHARDS=" + shards, "MODE=" + mode,
                           "PER_SHARD=" + std::to_string((count + 1) / 2)};
    const ProcessResult sharded = RunProcess(
        {"/bin/sh", "-c",
         "find \"$SHARE\" -type f -name '*.xls' -print0 | "
         "parallel --will-cite --pipe --recend '\\0' -N \"$PER_SHARD\" -j 2 "
         "'\"$SHELFSCAN\" \"$MODE\" \"-l:$SHARDS/{#}\" \"-report:$SHARDS/{#}/report.jsonl\" -files0:-'"},
        options);
    ASSERT_EQ(sharded.exitCode, 0) << sharded.output;
    // Each shard's summary, and together the counts of the one run.
    EXPECT_EQ(SummedSummaries(sharded.output, 2),
              (std::map<std::string, unsigned long>{{"[ok]", 7}, {fixed, 7}, {"[not BIFF8 workbook]", 7}}));
    ASSERT_EQ(Sorted(Entries(shards)), (std::vector<std::string>{"1", "2"}));
    std::vector<std::string> entries, lines;
    for (const std::string shard : {"/1", "/2"}) {
      const std::vector<std::string> some = EntriesWithoutSeconds(shards + shard + "/report.jsonl");
      EXPECT_FALSE(some.empty()) << "shard " << shard;
      entries.insert(entries.end(), some.begin(), some.end());
      const std::vector<std::string> logged = MainLog(shards + shard);
      EXPECT_EQ(logged.size(), some.size()) << "a report entry for every line of shard " << shard;
      lines.insert(lines.end(), logged.begin(), logged.end());
    }
    // Every entry once: none missing, none doubled, each whole but its time.
    EXPECT_EQ(Sorted(entries), expected);
    EXPECT_EQ(Sorted(lines), expectedLines);
  }
}

}  // namespace
