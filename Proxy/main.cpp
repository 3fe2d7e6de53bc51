#include "Proxy/startup.h"
#include "Xext/modules.h"

int main(int argc, char** argv) {
  using namespace palvon;
  installBuiltinExtensionModules();
  if (const char* error = startProxy(argc, argv)) exitFailedStart(error);
  runProxyCycles();
}
