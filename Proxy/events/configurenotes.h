// The value masks of ConfigureWindow requests that another client
// redirects, kept while the main head is turned: the server's
// ConfigureRequest names the head's own geometry fields (x with y, width
// with height swapped), and the redirecting client must get the mask the
// request had.
//
// Main thread only. A client's notes go when it does.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ProxyWindow;

// For every client other than `client` that redirects the substructure of
// the window's parent: a note (window, mask) for its next ConfigureRequest.
void queueConfigureNotes(ProxyClient* client, ProxyWindow* window, u16 mask);
// Takes the redirecting client's oldest note for the window into *mask;
// false (mask untouched) when there is none.
bool takeRotatedValueMask(ProxyClient* client, u32 window, u16* mask);
// Drops every note of a leaving client.
void dropConfigureNotes(ProxyClient* client);

}  // namespace palvon
