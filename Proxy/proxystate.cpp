#include "Proxy/proxystate.h"

namespace palvon {

ProxyState proxyState;

}  // namespace palvon
