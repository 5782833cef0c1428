// A resident Bookmender driven through the platform's resident child: each
// file's records and output are those of a run of its own, what is not a
// request ends it, it goes after its last file, and over twenty thousand
// files its descriptors and memory stay where the first files left them.
#include <dirent.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bookmender_run.h"
#include "frontend/ServeRequest.h"
#include "platform/resident.h"
#include "platform/text.h"

namespace bookmendertest {
namespace {

using platform::ResidentChild;

class BookmenderServe : public BookmenderRun {
 protected:
  // Starts Bookmender with `options` (its channel's option added unless
  // `withChannel` is false), its output gathered.
  void Start(std::vector<std::wstring> options, bool withChannel = true) {
    platform::Win32Error error = 0;
    ASSERT_TRUE(output_.create(error));
    ASSERT_TRUE(child_.prepare(error));
    std::vector<platform::ChildArgument> arguments;
    for (std::wstring& option : options) arguments.push_back({option, false});
    if (withChannel) arguments.push_back({L"-result:" + child_.channelName(), false});
    ASSERT_TRUE(child_.start(platform::DecodeNative(Program()), arguments, &output_));
  }
  ResidentChild::Sent Send(const std::vector<std::string>& arguments) {
    return child_.send(bookmender::RequestLine(arguments));
  }
  // The reply to the request sent: its records, and the output since the last.
  ResidentChild::Served Await(std::string& records, std::string& output, platform::ChildEnd& end) {
    records.clear();
    const ResidentChild::Served how =
        child_.await(records, bookmender::HasLastRecord, bookmender::kMostResultRecords, std::chrono::seconds(30), end);
    platform::Win32Error error = 0;
    EXPECT_TRUE(output_.read(output, error));
    EXPECT_TRUE(output_.clear(error));
    return how;
  }
  // The resident Bookmender's process: the one child of this test running it.
  pid_t Pid() const {
    DIR* proc = ::opendir("/proc");
    pid_t found = -1;
    while (dirent* e = ::readdir(proc)) {
      const std::string stat = ReadProc(std::string("/proc/") + e->d_name + "/stat");
      const std::size_t close = stat.rfind(')');
      if (close == std::string::npos || stat.find("(Bookmender)") == std::string::npos) continue;
      std::istringstream rest(stat.substr(close + 2));
      char state;
      pid_t parent;
      rest >> state >> parent;
      if (parent == ::getpid()) found = std::stoi(e->d_name);
    }
    ::closedir(proc);
    return found;
  }
  static std::string ReadProc(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::size_t Descriptors(pid_t pid) {
    std::size_t n = 0;
    DIR* fds = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (dirent* e = ::readdir(fds)) n += e->d_name[0] != '.';
    ::closedir(fds);
    return n;
  }
  // Resident memory in KiB.
  static long Resident(pid_t pid) {
    const std::string status = ReadProc("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
  }

  ResidentChild child_;
  platform::ScratchOutput output_;
};

TEST_F(BookmenderServe, EachFileRepliesAsARunOfItsOwn) {
  const std::string fixable = Write("fixable.xls", TaggedFile(MakeWorkbook({12}).stream));
  const std::string untagged = Write("untagged.xls", BuildWorkbookFile(MakeWorkbook({0}).stream));
  const std::string odd = Write("odd \xff name.xls", TaggedFile(MakeWorkbook({0}).stream));
  const std::vector<std::vector<std::string>> requests = {
      {"-check", fixable}, {"-check", untagged}, {"-check", odd}, {"-check", dir_.file("missing.xls")},
      {"-Check", fixable},  // bad arguments, answered as a run of its own answers them
      {"-fix", fixable},
  };
  Start({L"-serve:100"});
  for (const auto& request : requests) {
    SCOPED_TRACE(request.front() + " " + request.back());
    const Bytes before = ReadFileBytes(fixable);
    // The same run on its own, with its records, on the same bytes after.
    ASSERT_EQ(Send(request), ResidentChild::Sent::kSent);
    std::string records;
    std::string output;
    platform::ChildEnd end;
    ASSERT_EQ(Await(records, output, end), ResidentChild::Served::kComplete);
    const Bytes after = ReadFileBytes(fixable);
    WriteFileBytes(fixable, before);
    ::unlink((fixable + ".bak").c_str());
    ProcessOptions merged;
    merged.mergeOutput = true;
    const ProcessResult own = Run(request, merged);
    WriteFileBytes(fixable, before);
    ::unlink((fixable + ".bak").c_str());
    EXPECT_EQ(output, own.output);
    bookmender::ResultRecords parsed;
    ASSERT_TRUE(bookmender::ParseResultRecords(records, parsed)) << records;
    EXPECT_EQ(parsed.code, own.exitCode);
    EXPECT_EQ(parsed.backup.has_value(), request.front() == "-fix");
    if (request.front() == "-fix") {
      EXPECT_NE(after, before);
    }
  }
  // The channel is the server's alone: a request naming one is refused.
  std::string records;
  std::string output;
  platform::ChildEnd end;
  ASSERT_EQ(Send({"-check", "-result:1", fixable}), ResidentChild::Sent::kSent);
  ASSERT_EQ(Await(records, output, end), ResidentChild::Served::kComplete);
  EXPECT_EQ(records, "BMR1 50 -\n");
}

TEST_F(BookmenderServe, EndsAfterItsLastFileOrOnWhatIsNoRequest) {
  const std::string book = Write("book.xls", TaggedFile(MakeWorkbook({0}).stream));
  std::string records;
  std::string output;
  platform::ChildEnd end;
  // After its last file it takes no request more, and ends by itself.
  Start({L"-serve:2"});
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Send({"-check", book}), ResidentChild::Sent::kSent);
    ASSERT_EQ(Await(records, output, end), ResidentChild::Served::kComplete);
    EXPECT_EQ(records, "BMR1 0 -\n");
  }
  EXPECT_EQ(Send({"-check", book}), ResidentChild::Sent::kNotTaking);
  EXPECT_EQ(Await(records, output, end), ResidentChild::Served::kEnded);
  EXPECT_TRUE(end.exited && end.code == 0);

