// The Windows Shelfscan run over folder trees made here: the command line
// each child gets, the main log byte for byte, the detail log gathered
// through the inherited handle, and the Windows defaults. Most cases put a
// stand-in Bookmender beside a copy of Shelfscan; one runs the real one.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "platform/hresult.h"
#include "process.h"
#include "samples.h"
#include "scan_console.h"
#include "windows_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace wintest;

namespace {

std::string Utf16le(const std::string& utf8) {
  const std::wstring wide = Wide(utf8);
  std::string out;
  for (const wchar_t unit : wide) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
  }
  return out;
}

// The exact bytes of a main log holding `lines`.
std::string LogBytes(const std::vector<std::string>& lines) {
  std::string bytes("\xFF\xFE", 2);
  for (const std::string& line : lines) bytes += Utf16le(line + "\r\n");
  return bytes;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The lines of a main log (UTF-8), after checking that it starts with one
// byte-order mark and that every line ends in CR LF.
std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  EXPECT_EQ(log.substr(0, 2), "\xFF\xFE");
  std::size_t start = 2;
  while (start < log.size()) {
    const std::size_t end = log.find(Utf16le("\r\n"), start);
    EXPECT_NE(end, std::string::npos) << "a last line without CR LF";
    if (end == std::string::npos || (end - start) % 2 != 0) break;
    std::wstring line;
    for (std::size_t i = start; i < end; i += 2) {
      line.push_back(static_cast<wchar_t>(static_cast<unsigned char>(log[i]) | static_cast<unsigned char>(log[i + 1]) << 8));
    }
    EXPECT_EQ(line.find(L'\xFEFF'), std::wstring::npos) << "a second byte-order mark";
    lines.push_back(Utf8(line));
    start = end + 4;
  }
  return lines;
}

// The main log's names a run started now or in the next `seconds` seconds
// can take, in `folder`.
std::vector<std::string> NextLogNames(const std::string& folder, int seconds) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::vector<std::string> names;
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t <= now + seconds; ++t) {
    const std::tm* tm = std::localtime(&t);
    char name[64];
    std::snprintf(name, sizeof name, "%d-%s-%d-%02d-%02d-%02d.log", tm->tm_year + 1900, kMonths[tm->tm_mon],
                  tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
    names.push_back(folder + "\\" + name);
  }
  return names;
}

class ShelfscanWindowsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = dir_.file("bin");
    logs_ = dir_.file("logs");
    root_ = dir_.file("root");
    record_ = dir_.file("record.txt");
    outputs_ = dir_.file("outputs.txt");
    ASSERT_TRUE(MakeFolder(bin_));
    ASSERT_TRUE(MakeFolder(logs_));
    ASSERT_TRUE(MakeFolder(root_));
    ASSERT_TRUE(CopyInto(Built("Shelfscan.exe"), bin_ + "\\Shelfscan.exe"));
  }
  // Bookmender beside Shelfscan: the stand-in, or the real one.
  void PutBookmender(bool real) {
    ASSERT_TRUE(CopyInto(Built(real ? "Bookmender.exe" : "stand_in_bookmender.exe"), bin_ + "\\Bookmender.exe"));
  }
  ProcessResult Scan(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{bin_ + "\\Shelfscan.exe"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.environment = {"BM_RECORD=" + record_, "BM_OUTPUTS=" + outputs_};
    return RunProcess(argv, options);
  }
  std::string File(const std::string& relative, const Bytes& bytes = {'x'}) {
    const std::string path = root_ + "\\" + relative;
    WriteFileBytes(path, bytes);
    return path;
  }
  // The one main log and the detail log in the log folder.
  std::string Log(const char* suffix = ".log") {
    for (const std::string& name : Entries(logs_)) {
      if (EndsWith(name, "_detail.log") == (std::string(suffix) == "_detail.log")) {
        return Text(ReadFileBytes(logs_ + "\\" + name));
      }
    }
    return std::string();
  }
  // A fix over the root with a link, a second name of `target` or a folder
  // in the place of every log the run may take (`planted`): nothing is
  // written through it, and the run ends before any Bookmender run with one
  // line that names the log and the reason.
  void ExpectLogRefused(const std::vector<std::string>& planted, const std::string& target,
                        const std::string& reason) {
    const ProcessResult r = Scan({"-fix", "-detail", "-l:" + logs_, root_});
    EXPECT_EQ(r.exitCode, 1);
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), 1u) << r.output;
    const std::string prefix = "[scan err],";
    const std::string middle = ",Cannot open the log: ";
    const std::size_t at = lines[0].find(middle);
    ASSERT_TRUE(lines[0].rfind(prefix, 0) == 0 && at != std::string::npos) << lines[0];
    const std::string path = lines[0].substr(prefix.size(), at - prefix.size());
    EXPECT_NE(std::find(planted.begin(), planted.end(), path), planted.end()) << lines[0];
    EXPECT_EQ(lines[0].substr(at + middle.size()), reason);
    EXPECT_EQ(Text(ReadFileBytes(target)), "keep");
    EXPECT_TRUE(Calls().empty()) << "no Bookmender run without a log";
  }
  // What the stand-in recorded: one command line per run, without where the
  // file was found (which must be the root `root` when given).
  std::vector<std::string> Calls(const std::string& root = "") {
    std::vector<std::string> calls = Exists(record_) ? Lines(Text(ReadFileBytes(record_))) : std::vector<std::string>{};
    for (std::string& call : calls) call = WithoutPlace(call, root);
    return calls;
  }

  TempDir dir_;
  std::string bin_, logs_, root_, record_, outputs_;
};

