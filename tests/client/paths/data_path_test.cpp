#include <gtest/gtest.h>

#include <orvo/OrvoCI.h>
#include "tests/fixtures/scratch.h"

// No connection is made, so "?" finds every current name empty.
TEST(DataPath, BuildsThePartsThatHaveValuesAndReadsOneBack)
{
    orvo::test::ScratchRegistry registry;
    OrvoCI client;
    const char* full = "[SERVERNAME]Local[TANKNAME]T1[BLOCKNAME]B2[EVENTNAME]Wav1[CHANNELNAME(]1,2,3[)CHANNELNAME]";
    const LONG list[] = {1, 2, 3, 0}, first0[] = {0, 5}, signedList[] = {-1, 70000, 0};
    const struct { const char *server, *tank, *block, *event; const LONG* channels; const char* text; } built[] = {
        {"", "T1", "B2", "Wav1", list, full}, {"", "", "", "", nullptr, "[SERVERNAME]Local"},
        {"?", "?", "?", "?", nullptr, "[EVENTNAME]?"}, {"S", "", "B", "", list, "[SERVERNAME]S[BLOCKNAME]B"},
        {"S", "", "", "E", first0, "[SERVERNAME]S[EVENTNAME]E"},
        {"?", "", "", "E", signedList, "[EVENTNAME]E[CHANNELNAME(]-1,70000[)CHANNELNAME]"},
    };
    for (const auto& c : built) {
        EXPECT_EQ(client.ToDPX(c.server, c.tank, c.block, c.event, c.channels), c.text) << c.text;
    }

    const struct { const char *descriptor, *item, *value; } read[] = {
        {full, "SV", "Local"}, {full, "TK", "T1"}, {full, "BK", "B2"}, {full, "EV", "Wav1"}, {full, "CH", ""},
        {full, "ev", ""}, {"", "SV", ""}, {"[TANKNAME]T1", "BK", ""},
        {"DPX=[EVENTNAME]E[SERVERNAME]S[TANKNAME]T", "EV", "E"}, {"DPX=[EVENTNAME]E[SERVERNAME]S", "SV", "S"},
        {"[TANKNAME]aDPX=b[BLOCKNAME]B", "TK", "ab"},
    };
    for (const auto& c : read) {
        EXPECT_EQ(client.FromDPX(c.descriptor, c.item), c.value) << c.descriptor << " " << c.item;
    }
}
