// Bookmender: checks one workbook, or repairs it in place.
//   Bookmender -check <filename>
//   Bookmender -fix <filename>
//   Bookmender -serve:FILES -result:N   (many files, one request each)
#include "frontend/Run.h"
#include "frontend/Serve.h"
#include "platform/process.h"
#include "platform/termination.h"

int main(int argc, char** argv) {
  platform::KeepStandardDescriptorsTaken();
  platform::InstallTerminationHandling();
  const std::vector<std::wstring> arguments = platform::ProgramArguments(argc, argv);
  if (bookmender::AsksToServe(arguments)) return bookmender::Serve(arguments);
  return bookmender::RunBookmender(arguments);
}
