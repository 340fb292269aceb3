#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "devices/motor/abstract_motor.h"
#include "drivers/common/include/sim_canbus.h"

namespace tovak::device {

// Frame layout of the simulated joint motors (CANopen-like: function code in
// the high bits of the 11-bit id, node id 1..127 in the low 7 bits; numbers
// little-endian).
//
//   controller -> motor
//     0x200+node  set-point      float32 position [rad], float32 velocity [rad/s]
//     0x300+node  velocity       float32 velocity [rad/s]
//     0x600+node  control        byte0 = opcode:
//                                  0x01 run mode (byte1 = tovak.msgs.RunMode)
//                                  0x02 brake (stop and hold)
//                                  0x03 take the present position as zero
//                                  0x10..0x14 float32 in bytes 4..7: min position,
//                                  max position, max velocity, max acceleration,
//                                  max deceleration
//   motor -> controller (one pair per physics update)
//     0x180+node  motion         float32 position [rad], float32 velocity [rad/s]
//     0x280+node  drive          int16 torque [0.01 N·m], int16 current [0.01 A],
//                                int16 temperature [0.1 °C], uint8 voltage [0.25 V],
//                                uint8 status: bit0 ready, bit1 drive on, bit2 brake,
//                                bit3 fault, bits 4..7 run mode
class SimMotorProtocol : public MotorProtocolInterface {
 public:
  enum : uint32_t {
    kSetpoint = 0x200,
    kVelocity = 0x300,
    kControl = 0x600,
    kMotion = 0x180,
    kDrive = 0x280,
  };
  enum : uint8_t {
    kOpMode = 0x01,
    kOpBrake = 0x02,
    kOpZero = 0x03,
    kOpMinQ = 0x10,
    kOpMaxQ = 0x11,
    kOpMaxQd = 0x12,
    kOpMaxAcc = 0x13,
    kOpMaxDec = 0x14,
  };

  static uint32_t function(const CanFrame& f) { return f.id & ~0x7Fu; }
  static uint8_t node(const CanFrame& f) { return static_cast<uint8_t>(f.id & 0x7F); }
  static CanFrame setpoint(uint8_t node, double q, double qd);
  static CanFrame velocity(uint8_t node, double qd);
  static CanFrame control(uint8_t node, uint8_t op, uint8_t arg = 0, float value = 0.0f);
  static void putFloat(CanFrame& f, int at, float v);
  static float getFloat(const CanFrame& f, int at);
  static void putInt16(CanFrame& f, int at, int16_t v);
  static int16_t getInt16(const CanFrame& f, int at);
};

// What the controller last heard from a motor (decoded feedback frames).
struct MotorFeedback {
  double q = 0.0;             // rad
  double qd = 0.0;            // rad/s
  double torque = 0.0;        // N·m, drive torque
  double current = 0.0;       // A, signed
  double temperature = 0.0;   // °C
  double voltage = 0.0;       // V
  bool ready = false;         // drive ready (no fault)
  bool power_on = false;      // drive on (torque enabled)
  bool brake = false;         // holding brake engaged
  bool fault = false;         // over-temperature
  tovak::msgs::RunMode mode = tovak::msgs::RUN_MODE_UNSPECIFIED;
  uint64_t frames = 0;        // feedback frames decoded so far
};

// One simulated joint motor on a SimCanbus. The object plays both ends of the
// wire: the AbstractMotor operations are the controller's side and turn into
// command frames on the bus; the bus hands those frames to onCanFrame (the
// motor's side), and update() advances the joint in real time and posts the
// feedback frames, which the controller decodes with handleFeedback.
//
// The joint is a single rotary inertia J with viscous friction b:
//   J·q'' = tau_drive - b·q' + tau_free
// - position modes (profile, interpolated, cyclic-sync position): a PD drive
//   tau = kp·(q* - q) + kd·(q'* - q') + b·q'*, saturated at max_torque; the
//   drive also carries the load's weight (gravity·sin(q - rest), reported in
//   torque and current), so the joint settles on its set-point;
// - velocity modes: tau = kd·(q'* - q') + b·q'*;
// - drive off (RUN_MODE_UNSPECIFIED): no drive torque; the unsupported load
//   sags towards its rest position, tau_free = -gravity·sin(q - rest) -
//   free_damping·q', so the joint settles there within a few seconds;
// - brake: the joint stops at once and holds until the next run-mode command.
// With the drive on, the joint's acceleration is limited by setLimitQdd.
// The position limits are hard stops. current = tau/kt (+0.2 A idle when the
// drive is on); temperature tends to 30 °C + 0.25 °C/A²·I² with a 60 s time
// constant, and the drive faults (drive off) above 85 °C until it cools below
// 70 °C; voltage = 48 V - 0.05 Ω·|I|.
class SimMotor : public AbstractMotor, public CanNode {
 public:
  struct Model {
    double inertia = 0.05;       // kg·m²
    double damping = 0.3;        // N·m·s/rad
    double kp = 120.0;           // N·m/rad
    double kd = 5.0;             // N·m·s/rad
    double max_torque = 40.0;    // N·m
    double kt = 4.0;             // N·m/A at the joint (gear included)
    double gravity = 3.0;        // N·m, drive-off sag torque
    double free_damping = 1.5;   // N·m·s/rad, drive off
    double rest_q = 0.0;         // rad, where the unsupported joint settles
  };

