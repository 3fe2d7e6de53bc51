/* The server half of the X transport library, compiled in for the proxy's
 * listeners: TCP and the local socket of the display number. IPv6 is left
 * out because host access handles IPv4 addresses only. */
#define TRANS_SERVER 1
#define X11_t 1
#define TCPCONN 1
#define UNIXCONN 1
#define HAS_STICKY_DIR_BIT 1
#define HAS_FCHOWN 1
/* The library copies the node name with a bounded strncpy and terminates it
 * itself; the compiler's truncation warning does not apply. */
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-truncation"
#endif
#include <X11/Xtrans/transport.c>
