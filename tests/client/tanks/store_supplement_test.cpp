#include <orvo/CStoreSupplement.h>

#include <gtest/gtest.h>

#include "client/tanks/SupplementList.h"

TEST(StoreSupplement, DefaultTextAndRoundTrip)
{
    CStoreSupplement original;
    CString text("old");
    original.ToString(&text);
    original.ToString(nullptr);
    EXPECT_EQ(text,
              "NAME=StoreName;TYPE=T;VALUE=;\r\nNAME=HeadName;TYPE=T;VALUE=;\r\n"
              "NAME=Enabled;TYPE=L;VALUE=1;\r\nNAME=CircType;TYPE=L;VALUE=-1;\r\n"
              "NAME=NumChan;TYPE=L;VALUE=1;\r\nNAME=StrobeMode;TYPE=L;VALUE=0;\r\n"
              "NAME=StrobeBuddy;TYPE=T;VALUE=;\r\nNAME=SecTag;TYPE=T;VALUE=;\r\n"
              "NAME=TankEvType;TYPE=L;VALUE=0;\r\nNAME=NumPoints;TYPE=L;VALUE=0;\r\n"
              "NAME=DataFormat;TYPE=L;VALUE=0;\r\nNAME=SampleFreq;TYPE=L;VALUE=0.000000;\r\n");

    // Every member differs from its default and from the others, so a line
    // written or read into the wrong member changes the text read back.
    original.StoreName = "Wav1", original.HeadName = "Head", original.StrobeBuddy = "Bud";
    original.SecTag = "Tag", original.Enabled = 2, original.CircType = 3, original.NumChan = 4;
    original.StrobeMode = 5, original.TankEvType = 0x8101, original.NumPoints = 30;
    original.DataFormat = 6, original.SampleFreq = 24414.0625f;
    original.ToString(&text);
    CStoreSupplement copy;
    copy.FromString(text);
    CString again;
    copy.ToString(&again);
    EXPECT_EQ(again, text);
    EXPECT_EQ(copy.SampleFreq, 24414.0625f);
}

TEST(StoreSupplement, FromStringLineAndItemRules)
{
    // NumChan 1 is the default, i.e. left alone.
    const struct { const char* text; LONG numChan; } cases[] = {
        {"NAME=NumChan;TYPE=L;VALUE=4\r\n", 0},  // no closing ';': empty value
        {"VALUE=4;NAME=NumChan;\r\n", 4},        // any order
        {"NAME=NumChan;VALUE=4;\r\nNAME=NumChan;VALUE=7;\r\n", 7},
        {"NAME=numchan;VALUE=4;\r\n", 1},
        {" NAME=NumChan;VALUE=4;\r\n", 1},
        {"NAME=NumChan;VALUE=4;", 1},            // no line end
        {"NAME=NumChan;VALUE=99999999999;\r\n", 2147483647},
    };
    for (const auto& c : cases) {
        CStoreSupplement supplement;
        supplement.FromString(c.text);
        EXPECT_EQ(supplement.NumChan, c.numChan) << c.text;
    }
}

TEST(SupplementList, ItemsAfterTheFirstDelimiter)
{
    CSimpleArray<CStoreSupplement*> list;
    list.Add(new CStoreSupplement());  // appended to, not replaced
    EXPECT_EQ(orvo::AppendSupplementsFromNotes("NAME=StoreName;VALUE=X;\r\n[STOREHDRITEM]", list), 0);
    EXPECT_EQ(orvo::AppendSupplementsFromNotes(
                  "user [STOREHDRITEM][USERNOTEDELIMITER]NAME=StoreName;VALUE=A;\r\n[STOREHDRITEM]"
                  "NAME=StoreName;[USERNOTEDELIMITER]VALUE=B;\r\n[STOREHDRITEM]NAME=StoreName;VALUE=C;\r\n",
                  list),
              2);
    ASSERT_EQ(list.GetSize(), 3);
    EXPECT_EQ(list[1]->StoreName, "A");
    EXPECT_EQ(list[2]->StoreName, "B");
    for (CStoreSupplement* supplement : list) {
        delete supplement;
    }
}
