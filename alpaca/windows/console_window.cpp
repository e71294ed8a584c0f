#include "alpaca/windows/console_window.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace alpaca {

std::string consoleTitle(const std::string &bindAddress, int port) {
    std::string host = bindAddress;
    if (host.empty() || host == "0.0.0.0" || host == "::") {
        host = "localhost";
    } else if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    return "QM-208X Alpaca server - http://" + host + ":" + std::to_string(port) +
           "/setup - close this window to stop";
}

#ifdef _WIN32
namespace {

std::atomic<bool> *closeFlag = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (closeFlag == nullptr) {
        return FALSE;
    }
    *closeFlag = true;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process once this returns (after 5 s at most): the
        // server's own exit ends it sooner.
        Sleep(4500);
    }
    return TRUE;
}

}  // namespace

void dressConsoleWindow(const std::string &title, std::atomic<bool> &stopRequested) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, title.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, title.c_str(), -1, wide.data(), length);
        SetConsoleTitleW(wide.c_str());
    }
    closeFlag = &stopRequested;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
#else
void dressConsoleWindow(const std::string &, std::atomic<bool> &) {}
#endif

}  // namespace alpaca