TEST_F(ShelfscanWindowsRun, ChildrenGetTheQuotedCommandLineAndTheirCodesBecomeLabels) {
  PutBookmender(false);
  ASSERT_TRUE(MakeFolder(root_ + "\\a b"));
  const std::vector<std::pair<std::string, std::string>> files = {
      {File("a b\\code-0.xls"), "[ok],"},        {File("code-1.xls"), "[fixable],"},
      {File("code-4.xls"), "[password],"},       {File("code-53.xls"), "[sharing violation],"},
      {File("code-57.xls"), "[backup failed],"}, {File("code-9.xls"), "[unexpected],"},
  };
  File("code-2.xlsx");
  File("notes.txt");

  ProcessResult r = Scan({"-detail", "-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 0);
  // Result lines go to the log only; the summary counts them.
  const auto counts = [](const char* one) -> LabelCounts {
    return {{"[ok]", 1}, {one, 1}, {"[password]", 1}, {"[sharing violation]", 1}, {"[backup failed]", 1},
            {"[unexpected]", 1}};
  };
  EXPECT_TRUE(ScanConsoleIs(r.output, "", counts("[fixable]")));

  // The walk's order is the order of the calls; the log and the detail log
  // follow it exactly.
  const std::vector<std::string> calls = Calls(root_);
  ASSERT_EQ(calls.size(), files.size());
  std::vector<std::string> expectedCalls, logLines;
  std::string detail;
  for (const std::string& call : calls) {
    const auto file = std::find_if(files.begin(), files.end(),
                                   [&](const auto& f) { return call == " -check \"" + f.first + "\""; });
    ASSERT_NE(file, files.end()) << "unexpected command line: [" << call << "]";
    logLines.push_back(file->second + file->first);
    detail += "out " + file->first + "\r\nerr " + file->first + "\r\n";
  }
  EXPECT_EQ(Log(), LogBytes(logLines));
  EXPECT_EQ(Log("_detail.log"), detail);

  // Fix mode: the same files, "-fix" on the command line, "[fixed]," for 1.
  for (const std::string& name : Entries(logs_)) DeleteFileW(Wide(logs_ + "\\" + name).c_str());
  DeleteFileW(Wide(record_).c_str());
  r = Scan({"-l:" + logs_ + "\\", "-fix", root_});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", counts("[fixed]")));
  const std::vector<std::string> fixCalls = Calls();
  ASSERT_EQ(fixCalls.size(), files.size());
  for (const std::string& call : fixCalls) EXPECT_EQ(call.substr(0, 7), " -fix \"") << call;
  const std::string log = Log();
  EXPECT_NE(log.find(Utf16le("[fixed]," + files[1].first + "\r\n")), std::string::npos);
  EXPECT_EQ(Log("_detail.log"), "") << "no detail log without -detail";
}

TEST_F(ShelfscanWindowsRun, NamesBeyondTheCodePageReachBookmenderAndTheLogWhole) {
  PutBookmender(false);
  const std::string name = "\xE6\x97\xA5\xE6\x9C\xAC caf\xC3\xA9 \xF0\x9F\x93\x88, 2026.xls";
  const std::string path = File(name);
  const ProcessResult r = Scan({"-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Calls(), std::vector<std::string>{" -check \"" + path + "\""});
  EXPECT_EQ(Log(), LogBytes({"[ok]," + path}));
}

TEST_F(ShelfscanWindowsRun, EveryRootIsSearchedAfterARootThatIsAFile) {
  PutBookmender(false);
  const std::string path = File("a.xls");
  const ProcessResult r = Scan({"-l:" + logs_, path, root_});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(EndsInSummary(r.output, {{"[ok]", 1}})) << "a root that is a file is no file checked";
  const std::vector<std::string> lines = Lines(SplitAtSummary(r.output).before);
  ASSERT_EQ(lines.size(), 1u) << r.output;
  EXPECT_EQ(lines[0].substr(0, 12 + path.size()), "[scan err]," + path + ",") << lines[0];
  EXPECT_EQ(Log(), LogBytes({lines[0], "[ok]," + path}));
  EXPECT_EQ(Calls().size(), 1u);
}

// Whether `path` is a symbolic link as the system keeps it: a reparse point
// with that tag, read without following it.
bool IsSymbolicLink(const std::string& path) {
  const HANDLE handle = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_ATTRIBUTE_TAG_INFO info{};
  const bool read = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) != 0;
  CloseHandle(handle);
  return read && (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && info.ReparseTag == IO_REPARSE_TAG_SYMLINK;
}

TEST_F(ShelfscanWindowsRun, SymbolicLinksInsideTheTreeAreSkipped) {
  PutBookmender(false);
  const std::string outside = dir_.file("outside");
  ASSERT_TRUE(MakeFolder(outside));
  WriteFileBytes(outside + "\\theirs.xls", {'x'});
  const std::string mine = File("mine.xls");
  const std::string file = root_ + "\\link.xls";
  const std::string folder = root_ + "\\folder";
  constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  CreateSymbolicLinkW(Wide(file).c_str(), Wide(outside + "\\theirs.xls").c_str(), kUnprivileged);
  CreateSymbolicLinkW(Wide(folder).c_str(), Wide(outside).c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | kUnprivileged);
  if (!IsSymbolicLink(file) || !IsSymbolicLink(folder)) GTEST_SKIP() << "no symbolic links can be made here";

  const ProcessResult r = Scan({"-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 0);
  const std::vector<std::string> warnings = {"[warning]," + folder + ",Skipped symbolic link",
                                             "[warning]," + file + ",Skipped symbolic link"};
  EXPECT_EQ(Sorted(Lines(SplitAtSummary(r.output).before)), warnings);
  EXPECT_TRUE(EndsInSummary(r.output, {{"[ok]", 1}}));
  EXPECT_EQ(Calls(), std::vector<std::string>{" -check \"" + mine + "\""});
}

TEST_F(ShelfscanWindowsRun, RealBookmenderFixesTheSamplesAndTheDetailLogHoldsEveryRun) {
  PutBookmender(true);
  const std::vector<samples::Sample> selected = samples::WriteSampleFolder(root_);
  const ProcessResult r = Scan({"-fix", "-detail", "-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 0);
  // "Upper case.XLS" is passed over for its extension's case.
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 3}, {"[fixed]", 2}, {"[password]", 1}, {"[not BIFF8 workbook]", 1}}, 1));

  // Main log: one line per selected file, each with its label.
  const std::string log = Log();
  std::vector<std::string> expected;
  for (const samples::Sample& sample : selected) {
    std::string path = sample.path;
    std::replace(path.begin(), path.end(), '/', '\\');
    expected.push_back(sample.fixLabel + root_ + "\\" + path);
  }
  ASSERT_EQ(log.substr(0, 2), "\xFF\xFE");
  std::size_t start = 2;
  std::vector<std::string> logged;
  while (start < log.size()) {
    const std::size_t end = log.find(Utf16le("\r\n"), start);
    ASSERT_NE(end, std::string::npos);
    ASSERT_EQ((end - start) % 2, 0u);
    std::wstring line;
    for (std::size_t i = start; i < end; i += 2) {
      line.push_back(static_cast<wchar_t>(static_cast<unsigned char>(log[i]) | static_cast<unsigned char>(log[i + 1]) << 8));
    }
    logged.push_back(Utf8(line));
    start = end + 4;
  }
  EXPECT_EQ(Sorted(logged), Sorted(expected));

  // Detail log: every run whole, in the order of the main log, gathered from
  // the children's inherited handle.
  const std::vector<std::string> detail = Lines(Log("_detail.log"));
  std::vector<std::string> checked, finals;
  for (std::size_t i = 0; i < detail.size(); ++i) {
    if (i > 0 && detail[i - 1] == std::string(80, '-') && detail[i].rfind("Checking ", 0) == 0) {
      checked.push_back(detail[i].substr(9));
    }
    if (detail[i].rfind("Final result: ", 0) == 0) finals.push_back(detail[i]);
  }
  std::vector<std::string> loggedPaths;
  for (const std::string& line : logged) loggedPaths.push_back(line.substr(line.find("],") + 2));
  EXPECT_EQ(checked, loggedPaths);
  EXPECT_EQ(finals.size(), selected.size());
  EXPECT_EQ(std::count(finals.begin(), finals.end(), "Final result: A problem was fixed"), 2);

  // The two damaged workbooks were fixed in place with their backups beside.
  EXPECT_TRUE(Exists(root_ + "\\damaged\\Two charts.xls.bak"));
  EXPECT_TRUE(Exists(root_ + "\\damaged\\Quarterly report, 2026.xls.bak"));
  EXPECT_FALSE(Exists(root_ + "\\damaged\\Upper case.XLS.bak"));
}

// Resident Bookmenders and one process per file write the same logs, byte
// for byte, one job at a time.
TEST_F(ShelfscanWindowsRun, ResidentRunsLogAsRunsOfTheirOwn) {
  PutBookmender(true);
  samples::WriteSampleFolder(root_);
  std::vector<std::pair<std::string, std::string>> logs;
  for (const bool perFile : {false, true}) {
    for (const std::string& name : Entries(logs_)) DeleteFileW(Wide(logs_ + "\\" + name).c_str());
    std::vector<std::string> arguments{"-check", "-detail", "-l:" + logs_, root_};
    if (perFile) arguments.push_back("-perfile");
    EXPECT_EQ(Scan(arguments).exitCode, 0);
    logs.emplace_back(Log(), Log("_detail.log"));
  }
  EXPECT_GT(logs[0].first.size(), 100u);
  EXPECT_EQ(logs[0].first, logs[1].first);
  EXPECT_EQ(logs[0].second, logs[1].second);
}

TEST_F(ShelfscanWindowsRun, WithoutABookmenderItCanStartNothingIsScanned) {
  File("book.xls");
  // The system's own text, without its line end.
  const auto reason = [](DWORD code) {
    std::wstring text;
    EXPECT_TRUE(platform::SystemMessageText(code, text));
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return Utf8(text);
  };
  const std::string bookmender = bin_ + "\\Bookmender.exe";
  ProcessResult r = Scan({"-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "Bookmender cannot be started from " + bookmender + ": " + reason(ERROR_FILE_NOT_FOUND) + "\r\n");
  EXPECT_TRUE(Entries(logs_).empty()) << "nothing is logged";

  // A folder in its place.
  ASSERT_TRUE(MakeFolder(bookmender));
  r = Scan({"-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "Bookmender cannot be started from " + bookmender + ": " + reason(ERROR_ACCESS_DENIED) + "\r\n");
  EXPECT_TRUE(Entries(logs_).empty());
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ShelfscanWindowsRun, BookmenderThatCannotBeStartedFailsEveryFileWithMinusOne) {
  // There and open to execution, but no program.
  WriteFileBytes(bin_ + "\\Bookmender.exe", {'t', 'e', 'x', 't', '\r', '\n'});
  const std::string path = File("book.xls");
  const ProcessResult r = Scan({"-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 0);
  const std::string line = "[scan err]," + path + ",Failed to launch Bookmender (error code -1)";
  EXPECT_TRUE(ScanConsoleIs(r.output, line + "\r\n", {{"[scan err]", 1}}));
  EXPECT_EQ(Log(), LogBytes({line}));
}

TEST_F(ShelfscanWindowsRun, HelpAndLogFolderNameTheWindowsDefaults) {
  PutBookmender(false);
  ProcessResult r = Scan({"-fix", "-detail"});
  EXPECT_EQ(r.exitCode, 1);
  const std::vector<std::string> lines = Lines(r.output);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "status. By default, the log is created at C:\\Halvane\\<timestamp>.log."),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "  -l:LogFolderName : Create log file in LogFolderName (default C:\\Halvane)."),
            lines.end());
  EXPECT_EQ(lines.back(), "Invalid parameters. Please provide at least one path to search.");

  // A folder whose parent is missing: one level only, with its backslash.
  const std::string deep = dir_.file("missing\\logs");
  r = Scan({"-l:" + deep, root_});
  EXPECT_EQ(r.exitCode, 1);
  const std::vector<std::string> failed = Lines(r.output);
  ASSERT_EQ(failed.size(), 2u) << r.output;
  EXPECT_EQ(failed[0].substr(0, 11 + deep.size() + 2), "[scan err]," + deep + "\\,");
  EXPECT_EQ(failed[1], "Could not create log folder at path:" + deep + "\\");

  // "-l:" with nothing after it: c:\Halvane\, made when missing.
  const bool existed = Exists("c:\\Halvane");
  const std::string missing = dir_.file("no-such-root");
  r = Scan({"-l:", missing});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "[scan err]," + missing + ",The path doesn't exist!\r\n", {}));
  bool logged = false;
  for (const std::string& name : Entries("c:\\Halvane")) {
    const Bytes bytes = ReadFileBytes("c:\\Halvane\\" + name);
    if (Text(bytes) == LogBytes({"[scan err]," + missing + ",The path doesn't exist!"})) {
      logged = true;
      DeleteFileW(Wide("c:\\Halvane\\" + name).c_str());
    }
  }
  EXPECT_TRUE(logged);
  if (!existed) RemoveDirectoryW(L"c:\\Halvane");
}

// The SID of the user this process runs as, as text.
std::string OwnSid() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), size, &size));
  CloseHandle(token);
  TOKEN_USER user;
  std::memcpy(&user, buffer.data(), sizeof user);
  char* text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidA(user.User.Sid, &text));
  const std::string sid = text ? text : "";
  LocalFree(text);
  return sid;
}

