// The key snapshot: its exact text, its order, and that it never passes for complete when it
// is not.
#include "backout/snapshot.h"

#include "testing/store_fixture.h"

namespace {

class SnapshotTest : public dx_testing::StoreFixture {
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
  Seed("SOFTWARE\\Example", "list", 7, std::string("a\0b,c\0\0", 7));
  Seed("SOFTWARE\\Big", "a", 3, "\1");  // then a value far larger than the first one read
  Seed("SOFTWARE\\Big", "b", 3, std::string(3000, '\1'));
  std::string bigHex = "01";
  for (int i = 1; i < 3000; ++i) bigHex += ",01";
  OpenBackout();
  ASSERT_TRUE(Snap("HKLM\\SOFTWARE\\Example"));
  ASSERT_TRUE(Snap("HKLM\\SOFTWARE\\Big"));
  EXPECT_EQ(BackoutText(),
            "DORVALEX\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Example]\n"
            "UPDATE:\"\"=\"abc\"\n"
            "UPDATE:\"Count\"=Dword:00000005\n"
            "UPDATE:\"list\"=hex(7):61,00,62,2C,63,00,00\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Example\\Empty]\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Example\\Sub]\n"
            "UPDATE:\"Path\"=\"C:\\\\Temp\"\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Example\\Sub\\Leaf]\n"
            "UPDATE:\"q\"=\"say \\\"hi\\\"\"\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\Big]\n"
            "UPDATE:\"a\"=hex:01\nUPDATE:\"b\"=hex:" + bigHex + "\n");
  EXPECT_EQ(output_.Take(), "");
}

TEST_F(SnapshotTest, FailuresAreReported) {
  Seed("SOFTWARE\\W\\Sub", "v", 1, std::string("x\0", 2));
  OpenBackout();
  // A missing key: its header, then the information query fails.
  EXPECT_FALSE(Snap("HKLM\\SOFTWARE\\Missing"));
  EXPECT_EQ(output_.Take(),
            "***ERROR : Could not get Key information for \"HKLM\\SOFTWARE\\Missing\"\n"
            "         : (2)The system cannot find the file specified.\n");
  EXPECT_EQ(BackoutText(), "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\Missing]\n");
  ASSERT_TRUE(backout_.Create("/dev/full", true));
  Spinner spinner;
  EXPECT_FALSE(Snap("HKLM\\SOFTWARE\\W"));
  EXPECT_FALSE(Snap("HKLM\\SOFTWARE\\W", &spinner));
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
}

}  // namespace
