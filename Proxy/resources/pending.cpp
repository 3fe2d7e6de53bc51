// Placeholders for the calls of resources/pending.h; see there.
#include "Proxy/resources/pending.h"

#include "base/logging.h"

namespace palvon {


}  // namespace palvon
