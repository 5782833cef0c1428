// Bookmender: checks one workbook, or repairs it in place.
//   Bookmender -check <filename>
//   Bookmender -fix <filename>
#include "frontend/Run.h"
#include "platform/process.h"
#include "platform/termination.h"

int main(int argc, char** argv) {
  platform::KeepStandardDescriptorsTaken();
  platform::InstallTerminationHandling();
  return bookmender::RunBookmender(platform::ProgramArguments(argc, argv));
}