// The SIDs `path`'s access list grants anything to; false when it cannot be
// read. (Wine keeps no inheritance flags: the list is all it shows.)
bool AccessList(const std::string& path, std::set<std::string>& granted) {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // No list at all would grant everything to everyone.
  if (list == nullptr) granted.insert("everyone (no list)");
  for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(list, i, &ace)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    char* sid = nullptr;
    if (ConvertSidToStringSidA(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &sid)) {
      granted.insert(sid);
      LocalFree(sid);
    }
  }
  LocalFree(descriptor);
  return true;
}

TEST_F(ShelfscanWindowsRun, ANewLogFolderItsLogsAndTheReportGrantOnlyTheUserTheSystemAndTheAdministrators) {
  PutBookmender(false);
  File("code-1.xls");
  const std::string folder = dir_.file("private-logs");
  const std::string report = dir_.file("report.jsonl");
  const ProcessResult r = Scan({"-detail", "-report:" + report, "-l:" + folder, root_});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::set<std::string> allowed = {OwnSid(), "S-1-5-18", "S-1-5-32-544"};
  const std::vector<std::string> names = Entries(folder);
  EXPECT_EQ(names.size(), 2u) << "the main and detail logs";
  std::vector<std::string> paths{folder, report};
  for (const std::string& name : names) paths.push_back(folder + "\\" + name);
  for (const std::string& path : paths) {
    std::set<std::string> granted;
    ASSERT_TRUE(AccessList(path, granted)) << path;
    EXPECT_FALSE(granted.empty()) << path;
    for (const std::string& sid : granted) EXPECT_EQ(allowed.count(sid), 1u) << sid << " may use " << path;
  }
}

