// The server's console window on Windows: started from the Start menu or at
// logon it opens minimized, and its title says what it is and where its setup
// page is; closing the window stops the server as Ctrl+C does.
#pragma once

#include <atomic>
#include <string>

namespace alpaca {

// "QM-208X Alpaca server - http://localhost:11111/setup - close this window to stop".
// A wildcard or empty bind address becomes localhost, an IPv6 address is
// bracketed as in a URL.
std::string consoleTitle(const std::string &bindAddress, int port);

// Windows: gives the console window the title and makes closing it (or
// logging off) set stopRequested, leaving the server a few seconds to stop.
// Elsewhere nothing.
void dressConsoleWindow(const std::string &title, std::atomic<bool> &stopRequested);

}  // namespace alpaca
