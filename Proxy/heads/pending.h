// Transitional: the declarations that stood here live in their modules'
// headers now; this file goes with the next change.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include "Proxy/dispatch/renderhook.h"
#include "Proxy/requests/drawablefacts.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "base/strings.h"