TEST_F(ShelfscanWindowsRun, HardLinkOrFolderInTheLogsPlaceIsNeverWritten) {
  PutBookmender(false);
  File("code-1.xls");
  const std::string target = dir_.file("other.txt");
  WriteFileBytes(target, Bytes{'k', 'e', 'e', 'p'});
  const std::vector<std::string> names = NextLogNames(logs_, 8);
  for (const std::string& name : names) {
    ASSERT_TRUE(CreateHardLinkW(Wide(name).c_str(), Wide(target).c_str(), nullptr)) << name;
  }
  ExpectLogRefused(names, target, "It has more than one name (a hard link).");

  for (const std::string& name : names) {
    ASSERT_TRUE(DeleteFileW(Wide(name).c_str())) << name;
    ASSERT_TRUE(MakeFolder(name)) << name;
  }
  // In the system's own words (Wine words it differently).
  std::wstring denied;
  ASSERT_TRUE(platform::SystemMessageText(ERROR_ACCESS_DENIED, denied));
  while (!denied.empty() && (denied.back() == L'\n' || denied.back() == L'\r' || denied.back() == L' ')) denied.pop_back();
  ExpectLogRefused(names, target, Utf8(denied));
}

TEST_F(ShelfscanWindowsRun, TwoScansOfTheSameSecondShareOneLogAndKeepEveryLine) {
  PutBookmender(false);
  std::vector<std::string> roots, expected;
  for (const std::string name : {"one", "two"}) {
    roots.push_back(root_ + "\\" + name);
    ASSERT_TRUE(MakeFolder(roots.back()));
    for (int i = 0; i < 40; ++i) expected.push_back("[ok]," + File(name + "\\" + std::to_string(i) + ".xls"));
  }
  bool shared = false;
  // A round whose scans straddle a second writes two logs and is tried again.
  for (int round = 0; round < 5 && !shared; ++round) {
    for (const std::string& name : Entries(logs_)) ASSERT_TRUE(DeleteFileW(Wide(logs_ + "\\" + name).c_str()));
    // Started together just after a second begins, so that both take its
    // name.
    SYSTEMTIME now;
    GetSystemTime(&now);
    Sleep(1000 - now.wMilliseconds + 20);
    PROCESS_INFORMATION scans[2];
    for (int i = 0; i < 2; ++i) {
      std::wstring line = Wide("\"" + bin_ + "\\Shelfscan.exe\" \"-l:" + logs_ + "\" \"" + roots[i] + "\"");
      STARTUPINFOW startup{};
      startup.cb = sizeof startup;
      ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &scans[i]));
    }
    for (PROCESS_INFORMATION& scan : scans) {
      WaitForSingleObject(scan.hProcess, INFINITE);
      DWORD code = 99;
      GetExitCodeProcess(scan.hProcess, &code);
      EXPECT_EQ(code, 0u);
      CloseHandle(scan.hThread);
      CloseHandle(scan.hProcess);
    }
    const std::vector<std::string> logs = Entries(logs_);
    std::vector<std::string> lines;
    for (const std::string& name : logs) {
      const std::vector<std::string> some = LogLines(Text(ReadFileBytes(logs_ + "\\" + name)));
      lines.insert(lines.end(), some.begin(), some.end());
    }
    EXPECT_EQ(Sorted(lines), Sorted(expected)) << "round " << round;
    shared = logs.size() == 1;
  }
  EXPECT_TRUE(shared) << "no round whose two scans started in the same second";
}

