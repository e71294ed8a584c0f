// The date and time text of DATE-OBS, DATE and LastExposureStartTime.
#include "host/utc_time.h"

#include <gtest/gtest.h>

TEST(UtcTimeText, MillisecondsRoundedDownInEveryFieldTable) {
    using namespace std::chrono;
    const sys_days leapDay{year{2028} / 2 / 29};
    const struct {
        system_clock::time_point time;
        const char *text;
    } cases[] = {
        {system_clock::time_point{}, "1970-01-01T00:00:00.000"},
        {leapDay + hours(23) + minutes(59) + seconds(59) + milliseconds(999),
         "2028-02-29T23:59:59.999"},
        {leapDay + milliseconds(42) + microseconds(999), "2028-02-29T00:00:00.042"},
        {sys_days{year{1969} / 12 / 31} + hours(23) + minutes(59) + seconds(59) +
             milliseconds(1),
         "1969-12-31T23:59:59.001"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(utcTimeText(c.time), c.text);
    }
}
