// Shelfscan: runs Bookmender over every ".xls" file of the folder trees named
// on the command line and logs one status line per file.
#include <csignal>
#include <string>
#include <vector>

#include "Shelfscan.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  // A console reader that goes away (a closed pipe) must not end the scan:
  // its lines fail and the walk goes on. Children start with the default.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(platform::DecodeNative(argv[i]));
  return shelfscan::RunShelfscan(arguments);
}
