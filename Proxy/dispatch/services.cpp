#include "Proxy/dispatch/services.h"

namespace palvon {

ServiceHooks serviceHooks;

}  // namespace palvon
