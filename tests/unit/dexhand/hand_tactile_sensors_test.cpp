#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/dexhand/abstract_dexhand.h"
#include "devices/state_define.h"

namespace tovak::device {
namespace {

using Part = FingerTactileData;

std::vector<TactilePoint> iota(size_t n, TactilePoint first = 0) {
  std::vector<TactilePoint> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

struct LayoutRow {
  std::function<const Part&(const HandTactileSensors&)> part;
  int rows;
  int cols;
  const char* name;
};

TEST(HandTactileSensors, InitShapesAllSeventeenPartsWithZeroReadings) {
  const std::vector<LayoutRow> layout = {
      {[](auto& h) -> const Part& { return h.pinky.tip; }, 3, 3, "pinky_tip"},
      {[](auto& h) -> const Part& { return h.pinky.finger; }, 12, 8, "pinky_finger"},
      {[](auto& h) -> const Part& { return h.pinky.pad; }, 10, 8, "pinky_pad"},
      {[](auto& h) -> const Part& { return h.ring.tip; }, 3, 3, "ring_tip"},
      {[](auto& h) -> const Part& { return h.ring.finger; }, 12, 8, "ring_finger"},
      {[](auto& h) -> const Part& { return h.ring.pad; }, 10, 8, "ring_pad"},
      {[](auto& h) -> const Part& { return h.middle.tip; }, 3, 3, "middle_tip"},
      {[](auto& h) -> const Part& { return h.middle.finger; }, 12, 8, "middle_finger"},
      {[](auto& h) -> const Part& { return h.middle.pad; }, 10, 8, "middle_pad"},
      {[](auto& h) -> const Part& { return h.index.tip; }, 3, 3, "index_tip"},
      {[](auto& h) -> const Part& { return h.index.finger; }, 12, 8, "index_finger"},
      {[](auto& h) -> const Part& { return h.index.pad; }, 10, 8, "index_pad"},
      {[](auto& h) -> const Part& { return h.thumb.tip; }, 3, 3, "thumb_tip"},
      {[](auto& h) -> const Part& { return h.thumb.finger; }, 12, 8, "thumb_finger"},
      {[](auto& h) -> const Part& { return h.thumb.middle; }, 3, 3, "thumb_middle"},
      {[](auto& h) -> const Part& { return h.thumb.pad; }, 12, 8, "thumb_pad"},
  };
  HandTactileSensors h;
  h.init();
  for (const auto& row : layout) {
    const Part& p = row.part(h);
    SCOPED_TRACE(row.name);
    EXPECT_EQ(p.name, row.name);
    EXPECT_EQ(p.rows, row.rows);
    EXPECT_EQ(p.cols, row.cols);
    EXPECT_EQ(p.byteSize, row.rows * row.cols * 2);
    ASSERT_EQ(p.data.size(), static_cast<size_t>(row.rows));
    for (const auto& r : p.data) EXPECT_EQ(r, std::vector<TactilePoint>(static_cast<size_t>(row.cols), 0));
  }
  EXPECT_EQ(h.palm.name, "palm");
  EXPECT_EQ(h.palm.rows, 8);
  EXPECT_EQ(h.palm.cols, 14);
  EXPECT_EQ(h.palm.byteSize, 224);
  ASSERT_EQ(h.palm.data.size(), 8u);
  EXPECT_EQ(h.palm.data[7].size(), 14u);
}

TEST(HandTactileSensors, FingerBlocksMatchTheRegisterSpacing) {
  // A finger's raw block is 370 bytes and the thumb's 420 (the spacing of the
  // tactile blocks in the register map): the parts must add up to that.
  HandTactileSensors h;
  h.init();
  EXPECT_EQ(h.index.tip.byteSize + h.index.finger.byteSize + h.index.pad.byteSize, 370);
  EXPECT_EQ(h.thumb.tip.byteSize + h.thumb.finger.byteSize + h.thumb.middle.byteSize + h.thumb.pad.byteSize, 420);
}

TEST(HandTactileSensors, ParseFingerDistributesTheBlockInPartOrder) {
  HandTactileSensors h;
  h.init();
  h.parseFinger(INDEX, iota(185, 1));
  EXPECT_EQ(h.index.tip.data[0][0], 1);
  EXPECT_EQ(h.index.tip.data[0][2], 3);
  EXPECT_EQ(h.index.tip.data[2][2], 9);
  EXPECT_EQ(h.index.finger.data[0][0], 10);
  EXPECT_EQ(h.index.finger.data[1][0], 18);
  EXPECT_EQ(h.index.finger.data[11][7], 105);
  EXPECT_EQ(h.index.pad.data[0][0], 106);
  EXPECT_EQ(h.index.pad.data[9][7], 185);
  // Only the named finger changes.
  EXPECT_EQ(h.middle.tip.data[0][0], 0);

  h.parseFinger(THUMB, iota(210, 1));
  EXPECT_EQ(h.thumb.finger.data[0][0], 10);
  EXPECT_EQ(h.thumb.middle.data[0][0], 106);
  EXPECT_EQ(h.thumb.middle.data[2][2], 114);
  EXPECT_EQ(h.thumb.pad.data[0][0], 115);
  EXPECT_EQ(h.thumb.pad.data[11][7], 210);
}

TEST(HandTactileSensors, ShortBlocksReadZeroAndLongBlocksAreCut) {
  HandTactileSensors h;
  h.init();
  h.parseFinger(RING, std::vector<TactilePoint>(185, 7));
  h.parseFinger(RING, iota(50, 1));  // ends inside ring.finger
  EXPECT_EQ(h.ring.finger.data[5][0], 50);  // reading 50 sits at 9 + 40
  EXPECT_EQ(h.ring.finger.data[5][1], 0);
  EXPECT_EQ(h.ring.pad.data[9][7], 0);

  h.parsePalm(iota(200, 1));
  EXPECT_EQ(h.palm.data[0][0], 1);
  EXPECT_EQ(h.palm.data[7][13], 112);
  EXPECT_EQ(h.palm.data.size(), 8u);
}

TEST(HandTactileSensors, AssignFromVectorStartsAtTheOffset) {
  FingerTactileData p;
  p.init(2, 3, "p");
  p.assignFromVector(iota(10), 6);
  EXPECT_EQ(p.data, (std::vector<std::vector<TactilePoint>>{{6, 7, 8}, {9, 0, 0}}));
  EXPECT_THROW(p.assignFromVector(iota(10), -1), std::invalid_argument);

  // A part whose data was emptied is reshaped from rows and cols.
  PalmTactileData palm;
  palm.init(2, 2, "palm");
  palm.data.clear();
  palm.assignFromVector(iota(4, 1), 0);
  EXPECT_EQ(palm.data, (std::vector<std::vector<TactilePoint>>{{1, 2}, {3, 4}}));
}

TEST(HandTactileSensors, CopyIsIndependentOfItsSource) {
  HandTactileSensors a;
  a.init();
  a.parsePalm(iota(112, 1));
  HandTactileSensors b = a;
  b.palm.data[0][0] = 999;
  b.index.pad.data[3][3] = 5;
  EXPECT_EQ(a.palm.data[0][0], 1);
  EXPECT_EQ(a.index.pad.data[3][3], 0);

  FingerTactileData part;
  part.data = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  part.rows = 3;
  part.cols = 3;
  const FingerTactileData copy = part;
  EXPECT_EQ(copy.data, part.data);
  EXPECT_EQ(copy.rows, 3);
  EXPECT_EQ(copy.cols, 3);
}

TEST(HandTactileSensors, FingerNames) {
  EXPECT_EQ(HandTactileSensors::getFingerName(PINKY), "pinky");
  EXPECT_EQ(HandTactileSensors::getFingerName(RING), "ring");
  EXPECT_EQ(HandTactileSensors::getFingerName(MIDDLE), "middle");
  EXPECT_EQ(HandTactileSensors::getFingerName(INDEX), "index");
  EXPECT_EQ(HandTactileSensors::getFingerName(THUMB), "thumb");
  EXPECT_THROW(HandTactileSensors::getFingerName(static_cast<FingerType>(9)), std::invalid_argument);
}

TEST(DexHandState, DefaultHasSixEntriesWithoutErrorTexts) {
  DexHandState s;
  ASSERT_EQ(s.hands.size(), 6u);
  for (const auto& dof : s.hands) EXPECT_TRUE(dof.error_message.empty());
  EXPECT_FALSE(s.is_initialized);
}

}  // namespace
}  // namespace tovak::device
