// The title of the server's console window names the setup page a user can open.
#include <gtest/gtest.h>

#include "alpaca/windows/console_window.h"

TEST(AlpacaConsoleWindow, TitleNamesTheSetupPageOfTheBoundAddress) {
    struct Case {
        const char *bindAddress;
        int port;
        const char *url;
    };
    const Case cases[] = {
        {"0.0.0.0", 11111, "http://localhost:11111/setup"},
        {"", 11111, "http://localhost:11111/setup"},
        {"::", 8080, "http://localhost:8080/setup"},
        {"127.0.0.1", 40000, "http://127.0.0.1:40000/setup"},
        {"192.168.1.20", 11111, "http://192.168.1.20:11111/setup"},
        {"::1", 11111, "http://[::1]:11111/setup"},
        {"fe80::1", 1, "http://[fe80::1]:1/setup"},
    };
    for (const Case &c : cases) {
        const std::string title = alpaca::consoleTitle(c.bindAddress, c.port);
        EXPECT_EQ(title, std::string("QM-208X Alpaca server - ") + c.url +
                             " - close this window to stop")
            << "bind " << c.bindAddress;
    }
}
