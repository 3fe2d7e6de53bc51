#include <cstdio>
#include <cstring>

#include "base/logging.h"

int main(int argc, char** argv) {
  using namespace palvon;
  if (logInit(argc, argv, PALVON_VERSION, "") == 1) {
    std::printf("palvon %s\n", PALVON_VERSION);
    return 0;
  }
  LOGF(logChError, "palvon %s cannot run a session yet", PALVON_VERSION);
  return 1;
}
