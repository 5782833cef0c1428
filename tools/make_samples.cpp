// Writes a folder of sample workbooks for a Shelfscan run:
//   make_samples FOLDER                 healthy, damaged, untagged, password
//                                       protected and not-a-workbook files
//   make_samples --bench COUNT FOLDER   COUNT small untagged workbooks
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "samples.h"

int main(int argc, char** argv) {
  try {
    if (argc == 2) {
      for (const samples::Sample& sample : samples::WriteSampleFolder(argv[1])) {
        std::cout << sample.path << '\n';
      }
      return 0;
    }
    if (argc == 4 && std::string(argv[1]) == "--bench") {
      const int count = std::atoi(argv[2]);
      if (count > 0) {
        samples::WriteBenchTree(argv[3], count);
        return 0;
      }
    }
    std::cerr << "usage: make_samples FOLDER | make_samples --bench COUNT FOLDER\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "make_samples: " << error.what() << '\n';
    return 1;
  }
}
