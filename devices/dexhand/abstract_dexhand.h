#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/abstract_device.h"
#include "devices/state_define.h"

namespace tovak::device {

using TactilePoint = uint16_t;

// One tactile sensor part: a matrix of 16-bit readings.
struct FingerTactileData {
  std::vector<std::vector<TactilePoint>> data;
  int rows = 0;
  int cols = 0;
  int byteSize = 0;
  std::string name;

  // Shapes the part: rows x cols zero readings, 2 bytes each (byteSize).
  // Throws std::invalid_argument for a negative size.
  void init(int rows, int cols, const std::string& name);
  // Fills `data` row by row with rows x cols readings taken from `raw`,
  // starting at index `offset`; readings past the end of `raw` read 0.
  // Throws std::invalid_argument for a negative offset.
  void assignFromVector(const std::vector<TactilePoint>& raw, int offset);
  void init() { init(rows, cols, name); }
};

// The palm's part; same fields and operations as FingerTactileData.
struct PalmTactileData {
  std::vector<std::vector<TactilePoint>> data;
  int rows = 0;
  int cols = 0;
  int byteSize = 0;
  std::string name;

  void init(int rows, int cols, const std::string& name);
  void assignFromVector(const std::vector<TactilePoint>& raw, int offset);
  void init() { init(rows, cols, name); }
};

enum FingerType { PINKY = 0, RING = 1, MIDDLE = 2, INDEX = 3, THUMB = 4 };

// All 17 tactile parts of one hand. Layout (rows x cols, name):
//   pinky, ring, middle, index: tip 3x3 "<finger>_tip", finger 12x8
//     "<finger>_finger", pad 10x8 "<finger>_pad" (raw block 185 readings);
//   thumb: tip 3x3 "thumb_tip", finger 12x8 "thumb_finger", middle 3x3
//     "thumb_middle", pad 12x8 "thumb_pad" (raw block 210 readings);
//   palm 8x14 "palm" (112 readings).
// Matrices are stored row by row; a default-constructed record is unshaped
// (all parts 0x0) until init().
struct HandTactileSensors {
  struct {
    FingerTactileData tip;
    FingerTactileData finger;
    FingerTactileData pad;
  } pinky, ring, middle, index;
  struct {
    FingerTactileData tip;
    FingerTactileData finger;
    FingerTactileData middle;
    FingerTactileData pad;
  } thumb;
  PalmTactileData palm;

  // Shapes every part with the layout above, all readings 0.
  void init();
  // Distributes one finger's raw block over its parts in the order tip,
  // finger, [middle,] pad, each filled row by row; readings missing at the
  // end of `raw` read 0, extra readings are ignored. The parts keep their
  // current shapes (init() first).
  void parseFinger(FingerType finger, const std::vector<TactilePoint>& raw);
  // Fills the palm row by row from `raw`, as parseFinger does.
  void parsePalm(const std::vector<TactilePoint>& raw);
  // "pinky", "ring", "middle", "index" or "thumb"; std::invalid_argument otherwise.
  static std::string getFingerName(FingerType finger);
};

// A six-DOF dexterous hand with tactile sensors.
class AbstractDexHand : public AbstractDevice {
 public:
  AbstractDexHand() = default;
  explicit AbstractDexHand(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractDexHand() = default;

  virtual void getState(DexHandState& state) = 0;
  // Six values, index = DOF; -1 leaves a DOF unchanged.
  virtual void setPositions(const std::vector<int>& positions) = 0;
  virtual void setAngles(const std::vector<int>& angles) = 0;
  virtual void setVelocities(const std::vector<int>& speeds) = 0;
  virtual void setPresetAct(int act) = 0;
  virtual void execPresetAct(int act) = 0;
  virtual void setForce(const std::vector<int>& forces) = 0;
  // Latest readings. The reference stays valid for the device's life. A
  // driver that refreshes the readings on its own thread swaps this record
  // under its lock, so a caller on another thread must not copy it without
  // that lock: use sensorSnapshot() for that.
  virtual HandTactileSensors& getSensorData() = 0;

  // A consistent copy of the latest readings. Callers on other threads use
  // this; drivers that update the readings on their own thread override it to
  // take the copy under their lock.
  virtual HandTactileSensors sensorSnapshot() { return getSensorData(); }

 protected:
  DexHandState status_;
  HandTactileSensors hand_tactile_sensors_;
};

}  // namespace tovak::device