  // A broken request, or arguments that are no serving: 50.
  struct Case {
    std::vector<std::wstring> options;
    std::string line;
  };
  const Case cases[] = {
      {{L"-serve:5"}, "BMQ1 2D434845434B\n"},  // upper-case digits
      {{L"-serve:5"}, "BMQ1\n"},
      {{L"-serve:5"}, "GET / HTTP/1.0\n"},
      {{L"-serve:0"}, ""},
      {{L"-serve:5", L"-check"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    child_.end();
    Start(c.options);
    if (!c.line.empty()) {
      EXPECT_EQ(child_.send(c.line), ResidentChild::Sent::kSent);
    }
    records.clear();
    EXPECT_EQ(child_.await(records, bookmender::HasLastRecord, 1024, std::chrono::seconds(30), end),
              ResidentChild::Served::kEnded);
    EXPECT_TRUE(end.exited && end.code == 50) << end.code;
    EXPECT_EQ(records, "");
  }
}

TEST_F(BookmenderServe, DescriptorsAndMemoryStayFlatOverTwentyThousandFiles) {
  const std::vector<std::string> books = {
      Write("fixable.xls", TaggedFile(MakeWorkbook({12}).stream)),
      Write("untagged.xls", BuildWorkbookFile(MakeWorkbook({0}).stream)),
      Write("garbage.xls", Bytes(3000, 0x41)), dir_.file("missing.xls")};
  const std::vector<int> codes = {1, 0, 54, 51};
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer holds freed memory back for a while, which would count
  // as memory kept: here it gives it back at once.
  const char* asan = std::getenv("ASAN_OPTIONS");
  ::setenv("ASAN_OPTIONS", ((asan ? std::string(asan) + ":" : "") + "quarantine_size_mb=0").c_str(), 1);
#endif
  Start({L"-serve:100000"});
  const pid_t pid = Pid();
  ASSERT_GT(pid, 0);
  std::size_t descriptors = 0;
  long resident = 0;
  std::string records;
  std::string output;
  platform::ChildEnd end;
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(Send({"-check", books[i % 4]}), ResidentChild::Sent::kSent) << i;
    ASSERT_EQ(Await(records, output, end), ResidentChild::Served::kComplete) << i;
    ASSERT_EQ(records, "BMR1 " + std::to_string(codes[i % 4]) + " -\n") << i;
    if (i == 999) {
      descriptors = Descriptors(pid);
      resident = Resident(pid);
    }
  }
  EXPECT_EQ(Pid(), pid) << "the same process served them all";
  EXPECT_EQ(Descriptors(pid), descriptors);
  EXPECT_LE(Resident(pid), resident + 1024) << "KiB";
}

}  // namespace
}  // namespace bookmendertest
