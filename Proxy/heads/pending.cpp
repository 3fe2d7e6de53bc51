// Transitional: empty; goes with the next change.
#include "Proxy/heads/pending.h"
