// The destruction tool's events file: where a domain looks for it and how its lines read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "capture/events_file.h"
#include "capture_test_util.h"

namespace tf {
namespace {

using testing::TempFolder;
using testing::WriteText;

TEST(ReadEventsFile, ReadsKindsCommentsAndMissingEnergies) {
  TempFolder dir;
  const auto file = dir / "events.txt";
  WriteText(file,
            "# frame x y z kind energy\n"
            "\n"
            "   \t\n"
            "  12 1 2 3 IMPACT 40\n"
            "\t13 -1.5 0 2.25 spark 5\n"
            "14 0 0 0 Glass 1\n"
            "15 4 5 6 dust 2 trailing words\n"
            "16 0 0 0 fireball 50\n"   // unknown kind
            "17 0 0 impact 50\n"       // a coordinate missing
            "x 0 0 0 impact 50\n"      // no frame
            "18 0 0 0 impact\n"        // no energy: 0, below the minimum of 1
            "19 0 0 0 impact 0.5\n"    // below the minimum
            "20 nan 0 0 impact 9\n");  // not a position
  std::vector<ImpactEvent> events(3);
  bool metres = true;
  ASSERT_EQ(ReadEventsFile(file.string(), 1.0f, events, metres), 4);
  EXPECT_FALSE(metres);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].frame, 12);
  EXPECT_EQ(events[0].kind, 1);
  EXPECT_FLOAT_EQ(events[0].x, 1.0f);
  EXPECT_FLOAT_EQ(events[0].z, 3.0f);
  EXPECT_FLOAT_EQ(events[0].energy, 40.0f);
  EXPECT_EQ(events[1].kind, 0);
  EXPECT_FLOAT_EQ(events[1].x, -1.5f);
  EXPECT_FLOAT_EQ(events[1].z, 2.25f);
  EXPECT_EQ(events[2].kind, 0);
  EXPECT_EQ(events[3].kind, 2);
  EXPECT_EQ(events[3].frame, 15);

  // With no minimum the line without an energy counts, at energy 0.
  ASSERT_EQ(ReadEventsFile(file.string(), 0.0f, events, metres), 6);
  EXPECT_EQ(events[4].frame, 18);
  EXPECT_EQ(events[4].energy, 0.0f);
}

TEST(ReadEventsFile, UnitsCommentDeclaresMetres) {
  TempFolder dir;
  for (const char* comment : {"# units meters", "   # exported in units metres by the tool"}) {
    WriteText(dir / "e.txt", std::string(comment) + "\n1 0 0 0 spark 3\n");
    std::vector<ImpactEvent> events;
    bool metres = false;
    EXPECT_EQ(ReadEventsFile((dir / "e.txt").string(), 1.0f, events, metres), 1);
    EXPECT_TRUE(metres) << comment;
  }
  // Only a comment declares units.
  WriteText(dir / "e.txt", "1 0 0 0 spark 3 units meters\n# units: feet\n");
  std::vector<ImpactEvent> events;
  bool metres = true;
  EXPECT_EQ(ReadEventsFile((dir / "e.txt").string(), 1.0f, events, metres), 1);
  EXPECT_FALSE(metres);
}

TEST(ReadEventsFile, MissingFileOrPathEmptiesTheList) {
  TempFolder dir;
  std::vector<ImpactEvent> events(2);
  bool metres = true;
  EXPECT_EQ(ReadEventsFile("", 1.0f, events, metres), -1);
  EXPECT_TRUE(events.empty());
  events.resize(2);
  EXPECT_EQ(ReadEventsFile((dir / "none.txt").string(), 1.0f, events, metres), -1);
  EXPECT_TRUE(events.empty());
  EXPECT_FALSE(metres);
  // A folder is no file either, and a pipe is refused rather than read (which would block).
  EXPECT_EQ(ReadEventsFile(dir.path().string(), 1.0f, events, metres), -1);
  ASSERT_EQ(::mkfifo((dir / "pipe.txt").string().c_str(), 0600), 0);
  EXPECT_EQ(ReadEventsFile((dir / "pipe.txt").string(), 1.0f, events, metres), -1);
}

TEST(ReadEventsFile, LongLinesAreCutAt511Bytes) {
  TempFolder dir;
  // The energy lies beyond byte 511 and is lost with the rest of the line; the next line reads.
  const std::string longLine = "3 1 2 3 impact" + std::string(520, ' ') + "99\n";
  WriteText(dir / "e.txt", longLine + "4 0 0 0 dust 7\n");
  std::vector<ImpactEvent> events;
  bool metres = false;
  ASSERT_EQ(ReadEventsFile((dir / "e.txt").string(), 0.0f, events, metres), 2);
  EXPECT_EQ(events[0].energy, 0.0f);
  EXPECT_EQ(events[1].frame, 4);
}

class EventsFilePathTest : public ::testing::Test {
 protected:
  testing::DomainScene s;
};

TEST_F(EventsFilePathTest, BesideTheSceneUpToTheFirstDot) {
  EXPECT_EQ(EventsFilePath(*s.domain), "");  // unsaved
  s.scene.SetFilePath("/proj/shot.final.max");
  EXPECT_EQ(EventsFilePath(*s.domain), "/proj/shot_cyclone/events.txt");
  s.scene.SetFilePath("C:\\proj\\shot.final.max");
  EXPECT_EQ(EventsFilePath(*s.domain), "C:\\proj\\shot_cyclone/events.txt");
  s.scene.SetFilePath("/work/a.b/scene.json");  // a dot in the folder is not the name's
  EXPECT_EQ(EventsFilePath(*s.domain), "/work/a.b/scene_cyclone/events.txt");
  s.scene.SetFilePath("shot.json");
  EXPECT_EQ(EventsFilePath(*s.domain), "shot_cyclone/events.txt");
}

TEST_F(EventsFilePathTest, TheDomainsSettingWins) {
  s.scene.SetFilePath("/proj/shot.json");
  s.block->SetString(kEventsFile, 0, "/data/hits.txt");
  EXPECT_EQ(EventsFilePath(*s.domain), "/data/hits.txt");
  // A relative name is the scene folder's, as every file name of a domain is.
  s.block->SetString(kEventsFile, 0, "sim/hits.txt");
  EXPECT_EQ(EventsFilePath(*s.domain), "/proj/sim/hits.txt");
}

}  // namespace
}  // namespace tf
