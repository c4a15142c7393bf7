#include "cli/vurn.h"

int main(int argc, char* argv[]) {
  return vurn::run_vurn(argc, argv);
}
