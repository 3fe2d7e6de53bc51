// The window-level stages of adding a server (serverjoin.h): the window
// tree, the save sets and passive grabs, and the event selections, each
// through the link of the client that owns what is copied. Main thread.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;

// Every window of the screen re-created on the head, parents before
// children and siblings bottom-up; before a window goes out on its owner's
// link, the links that made its parent and its next lower sibling are
// synchronised when other clients own them. Null or the error text.
const char* copyWindowsToHead(Head* head, MetaScreen* screen);
// "Copying save set...": each client's save-set windows and passive grabs
// on windows of the screen, through its link to the head's server.
void copySaveSetsAndGrabs(Head* head, MetaScreen* screen);
// "Selecting window events...": every client's event selection on every
// window of the screen, completed for the head.
void selectWindowEventsOnHead(Head* head, MetaScreen* screen);

}  // namespace palvon
