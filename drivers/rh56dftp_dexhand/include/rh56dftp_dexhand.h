#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/dexhand/abstract_dexhand.h"
#include "drivers/common/include/fault_injector.h"
#include "tovak/config/dexhand_config/dexhand_config.pb.h"

namespace tovak::device {

// Simulated RH56DFTP six-DOF hand with tactile sensors.
//
// DOFs: 0 little, 1 ring, 2 middle, 3 index, 4 thumb bend, 5 thumb rotation.
// Units (the hand's integer registers):
//   angle     0..1000, 1000 = open (finger stretched / thumb turned out), 0 = closed
//   position  0..2000 actuator stroke, 0 = open; position = 2 * (1000 - angle)
//   speed     0..1000 commanded speed; 1000 moves the whole stroke in 0.8 s,
//             0 holds the DOF; reported speed is the current motion (0 at rest)
//   force     0..3000 force limit in grams-force; reported force is the
//             contact force on the simulated object
//   current   mA; temperature degrees Celsius
// In every command vector -1 leaves the DOF unchanged; any other value
// outside the range is refused and the whole command ignored.
//
// A simulated cylinder sits between the fingers: DOFs 0-4 touch it at the
// stroke position `object_position`; pressing further costs
// `object_stiffness` gf per position unit. A DOF stops where its contact force
// reaches its force limit. The contact forces drive the tactile readings
// (0..4095 per cell) of the parts that press on the object.
//
// Thread: init() starts the driver's thread, which advances the motion and
// refreshes the state and tactile readings `update_rate_hz` times a second.
// getSensorData() returns the record that thread swaps under the lock; other
// threads copy the readings with sensorSnapshot().
class RH56DFTPDexhand : public AbstractDexHand {
 public:
  static constexpr int kDofs = 6;

  // Error bits of a DOF, as the hand reports them in `error`.
  enum ErrorBit : int {
    kLockedRotor = 1,
    kOverTemperature = 2,
    kOverCurrent = 4,
    kMotorAbnormal = 8,
    kCommunication = 16,
  };

  explicit RH56DFTPDexhand(const XmlNode& cfg);
  explicit RH56DFTPDexhand(const tovak::config::RH56DFTPDexHandConfig& cfg);
  ~RH56DFTPDexhand() override;
  RH56DFTPDexhand(const RH56DFTPDexhand&) = delete;
  RH56DFTPDexhand& operator=(const RH56DFTPDexhand&) = delete;

  // Powers the hand up: starts the driver's thread. Once only.
  void init() override;
  // Nothing to start beyond init(); refused before it.
  void start() override;
  // Halts every DOF where it is; later commands move it again. Idempotent.
  void stop() override;
  void updateParams(const std::pair<std::string, std::string>& param) override;

  void getState(DexHandState& state) override;
  void setPositions(const std::vector<int>& positions) override;
  void setAngles(const std::vector<int>& angles) override;
  void setVelocities(const std::vector<int>& speeds) override;
  void setPresetAct(int act) override;
  // Runs the preset action at once, like setPresetAct.
  void execPresetAct(int act) override;
  void setForce(const std::vector<int>& forces) override;
  HandTactileSensors& getSensorData() override;
  HandTactileSensors sensorSnapshot() override;

  // Preset actions: number -> six target angles.
  static const std::vector<std::pair<int, std::array<int, kDofs>>>& presets();
  // The texts of the set bits of `error`, lowest bit first.
  static std::vector<std::string> errorTexts(int error);

 private:
  struct Settings {
    std::string side = "right";
    std::string serial_port = "/dev/ttyUSB0";
    int baudrate = 115200;
    int update_rate_hz = 100;
    int default_speed = 1000;
    int default_force = 1000;
    bool object = true;
    int object_position = 1000;
    int object_stiffness = 20;
    int tactile_noise = 0;
  };

  struct Dof {
    double position = 0;  // stroke, 0..2000
    double target = 0;
    int speed = 1000;
    int force_limit = 1000;
    double force = 0;  // gf
    double current = 0;
    double temperature = 30;
    bool moving = false;
    int error = 0;
  };

  enum class Quantity { kPosition, kAngle, kSpeed, kForce };

  // Applies one setting given as text; std::invalid_argument naming the device,
  // the setting and the value. False when `name` is no setting.
  bool applySetting_(Settings& s, const std::string& name, const std::string& value) const;
  void finishConstruction_();
  void command_(const char* operation, Quantity q, const std::vector<int>& values);
  void preset_(const char* operation, int act);
  void requireInitialised_(const char* operation) const;
  void run_();
  void step_(double dt);
  void buildTactile_(HandTactileSensors& out, const std::array<double, kDofs>& forces, const Settings& s);

  mutable std::mutex mtx_;
  std::condition_variable cv_;
  std::thread thread_;
  bool quit_ = false;
  bool initialised_ = false;
  Settings settings_;
  std::array<Dof, kDofs> dofs_{};
  FaultInjector faults_;
  // Owned by the driver's thread: the record it fills before swapping it in.
  HandTactileSensors back_;
  uint32_t noise_state_ = 0x9e3779b9u;
};

}  // namespace tovak::device