TEST_F(ShelfscanWindowsRun, SymbolicLinkInTheLogsPlaceIsNeverWritten) {
  PutBookmender(false);
  File("code-1.xls");
  const std::string target = dir_.file("other.txt");
  WriteFileBytes(target, Bytes{'k', 'e', 'e', 'p'});
  const std::vector<std::string> names = NextLogNames(logs_, 8);
  for (const std::string& name : names) {
    // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE, as a user without the
    // privilege may make links in developer mode.
    const bool made = CreateSymbolicLinkW(Wide(name).c_str(), Wide(target).c_str(), 0x2) != 0;
    const DWORD attributes = GetFileAttributesW(Wide(name).c_str());
    if (!made || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      GTEST_SKIP() << "this system makes no symbolic link here (Wine's CreateSymbolicLinkW makes none)";
    }
  }
  ExpectLogRefused(names, target, "It is a link (a reparse point).");
}

// A run past -timeout: is ended at once (Windows has no request to end a
// child) and labelled; the report gives it neither exit code nor signal. The
// limit leaves a loaded machine's Wine time to start the stand-ins.
TEST_F(ShelfscanWindowsRun, ARunPastTheTimeLimitIsEndedAndLabelled) {
  PutBookmender(false);
  const std::string hang = File("hang-a.xls");
  const std::string fine = File("code-1.xls");
  for (const int jobs : {1, 2}) {
    for (const std::string& name : Entries(logs_)) DeleteFileW(Wide(logs_ + "\\" + name).c_str());
    const std::string report = dir_.file("timeout.jsonl");
    DeleteFileW(Wide(report).c_str());
    const ProcessResult r =
        Scan({"-timeout:3", "-jobs:" + std::to_string(jobs), "-report:" + report, "-l:" + logs_, root_});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[fixable]", 1}, {"[timed out]", 1}})) << r.output;
    EXPECT_EQ(Sorted(LogLines(Log())), Sorted({"[fixable]," + fine, "[timed out]," + hang}));
    std::string escaped;
    for (const char c : hang) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    const std::vector<std::string> entries = Lines(Text(ReadFileBytes(report)));
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [&](const std::string& e) {
                              return e.rfind("{\"path\":\"" + escaped +
                                                 "\",\"label\":\"timed out\",\"exit\":null,\"backup\":null,",
                                             0) == 0;
                            }),
              1)
        << jobs << " jobs";
  }
}

