#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <set>
#include <string>
#include <thread>

#include <orvo/OrvoCI.h>

TEST(TimeText, FormatsElapsedTimes)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct { double time; const char* format; const char* text; } cases[] = {
        {3725.5, "H:M:S", "01:02:05"}, {3725.5, "H:M:U", "01:02:05.5"}, {3725.5, "M:S", "62:05"},
        {3725.5, "S", "3725"}, {3725.5, "S:M", "3725:00"}, {3672.25, "U", "12.25"},
        {360000.0, "H", "100"}, {3725.5, "W D O Y", "   "}, {3725.5, "[x]hms", "[x]hms"},
        {3725.5, nullptr, ""}, {-3725.5, "H:M:U", "-01:02:05.5"}, {nan, "H:M:U", "00:00:00"},
        {-1e300, "H", "-2562047788015215"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(OrvoCI::ST(c.time, c.format), c.text) << c.time << " " << (c.format ? c.format : "null");
    }
}

TEST(TimeText, FormatsCalendarTimesInLocalTime)
{
    const char* const saved = std::getenv("TZ");
    const bool hadTz = saved != nullptr;
    const std::string previous = hadTz ? saved : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const double time = 946782245.75;  // 2000-01-02 03:04:05.75 UTC
    const std::string text = OrvoCI::ST(time, "W O D Y H:M:S U [x]");
    const std::string huge = OrvoCI::ST(1e300, "Y-H.U");
    hadTz ? setenv("TZ", previous.c_str(), 1) : unsetenv("TZ");
    tzset();
    EXPECT_EQ(text, "Sun Jan 02 2000 03:04:05 05.75 [x]");
    EXPECT_EQ(huge, "-.07");  // no date beyond the C library's range
}

TEST(TimeText, AreasRotateAndTextsAreCutToTheirArea)
{
    char* first = OrvoCI::ST(1.0, "first");
    std::thread([] {
        for (int i = 0; i < 8; ++i) {
            OrvoCI::ST(2.0, "other thread");
        }
    }).join();
    std::set<char*> addresses = {first};
    for (int i = 0; i < 3; ++i) {
        addresses.insert(OrvoCI::ST(3.0, "S"));
        EXPECT_STREQ(first, "first");
    }
    EXPECT_EQ(addresses.size(), 4u);
    EXPECT_EQ(OrvoCI::ST(4.0, "S"), first);
    EXPECT_STREQ(first, "04");

    const std::string hours = "x" + std::string(600, 'H');  // "x100000...": cut inside a field
    const std::string cut = OrvoCI::ST(360000.0, hours.c_str());
    EXPECT_EQ(cut.size(), 999u);
    EXPECT_EQ(cut.substr(0, 6), "x10000");
}