  // Reads the model's settings from `cfg` (attributes inertia, damping, kp,
  // kd, max_torque, gravity, rest); std::invalid_argument names a bad one.
  SimMotor(const XmlNode& cfg, uint8_t node_id, std::string joint_name, std::shared_ptr<SimCanbus> bus,
           double initial_q = 0.0);
  // Attaches the motor to its bus; call once, right after construction.
  static std::shared_ptr<SimMotor> create(const XmlNode& cfg, uint8_t node_id, std::string joint_name,
                                          std::shared_ptr<SimCanbus> bus, double initial_q = 0.0);

  // Controller side: every command below is a frame on the bus.
  void setMode(tovak::msgs::RunMode mode) override;
  // The run mode reported by the motor's last feedback.
  tovak::msgs::RunMode getMode() override;
  void setLimitQ(double min_q, double max_q) override;
  void setLimitQd(double max_qd) override;
  void setLimitQdd(double max_acc, double max_dec) override;
  void brake() override;
  void setQ(double q) override;
  void set(double q, double qd) override;
  bool calibrateZeroQ() override;
  // True when the last feedback is within 1 mrad of the last position
  // set-point and slower than 10 mrad/s.
  bool reachedTargetQ() override;
  void setQd(double qd) override;
  double getQ() override;
  double getQd() override;
  void handleFeedback(const CanFrame& frame);
  MotorFeedback feedback() const;

  // Motor side.
  void onCanFrame(const CanFrame& frame) override;
  // Advances the joint to the present time and posts the two feedback frames.
  void update() override;
  // Advances the joint by dt seconds without posting anything.
  void advance(double dt);
  // The joint's true position (what the encoder would read), for tests.
  double trueQ() const;
  // Sets the winding temperature (fault injection: above 85 °C the drive faults).
  void setTemperature(double celsius);

  const Model& model() const { return model_; }

 private:
  void sendFrame_(const CanFrame& frame);
  void step_(double dt);  // needs mtx_
  bool positionMode_() const;
  bool velocityMode_() const;

  const Model model_;
  std::shared_ptr<SimCanbus> bus_;

  // Motor side (under mtx_).
  tovak::msgs::RunMode mode_ = tovak::msgs::RUN_MODE_UNSPECIFIED;
  double q_ = 0.0, qd_ = 0.0;
  double target_q_ = 0.0, target_qd_ = 0.0;
  double tau_ = 0.0, current_ = 0.0, temperature_ = 30.0;
  bool brake_ = false, fault_ = false;
  double min_q_ = -1e9, max_q_ = 1e9, max_qd_ = 1e9, max_acc_ = 1e9, max_dec_ = 1e9;
  double zero_offset_ = 0.0;
  std::chrono::steady_clock::time_point last_update_;
  bool updated_once_ = false;

  // Controller side (under mtx_).
  MotorFeedback fb_;
  double last_target_q_ = 0.0;
};

}  // namespace tovak::device
