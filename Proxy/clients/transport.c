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

#include <fcntl.h>

/* The listeners of every transport on the port, as the library's
 * MakeAllCOTSServerListeners makes them (without a service manager's
 * sockets, which the proxy is never given): *made holds their number and
 * *listeners a malloc'ed list of them (null for none). -1, with none left
 * open, when another server holds the port. Unlike the library's function
 * it closes the transport whose listener could not be made: on a display
 * in use that one kept a socket and 100 bytes open to the exit. */
int palvonMakeListeners(const char *port, int *made, XtransConnInfo **listeners)
{
    XtransConnInfo opened[NUMTRANS];
    int count = 0;
    *made = 0;
    *listeners = NULL;
    for (int i = 0; i < (int) NUMTRANS; i++) {
        Xtransport *trans = Xtransports[i].transport;
        char address[256];
        XtransConnInfo ciptr;
        int status;
        if (trans->flags & (TRANS_ALIAS | TRANS_NOLISTEN | TRANS_RECEIVED))
            continue;
        snprintf(address, sizeof address, "%s/:%s", trans->TransName, port);
        if (!(ciptr = TRANS(OpenCOTSServer)(address)))
            continue;
        status = TRANS(CreateListener)(ciptr, port, 0);
        if (status == 0) {
            opened[count++] = ciptr;
            continue;
        }
        /* A listener refused for its address in use still has its socket
         * (closing it unlinks nothing: it is no listener); other failures
         * may have closed it already. */
        if (status == TRANS_ADDR_IN_USE || fcntl(ciptr->fd, F_GETFD) != -1)
            TRANS(Close)(ciptr);
        else
            TRANS(FreeConnInfo)(ciptr);
        if (status != TRANS_ADDR_IN_USE)
            continue;
        for (int k = 0; k < count; k++)
            TRANS(Close)(opened[k]);
        return -1;
    }
    if (count && !(*listeners = malloc(count * sizeof **listeners))) {
        for (int k = 0; k < count; k++)
            TRANS(Close)(opened[k]);
        return -1;
    }
    for (int k = 0; k < count; k++)
        (*listeners)[k] = opened[k];
    *made = count;
    return 0;
}
