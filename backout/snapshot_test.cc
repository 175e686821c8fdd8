// The key snapshot: its exact text, its order, and that it never passes for complete when it
// is not.
#include "backout/snapshot.h"

#include "testing/store_fixture.h"

namespace {

using dx_testing::StoreFixture;

class SnapshotTest : public StoreFixture {
 protected:
  bool Snap(const std::string& path, Spinner* spinner = nullptr) {
    return SnapshotKey(*keys_, backout_, path, settings_.machineName, spinner);
  }
};

TEST_F(SnapshotTest, WritesEveryKeyDepthFirstWithItsValues) {
  Seed("SOFTWARE\\Example", "", 1, std::string("abc\0", 4));
  Seed("SOFTWARE\\Example", "Count", 4, std::string("\5\0\0\0", 4));
  Seed("SOFTWARE\\Example\\Sub", "Path", 1, std::string("C:\\Temp\0", 8));
  Seed("SOFTWARE\\Example\\Sub\\Leaf", "q", 1, std::string("say \"hi\"\0", 9));
  SeedKey("SOFTWARE\\Example\\Empty");
  Seed("SOFTWARE\\Example", "raw", 11, std::string("\1\2\3\4\5\6\7\x08", 8));
  Seed("SOFTWARE\\Example", "list", 7, std::string("a\0b,c\0\0", 7));
  OpenBackout();
  ASSERT_TRUE(Snap("HKLM\\SOFTWARE\\Example"));
  EXPECT_EQ(BackoutText(),
            "DORVALEX\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Example]\n"
            "UPDATE:\"\"=\"abc\"\n"
            "UPDATE:\"Count\"=Dword:00000005\n"
            "UPDATE:\"raw\"=hex(11):01,02,03,04,05,06,07,08\n"
            "UPDATE:\"list\"=hex(7):61,00,62,2C,63,00,00\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Example\\Empty]\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Example\\Sub]\n"
            "UPDATE:\"Path\"=\"C:\\\\Temp\"\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Example\\Sub\\Leaf]\n"
            "UPDATE:\"q\"=\"say \\\"hi\\\"\"\n");
  EXPECT_EQ(output_.Take(), "");
}

TEST_F(SnapshotTest, ManyLargeValuesAreAllWritten) {
  std::string expected = "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\Big]\n";
  for (int i = 0; i < 300; ++i) {
    std::string data(i * 7, static_cast<char>('a' + i % 26));
    Seed("SOFTWARE\\Big", "v" + std::to_string(i), 3, data);
    expected += "UPDATE:\"v" + std::to_string(i) + "\"=hex:";
    for (size_t b = 0; b < data.size(); ++b) {
      expected += dx_testing::HexBytes(data.substr(b, 1)) + (b + 1 < data.size() ? "," : "");
    }
    expected += "\n";
  }
  OpenBackout();
  ASSERT_TRUE(Snap("HKLM\\SOFTWARE\\Big"));
  EXPECT_EQ(BackoutText(), expected);
}

TEST_F(SnapshotTest, FailuresAreReported) {
  OpenBackout();
  {
    SCOPED_TRACE("bad root");
    EXPECT_FALSE(Snap("HKXX\\SOFTWARE"));
    EXPECT_EQ(output_.Take(),
              "***ERROR : Invalid Root Key\n***ERROR : [Line 0]:HKXX\n"
              "***ERROR : Could not open key to backout: \"HKXX\\SOFTWARE\"\n");
  }
  {
    SCOPED_TRACE("missing key: header, then the information query fails");
    EXPECT_FALSE(Snap("HKLM\\SOFTWARE\\Missing"));
    EXPECT_EQ(output_.Take(),
              "***ERROR : Could not get Key information for \"HKLM\\SOFTWARE\\Missing\"\n"
              "         : (2)The system cannot find the file specified.\n");
    EXPECT_EQ(BackoutText(), "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\Missing]\n");
  }
  {
    SCOPED_TRACE("full-backup mode reports after the spinner and says it goes on");
    Spinner spinner;
    EXPECT_FALSE(Snap("HKLM\\SOFTWARE\\Missing", &spinner));
    EXPECT_EQ(output_.Take(),
              "\b***ERROR : Couldn't save \"HKLM\\SOFTWARE\\Missing\"\nContinuing ...\n");
  }
}

TEST_F(SnapshotTest, SpinnerTurnsOncePerSubkeyAcrossCalls) {
  for (const char* name : {"A", "B", "C"}) SeedKey(std::string("SOFTWARE\\S\\") + name);
  OpenBackout();
  Spinner spinner;
  ASSERT_TRUE(Snap("HKLM\\SOFTWARE\\S", &spinner));
  ASSERT_TRUE(Snap("HKLM\\SOFTWARE\\S", &spinner));
  EXPECT_EQ(output_.Take(), "\b|\b/\b-\b\\\b|\b/");
}

TEST_F(SnapshotTest, AFailedWriteFailsTheSnapshot) {
  Seed("SOFTWARE\\W\\Sub", "v", 1, std::string("x\0", 2));
  ASSERT_TRUE(backout_.Create("/dev/full"));
  Spinner spinner;
  EXPECT_FALSE(Snap("HKLM\\SOFTWARE\\W"));
  EXPECT_FALSE(Snap("HKLM\\SOFTWARE\\W", &spinner));
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
}

}  // namespace
