// Shelfscan: runs Bookmender over every ".xls" file of the folder trees named
// on the command line and logs one status line per file.
#include <csignal>

#include "MainLog.h"
#include "Shelfscan.h"
#include "platform/process.h"
#include "platform/termination.h"

int main(int argc, char** argv) {
  platform::KeepStandardDescriptorsTaken();
#ifdef SIGPIPE
  // A console reader that goes away (a closed pipe) must not end the scan:
  // its lines fail and the walk goes on. Children start with the default.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  platform::InstallStopRequests();
  const int code = shelfscan::RunShelfscan(platform::ProgramArguments(argc, argv));
  // A request, in the walk or outside it, decides how the program ends;
  // a scan stopped by a lost line ends with its own code all the same.
  if (code != shelfscan::kExitLineLost && platform::StopRequested()) platform::EndAsRequested();
  return code;
}
