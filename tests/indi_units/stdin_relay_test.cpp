// The relay in front of the driver's standard input: every byte passes on
// unchanged, newlines come only between whole elements, after a quiet spell,
// and the end of input reaches the reader.
#include "indi/stdin_relay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qmindi {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kQuiet{20};

struct RelayCase {
    const char *name;
    std::vector<std::string> chunks;  // written with quiet spells between them
    std::set<size_t> boundaries;      // input offsets that end whole elements
    bool endsBetweenElements;         // so a newline must follow the last byte
};

const RelayCase kRelayCases[] = {
    {"WholeMessageThenOneSplitInItsTagsAndText",
     {"<getProperties version='1.7'/>", "<newTextVector device='d' na",
      "me='n'><oneText name='t'>a ", " b</oneText></newTe", "xtVector>"},
     {0, 30, 113},
     true},
    {"UnfinishedMessage", {"<getProperties version='1.7'/>", "<newNumberVector device='d'"},
     {0, 30},
     false},
};

void PrintTo(const RelayCase &c, std::ostream *os) { *os << c.name; }

class RelayTest : public ::testing::TestWithParam<RelayCase> {};

TEST_P(RelayTest, PassesEveryByteAndAddsNewlinesOnlyBetweenElements) {
    const RelayCase &c = GetParam();
    int up[2], down[2];
    ASSERT_EQ(pipe(up), 0);
    ASSERT_EQ(pipe(down), 0);
    fcntl(down[0], F_SETFL, O_NONBLOCK);
    std::thread relay(relayMessages, up[0], down[1], kQuiet);

    std::string input, output;
    const auto take = [&] {  // what the relay has written so far
        char bytes[256];
        for (ssize_t got; (got = read(down[0], bytes, sizeof bytes)) > 0;) {
            output.append(bytes, static_cast<size_t>(got));
        }
    };
    for (const std::string &chunk : c.chunks) {
        ASSERT_EQ(write(up[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        input += chunk;
        std::this_thread::sleep_for(kQuiet * 4);
    }
    // Where each newline came, counted in bytes of input before it.
    const auto newlinesAt = [&] {
        std::vector<size_t> at;
        size_t seen = 0;
        for (char b : output) {
            if (b == '\n') {
                at.push_back(seen);
            } else {
                ++seen;
            }
        }
        return at;
    };
    const auto newlineAfterInput = [&] {
        const std::vector<size_t> at = newlinesAt();
        return !at.empty() && at.back() == input.size();
    };
    for (int i = 0; c.endsBetweenElements && i < 500 && (take(), !newlineAfterInput()); ++i) {
        std::this_thread::sleep_for(kQuiet);
    }
    close(up[1]);
    relay.join();  // it closes its end, so what is left reads to the end
    take();
    close(down[0]);

    for (size_t at : newlinesAt()) {
        EXPECT_TRUE(c.boundaries.count(at)) << "newline after " << at << " bytes: " << output;
    }
    std::string withoutNewlines = output;
    std::erase(withoutNewlines, '\n');
    EXPECT_EQ(withoutNewlines, input);
    EXPECT_EQ(newlineAfterInput(), c.endsBetweenElements) << output;
}

INSTANTIATE_TEST_SUITE_P(Relay, RelayTest, ::testing::ValuesIn(kRelayCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qmindi
