// Bookmender: checks one workbook, or repairs it in place.
//   Bookmender -check <filename>
//   Bookmender -fix <filename>
#include <string>
#include <vector>

#include "frontend/Run.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(platform::DecodeNative(argv[i]));
  return bookmender::RunBookmender(arguments);
}