TEST_F(ShelfscanWindowsRun, TwoJobsLogTheSameLinesGatherEachRunWholeAndReportEachFile) {
  PutBookmender(false);
  ASSERT_TRUE(MakeFolder(root_ + "\\sub"));
  std::vector<std::string> files;
  for (int i = 0; i < 6; ++i) {
    files.push_back(File("code-" + std::to_string(i % 3) + " " + std::to_string(i) + ".xls"));
    files.push_back(File("sub\\caf\xC3\xA9 " + std::to_string(i) + ".xls"));
  }
  std::vector<std::string> serial;
  for (const int jobs : {1, 2}) {
    for (const std::string& name : Entries(logs_)) DeleteFileW(Wide(logs_ + "\\" + name).c_str());
    DeleteFileW(Wide(record_).c_str());
    const std::string report = dir_.file("report.jsonl");
    DeleteFileW(Wide(report).c_str());
    DeleteFileW(Wide(outputs_).c_str());
    const ProcessResult r = Scan({"-detail", "-jobs:" + std::to_string(jobs), "-report:" + report, "-l:" + logs_, root_});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 8}, {"[fixable]", 2}, {"[broken]", 2}}));
    const std::vector<std::string> lines = Sorted(LogLines(Log()));
    if (jobs == 1) serial = lines;
    EXPECT_EQ(lines, serial) << jobs << " jobs";
    EXPECT_EQ(lines.size(), files.size());
    EXPECT_EQ(Calls().size(), files.size());

    // Each child's two lines together, every file once.
    const std::vector<std::string> detail = Lines(Log("_detail.log"));
    ASSERT_EQ(detail.size(), 2 * files.size());
    std::vector<std::string> seen;
    for (std::size_t i = 0; i + 1 < detail.size(); i += 2) {
      ASSERT_EQ(detail[i].rfind("out ", 0), 0u) << detail[i];
      EXPECT_EQ(detail[i + 1], "err " + detail[i].substr(4));
      seen.push_back(detail[i].substr(4));
    }
    EXPECT_EQ(Sorted(seen), Sorted(files));

    // One JSON line each: the path with its backslashes escaped, the label's
    // word, the exit code.
    const std::vector<std::string> entries = Lines(Text(ReadFileBytes(report)));
    ASSERT_EQ(entries.size(), files.size());
    for (const std::string& file : files) {
      std::string escaped;
      for (const char c : file) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
      const std::size_t code = file.find("code-");
      const int exit = code == std::string::npos ? 0 : file[code + 5] - '0';
      const char* const labels[] = {"ok", "fixable", "broken"};
      const std::string start = "{\"path\":\"" + escaped + "\",\"label\":\"" + labels[exit] + "\",\"exit\":" +
                                std::to_string(exit) + ",\"backup\":null,\"seconds\":";
      EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [&](const std::string& e) { return e.rfind(start, 0) == 0; }), 1)
          << start;
    }
    EXPECT_EQ(Lines(Text(ReadFileBytes(outputs_))), std::vector<std::string>(files.size(), "disk"))
        << "every child's output gathered in a file";
  }

  // Without a detail log, and with a report in check mode, nothing reads the
  // children's output: it goes to the null device, and the results stay.
  for (const std::string& name : Entries(logs_)) DeleteFileW(Wide(logs_ + "\\" + name).c_str());
  DeleteFileW(Wide(outputs_).c_str());
  const std::string report = dir_.file("null.jsonl");
  const ProcessResult r = Scan({"-jobs:2", "-report:" + report, "-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 8}, {"[fixable]", 2}, {"[broken]", 2}}));
  EXPECT_EQ(Sorted(LogLines(Log())), serial);
  EXPECT_EQ(Lines(Text(ReadFileBytes(report))).size(), files.size());
  EXPECT_EQ(Lines(Text(ReadFileBytes(outputs_))), std::vector<std::string>(files.size(), "char"));
}

TEST_F(ShelfscanWindowsRun, ResumePassesOverFilesDoneAndUndoRunsBookmendersUndo) {
  PutBookmender(false);
  const std::string done = File("code-0.xls"), fixable = File("code-1.xls"), held = File("code-53.xls");
  const std::string report = dir_.file("check.jsonl");
  ASSERT_EQ(Scan({"-report:" + report, "-l:" + logs_, root_}).exitCode, 0);
  for (const std::string& name : Entries(logs_)) DeleteFileW(Wide(logs_ + "\\" + name).c_str());
  DeleteFileW(Wide(record_).c_str());
  // The file in use is run again; the other two are done.
  ProcessResult r = Scan({"-resume", "-report:" + report, "-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 0);
  const ScanConsole shown = SplitAtSummary(r.output);
  EXPECT_EQ(shown.summary.passedOverAsDone, 2u);
  EXPECT_EQ(shown.summary.labels, (LabelCounts{{"[sharing violation]", 1}}));
  EXPECT_EQ(Calls(root_), std::vector<std::string>{" -check \"" + held + "\""});
  EXPECT_EQ(Lines(Text(ReadFileBytes(report))).size(), 4u);
  // A fix resume refuses the report of a check.
  r = Scan({"-fix", "-resume", "-report:" + report, "-l:" + logs_, root_});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("an entry is labelled fixable"), std::string::npos) << r.output;

  // An undo: Bookmender's undo for the proven repair, a scan error for the
  // one without its proof.
  std::string escapedRoot;
  for (const char c : root_) escapedRoot += c == '\\' ? std::string("\\\\") : std::string(1, c);
  const std::string digest(64, 'c');
  const std::string fixReport = dir_.file("fix.jsonl");
  WriteFileBytes(fixReport, testsupport::Bytes(0));
  const std::string lines =
      "{\"path\":\"" + escapedRoot + "\\\\code-5.xls\",\"label\":\"fixed\",\"exit\":1,\"backup\":\"" + escapedRoot +
      "\\\\code-5.xls.bak\",\"root\":\"" + escapedRoot + "\",\"sha256\":\"" + digest +
      "\",\"size\":7,\"mtime\":\"2026-12-07T02:05:33.000000100Z\",\"backup_sha256\":\"" + digest +
      "\",\"seconds\":0.100}\n"
      "{\"path\":\"" + escapedRoot + "\\\\code-1.xls\",\"label\":\"fixed\",\"exit\":1,\"backup\":null,\"seconds\":0.100}\n";
  WriteFileBytes(fixReport, testsupport::Bytes(lines.begin(), lines.end()));
  for (const std::string& name : Entries(logs_)) DeleteFileW(Wide(logs_ + "\\" + name).c_str());
  DeleteFileW(Wide(record_).c_str());
  r = Scan({"-undo:" + fixReport, "-l:" + logs_});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Calls(root_), std::vector<std::string>{" -undo \"-backup:" + root_ + "\\code-5.xls.bak\" -proof:" + digest +
                                                   ":7:" + digest + " \"" + root_ + "\\code-5.xls\""});
  EXPECT_EQ(SplitAtSummary(r.output).summary.labels, (LabelCounts{{"[restored]", 1}, {"[scan err]", 1}}));
  EXPECT_EQ(Sorted(LogLines(Log())).front(), "[restored]," + root_ + "\\code-5.xls");
}

}  // namespace
