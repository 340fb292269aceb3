#include <stdexcept>
#include <string>
#include <vector>

#include "devices/dexhand/abstract_dexhand.h"

namespace tovak::device {

namespace {

// The RH56DFTP's tactile layout. A finger's raw block holds its parts in the
// order tip, finger, pad (9 + 96 + 80 readings = 370 bytes, the spacing of
// the finger blocks in the register map); the thumb's holds tip, finger,
// middle, pad (9 + 96 + 9 + 96 = 420 bytes); the palm's 8 x 14.
struct Shape {
  int rows;
  int cols;
};
constexpr Shape kTip{3, 3};
constexpr Shape kFinger{12, 8};
constexpr Shape kPad{10, 8};
constexpr Shape kThumbMiddle{3, 3};
constexpr Shape kThumbPad{12, 8};
constexpr Shape kPalm{8, 14};

template <class Part>
void shapePart(Part& part, int rows, int cols, const std::string& name) {
  if (rows < 0 || cols < 0) {
    throw std::invalid_argument("tactile part " + name + ": shape " + std::to_string(rows) + "x" +
                                std::to_string(cols) + " has a negative size");
  }
  part.rows = rows;
  part.cols = cols;
  part.byteSize = rows * cols * static_cast<int>(sizeof(TactilePoint));
  part.name = name;
  part.data.assign(static_cast<size_t>(rows), std::vector<TactilePoint>(static_cast<size_t>(cols), 0));
}

// Fills the part row by row from raw[offset...]; returns the offset after it.
template <class Part>
size_t fillPart(Part& part, const std::vector<TactilePoint>& raw, long offset) {
  if (offset < 0) {
    throw std::invalid_argument("tactile part " + part.name + ": offset " + std::to_string(offset) +
                                " is negative");
  }
  if (part.data.size() != static_cast<size_t>(part.rows)) {
    part.data.assign(static_cast<size_t>(part.rows), {});
  }
  size_t at = static_cast<size_t>(offset);
  for (auto& row : part.data) {
    row.resize(static_cast<size_t>(part.cols));
    for (auto& value : row) {
      value = at < raw.size() ? raw[at] : TactilePoint{0};
      ++at;
    }
  }
  return at;
}

}  // namespace

void FingerTactileData::init(int r, int c, const std::string& n) { shapePart(*this, r, c, n); }
void FingerTactileData::assignFromVector(const std::vector<TactilePoint>& raw, int offset) {
  fillPart(*this, raw, offset);
}

void PalmTactileData::init(int r, int c, const std::string& n) { shapePart(*this, r, c, n); }
void PalmTactileData::assignFromVector(const std::vector<TactilePoint>& raw, int offset) {
  fillPart(*this, raw, offset);
}

std::string HandTactileSensors::getFingerName(FingerType finger) {
  switch (finger) {
    case PINKY:
      return "pinky";
    case RING:
      return "ring";
    case MIDDLE:
      return "middle";
    case INDEX:
      return "index";
    case THUMB:
      return "thumb";
  }
  throw std::invalid_argument("finger type " + std::to_string(static_cast<int>(finger)) + " is not one of 0-4");
}

void HandTactileSensors::init() {
  for (FingerType f : {PINKY, RING, MIDDLE, INDEX}) {
    auto& finger = f == PINKY ? pinky : f == RING ? ring : f == MIDDLE ? middle : index;
    const std::string name = getFingerName(f);
    finger.tip.init(kTip.rows, kTip.cols, name + "_tip");
    finger.finger.init(kFinger.rows, kFinger.cols, name + "_finger");
    finger.pad.init(kPad.rows, kPad.cols, name + "_pad");
  }
  thumb.tip.init(kTip.rows, kTip.cols, "thumb_tip");
  thumb.finger.init(kFinger.rows, kFinger.cols, "thumb_finger");
  thumb.middle.init(kThumbMiddle.rows, kThumbMiddle.cols, "thumb_middle");
  thumb.pad.init(kThumbPad.rows, kThumbPad.cols, "thumb_pad");
  palm.init(kPalm.rows, kPalm.cols, "palm");
}

void HandTactileSensors::parseFinger(FingerType finger, const std::vector<TactilePoint>& raw) {
  size_t at = 0;
  switch (finger) {
    case PINKY:
    case RING:
    case MIDDLE:
    case INDEX: {
      auto& f = finger == PINKY ? pinky : finger == RING ? ring : finger == MIDDLE ? middle : index;
      at = fillPart(f.tip, raw, 0);
      at = fillPart(f.finger, raw, static_cast<long>(at));
      fillPart(f.pad, raw, static_cast<long>(at));
      return;
    }
    case THUMB:
      at = fillPart(thumb.tip, raw, 0);
      at = fillPart(thumb.finger, raw, static_cast<long>(at));
      at = fillPart(thumb.middle, raw, static_cast<long>(at));
      fillPart(thumb.pad, raw, static_cast<long>(at));
      return;
  }
  throw std::invalid_argument("finger type " + std::to_string(static_cast<int>(finger)) + " is not one of 0-4");
}

void HandTactileSensors::parsePalm(const std::vector<TactilePoint>& raw) { fillPart(palm, raw, 0); }

}  // namespace tovak::device
