#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "devices/abstract_device.h"
#include "tovak/msgs/motor.pb.h"

namespace tovak::device {

// The wire protocol a motor driver speaks to its controller (CANopen, a
// vendor protocol, ...). Only motor drivers know its shape.
class MotorProtocolInterface {
 public:
  virtual ~MotorProtocolInterface() = default;
};

// One joint motor. Positions are radians, velocities rad/s.
class AbstractMotor : public AbstractDevice {
 public:
  struct MotorInfo {
    int id = 0;
    std::string joint_name;
    float limitQ = 0.0f;
    float limitQd = 0.0f;
  };

  explicit AbstractMotor(const XmlNode& cfg) : AbstractDevice(cfg) {}
  AbstractMotor(const XmlNode& cfg, uint8_t node_id) : AbstractDevice(cfg), node_id_(node_id) {}
  virtual ~AbstractMotor() = default;

  virtual void setMode(tovak::msgs::RunMode mode) = 0;
  virtual tovak::msgs::RunMode getMode() = 0;
  // Position limits (min, max).
  virtual void setLimitQ(double min_q, double max_q) = 0;
  virtual void setLimitQd(double max_qd) = 0;
  // Acceleration and deceleration limits.
  virtual void setLimitQdd(double max_acc, double max_dec) = 0;
  virtual void brake() = 0;
  virtual void setQ(double q) = 0;
  // Position and velocity target together.
  virtual void set(double q, double qd) = 0;
  virtual bool calibrateZeroQ() = 0;
  virtual bool reachedTargetQ() = 0;
  virtual void setQd(double qd) = 0;
  virtual double getQ() = 0;
  virtual double getQd() = 0;
  virtual void setProtocol(std::shared_ptr<MotorProtocolInterface> protocol) {
    std::lock_guard<std::mutex> lk(mtx_);
    protocol_ = std::move(protocol);
  }

  // Switches the drive off; the joint is then free (or held by its brake).
  void torqueOff() { setMode(tovak::msgs::RUN_MODE_UNSPECIFIED); }
  uint8_t id() const { return node_id_; }
  std::string jointName() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return info_.joint_name;
  }

 protected:
  mutable std::mutex mtx_;
  MotorInfo info_;
  uint8_t node_id_ = 0;
  std::shared_ptr<MotorProtocolInterface> protocol_;
};

}  // namespace tovak::device
