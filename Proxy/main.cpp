#include "Proxy/startup.h"
#include "Xext/modules.h"

int main(int argc, char** argv) {
  using namespace palvon;
  installBuiltinExtensionModules();
  if (const char* error = startProxy(argc, argv)) exitProxy(error, 1);
  // Listening for clients and opening the real X servers come after the
  // configuration and are not part of this program yet.
  exitProxy("Configuration read; serving X clients is not available yet", 1);
}
