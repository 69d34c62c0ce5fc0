// velmorix-pstcheck FILE...: the tests' structure check of written
// personal-folders files, for scripts. Prints each fault found; exit status
// 0 when every file passes, 1 otherwise.
#include <iostream>

#include "pst_check.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: velmorix-pstcheck FILE...\n";
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::string> faults = velmorix::test::CheckPst(argv[i]);
    for (const std::string& f : faults) std::cout << argv[i] << ": " << f << '\n';
    if (!faults.empty()) status = 1;
  }
  return status;
}
