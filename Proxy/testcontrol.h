// A control socket for tests: commands that drive run-time changes of the
// session (adding and removing servers, moving heads) without a client
// speaking the control extension.
//
// Built only when the build option PALVON_TEST_CONTROL is on (test builds),
// and listening only when the environment variable PALVON_TEST_CONTROL
// names a Unix socket path. Each connection sends one line, "<command>
// <words...>", and reads one line back: "ok[ <result>]" or "error <text>".
// Commands are rows of one table (testcontrol.cpp), one row each.
//
// Main thread only; a command runs to its end before the next is read.
#pragma once

#include "base/strings.h"

namespace palvon {

// Starts listening when the build and the environment ask for it; does
// nothing otherwise. Called once the session is up.
void startTestControl();

// The command line split into words (at most 16; the text is changed in
// place) and the row that handles it run: the reply line without its
// newline, in the ring of temporary strings. Exposed for the tests.
const char* runTestControlLine(char* line);

}  // namespace palvon
