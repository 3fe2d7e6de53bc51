#include "Proxy/services.h"

namespace palvon {

ServiceHooks serviceHooks;

}  // namespace palvon
