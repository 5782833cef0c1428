// Bookmender: checks one workbook, or repairs it in place.
//   Bookmender -check <filename>
//   Bookmender -fix <filename>
#include "frontend/Run.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  return bookmender::RunBookmender(platform::ProgramArguments(argc, argv));
}
