// Shelfscan: runs Bookmender over every ".xls" file of the folder trees named
// on the command line and logs one status line per file.
#include <csignal>

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
  // A request that came outside the walk still decides how the program ends.
  if (platform::StopRequested()) platform::EndAsRequested();
  return code;
}
