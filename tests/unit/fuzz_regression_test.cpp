// Inputs that once made a fuzz target fail, kept beside this test
// (tests/fuzz-regressions/), each run through what every target does: the
// workbook pipeline from the file and from memory, the compound-file layer
// and the property sets alone.
#include <gtest/gtest.h>

#include <dirent.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "exercise.h"
#include "exercise_platform.h"
#include "platform/text.h"
#include "workbook_file.h"

namespace {

std::string RegressionDir() { return std::string(BM_SOURCE_DIR) + "/tests/fuzz-regressions"; }

}  // namespace

TEST(FuzzRegressions, EveryInputEndsWithinTheFamily) {
  DIR* d = opendir(RegressionDir().c_str());
  ASSERT_NE(d, nullptr);
  int inputs = 0;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    ++inputs;
    const std::string path = RegressionDir() + "/" + name;
    try {
      fuzzing::ExerciseWorkbook(platform::DecodeNative(path));
    } catch (const bookmender::Exception&) {
    }
    const testsupport::Bytes bytes = testsupport::ReadFileBytes(path);
    try {
      fuzzing::ExerciseWorkbook(bytes.data(), bytes.size());
    } catch (const bookmender::Exception&) {
    }
    fuzzing::ExerciseCompoundFile(bytes.data(), bytes.size());
    fuzzing::ExercisePropertySet(bytes.data(), bytes.size());
  }
  closedir(d);
  EXPECT_GE(inputs, 1);
}

#if defined(__SANITIZE_ADDRESS__)
#define BM_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BM_ADDRESS_SANITIZER 1
#endif
#endif

// A memory limit for one child process is a POSIX condition.
#ifndef _WIN32
TEST(FuzzRegressions, ClaimedStreamSizeDoesNotDecideMemory) {
#ifdef BM_ADDRESS_SANITIZER
  GTEST_SKIP() << "the address sanitizer needs more address space than the limit allows";
#else
  // A 1 KiB file whose directory claims a 4 GiB Workbook stream: the index
  // once reserved room for a quarter of a billion records up front, which a
  // process under a memory limit cannot have (std::bad_alloc ends it).
  const std::string path = RegressionDir() + "/claimed-4gb-workbook-stream.xls";
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit limit{512u << 20, 512u << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    try {
      fuzzing::ExerciseWorkbook(platform::DecodeNative(path));
    } catch (const bookmender::Exception&) {
    } catch (...) {
      _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a foreign exception (out of memory), 3: no limit";
#endif
}
#endif
