#include "drivers/common/include/sim_motor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "drivers/common/include/number_setting.h"

namespace tovak::device {

using tovak::msgs::RunMode;

// ---- frame codec -----------------------------------------------------------

void SimMotorProtocol::putFloat(CanFrame& f, int at, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  for (int i = 0; i < 4; ++i) f.data[static_cast<size_t>(at + i)] = static_cast<uint8_t>(bits >> (8 * i));
}

float SimMotorProtocol::getFloat(const CanFrame& f, int at) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(f.data[static_cast<size_t>(at + i)]) << (8 * i);
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

void SimMotorProtocol::putInt16(CanFrame& f, int at, int16_t v) {
  const auto u = static_cast<uint16_t>(v);
  f.data[static_cast<size_t>(at)] = static_cast<uint8_t>(u & 0xFF);
  f.data[static_cast<size_t>(at + 1)] = static_cast<uint8_t>(u >> 8);
}

int16_t SimMotorProtocol::getInt16(const CanFrame& f, int at) {
  const uint16_t u = static_cast<uint16_t>(f.data[static_cast<size_t>(at)] |
                                           (static_cast<uint16_t>(f.data[static_cast<size_t>(at + 1)]) << 8));
  return static_cast<int16_t>(u);
}

CanFrame SimMotorProtocol::setpoint(uint8_t node, double q, double qd) {
  CanFrame f;
  f.id = kSetpoint | (node & 0x7F);
  f.len = 8;
  putFloat(f, 0, static_cast<float>(q));
  putFloat(f, 4, static_cast<float>(qd));
  return f;
}

CanFrame SimMotorProtocol::velocity(uint8_t node, double qd) {
  CanFrame f;
  f.id = kVelocity | (node & 0x7F);
  f.len = 4;
  putFloat(f, 0, static_cast<float>(qd));
  return f;
}

CanFrame SimMotorProtocol::control(uint8_t node, uint8_t op, uint8_t arg, float value) {
  CanFrame f;
  f.id = kControl | (node & 0x7F);
  f.len = 8;
  f.data[0] = op;
  f.data[1] = arg;
  putFloat(f, 4, value);
  return f;
}

namespace {

int16_t toInt16(double v, double scale) {
  const double s = std::round(v / scale);
  return static_cast<int16_t>(std::clamp(s, -32768.0, 32767.0));
}

constexpr double kAmbient = 30.0;       // °C
constexpr double kFaultTemp = 85.0;     // °C
constexpr double kFaultClear = 70.0;    // °C
constexpr double kThermalTau = 60.0;    // s
constexpr double kHeatPerA2 = 0.25;     // °C of steady rise per A²
constexpr double kSupply = 48.0;        // V
constexpr double kSupplyR = 0.05;       // Ω
constexpr double kIdleCurrent = 0.2;    // A, drive on
constexpr double kMaxStep = 0.0005;     // s, integration sub-step
constexpr double kMaxCatchUp = 0.1;     // s, longest gap integrated at once

bool isPositionMode(RunMode m) {
  return m == tovak::msgs::RUN_MODE_PROFILE_POSITION || m == tovak::msgs::RUN_MODE_INTERPOLATED_POSITION ||
         m == tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION;
}
bool isVelocityMode(RunMode m) {
  return m == tovak::msgs::RUN_MODE_VELOCITY || m == tovak::msgs::RUN_MODE_PROFILE_VELOCITY ||
         m == tovak::msgs::RUN_MODE_CYCLIC_SYNC_VELOCITY;
}

SimMotor::Model readModel(const XmlNode& cfg, const std::string& owner) {
  SimMotor::Model m;
  m.inertia = numberAttr(cfg, owner, "inertia", m.inertia, 1e-4, 10.0);
  m.damping = numberAttr(cfg, owner, "damping", m.damping, 0.0, 100.0);
  m.kp = numberAttr(cfg, owner, "kp", m.kp, 1.0, 10000.0);
  m.kd = numberAttr(cfg, owner, "kd", m.kd, 0.0, 1000.0);
  m.max_torque = numberAttr(cfg, owner, "max_torque", m.max_torque, 0.1, 1000.0);
  m.gravity = numberAttr(cfg, owner, "gravity", m.gravity, 0.0, 100.0);
  m.rest_q = numberAttr(cfg, owner, "rest", m.rest_q, -10.0, 10.0);
  return m;
}

}  // namespace

// ---- construction ----------------------------------------------------------

SimMotor::SimMotor(const XmlNode& cfg, uint8_t node_id, std::string joint_name, std::shared_ptr<SimCanbus> bus,
                   double initial_q)
    : AbstractMotor(cfg, node_id),
      model_(readModel(cfg, "motor " + joint_name)),
      bus_(std::move(bus)),
      q_(initial_q),
      target_q_(initial_q) {
  if (node_id == 0 || node_id > 0x7F) {
    throw std::invalid_argument("motor " + joint_name + ": node id " + std::to_string(node_id) +
                                " is out of range (1 to 127)");
  }
  if (!bus_) throw std::invalid_argument("motor " + joint_name + ": no CAN bus");
  info_.id = node_id;
  info_.joint_name = std::move(joint_name);
  id_ = info_.joint_name;
  fb_.q = initial_q;
  fb_.temperature = temperature_;
  fb_.voltage = kSupply;
  last_target_q_ = initial_q;
  protocol_ = std::make_shared<SimMotorProtocol>();
}

std::shared_ptr<SimMotor> SimMotor::create(const XmlNode& cfg, uint8_t node_id, std::string joint_name,
                                           std::shared_ptr<SimCanbus> bus, double initial_q) {
  auto m = std::make_shared<SimMotor>(cfg, node_id, std::move(joint_name), bus, initial_q);
  bus->attach(node_id, m);
  return m;
}

// ---- controller side -------------------------------------------------------

void SimMotor::sendFrame_(const CanFrame& frame) {
  int32_t n = 1;
  const auto rc = bus_->send({frame}, &n);
  if (rc != tovak::msgs::OK) {
    throw std::runtime_error("motor " + jointName() + ": " + bus_->getErrorString(rc));
  }
}

void SimMotor::setMode(RunMode mode) {
  if (mode != tovak::msgs::RUN_MODE_UNSPECIFIED && !isPositionMode(mode) && !isVelocityMode(mode)) {
    throw std::invalid_argument("motor " + jointName() + ": run mode " + tovak::msgs::RunMode_Name(mode) +
                                " is not supported (position, velocity or unspecified = drive off)");
  }
  sendFrame_(SimMotorProtocol::control(node_id_, SimMotorProtocol::kOpMode, static_cast<uint8_t>(mode)));
}

RunMode SimMotor::getMode() {
  std::lock_guard<std::mutex> lk(mtx_);
  return fb_.mode;
}

void SimMotor::setLimitQ(double min_q, double max_q) {
  if (!std::isfinite(min_q) || !std::isfinite(max_q) || min_q >= max_q) {
    throw std::invalid_argument("motor " + jointName() + ": position limits [" + std::to_string(min_q) + ", " +
                                std::to_string(max_q) + "] must be finite with min < max");
  }
  sendFrame_(SimMotorProtocol::control(node_id_, SimMotorProtocol::kOpMinQ, 0, static_cast<float>(min_q)));
  sendFrame_(SimMotorProtocol::control(node_id_, SimMotorProtocol::kOpMaxQ, 0, static_cast<float>(max_q)));
  std::lock_guard<std::mutex> lk(mtx_);
  info_.limitQ = static_cast<float>(std::max(std::fabs(min_q), std::fabs(max_q)));
}

void SimMotor::setLimitQd(double max_qd) {
  if (!std::isfinite(max_qd) || max_qd <= 0) {
    throw std::invalid_argument("motor " + jointName() + ": velocity limit " + std::to_string(max_qd) +
                                " must be > 0 rad/s");
  }
  sendFrame_(SimMotorProtocol::control(node_id_, SimMotorProtocol::kOpMaxQd, 0, static_cast<float>(max_qd)));
  std::lock_guard<std::mutex> lk(mtx_);
  info_.limitQd = static_cast<float>(max_qd);
}

void SimMotor::setLimitQdd(double max_acc, double max_dec) {
  if (!std::isfinite(max_acc) || !std::isfinite(max_dec) || max_acc <= 0 || max_dec <= 0) {
    throw std::invalid_argument("motor " + jointName() + ": acceleration limits must be > 0 rad/s²");
  }
  sendFrame_(SimMotorProtocol::control(node_id_, SimMotorProtocol::kOpMaxAcc, 0, static_cast<float>(max_acc)));
  sendFrame_(SimMotorProtocol::control(node_id_, SimMotorProtocol::kOpMaxDec, 0, static_cast<float>(max_dec)));
}

void SimMotor::brake() { sendFrame_(SimMotorProtocol::control(node_id_, SimMotorProtocol::kOpBrake)); }

void SimMotor::setQ(double q) { set(q, 0.0); }

void SimMotor::set(double q, double qd) {
  if (!std::isfinite(q) || !std::isfinite(qd)) {
    throw std::invalid_argument("motor " + jointName() + ": set-point must be finite");
  }
  {
    std::lock_guard<std::mutex> lk(mtx_);
    last_target_q_ = q;
  }
  sendFrame_(SimMotorProtocol::setpoint(node_id_, q, qd));
}

void SimMotor::setQd(double qd) {
  if (!std::isfinite(qd)) throw std::invalid_argument("motor " + jointName() + ": velocity must be finite");
  sendFrame_(SimMotorProtocol::velocity(node_id_, qd));
}

bool SimMotor::calibrateZeroQ() {
  sendFrame_(SimMotorProtocol::control(node_id_, SimMotorProtocol::kOpZero));
  return true;
}

bool SimMotor::reachedTargetQ() {
  std::lock_guard<std::mutex> lk(mtx_);
  return fb_.frames > 0 && std::fabs(fb_.q - last_target_q_) < 1e-3 && std::fabs(fb_.qd) < 1e-2;
}

double SimMotor::getQ() {
  std::lock_guard<std::mutex> lk(mtx_);
  return fb_.q;
}

double SimMotor::getQd() {
  std::lock_guard<std::mutex> lk(mtx_);
  return fb_.qd;
}

void SimMotor::handleFeedback(const CanFrame& f) {
  std::lock_guard<std::mutex> lk(mtx_);
  switch (SimMotorProtocol::function(f)) {
    case SimMotorProtocol::kMotion:
      fb_.q = SimMotorProtocol::getFloat(f, 0);
      fb_.qd = SimMotorProtocol::getFloat(f, 4);
      ++fb_.frames;
      break;
    case SimMotorProtocol::kDrive: {
      fb_.torque = SimMotorProtocol::getInt16(f, 0) * 0.01;
      fb_.current = SimMotorProtocol::getInt16(f, 2) * 0.01;
      fb_.temperature = SimMotorProtocol::getInt16(f, 4) * 0.1;
      fb_.voltage = f.data[6] * 0.25;
      const uint8_t st = f.data[7];
      fb_.ready = st & 0x01;
      fb_.power_on = st & 0x02;
      fb_.brake = st & 0x04;
      fb_.fault = st & 0x08;
      fb_.mode = static_cast<RunMode>(st >> 4);
      ++fb_.frames;
      break;
    }
    default:
      break;  // not feedback of this motor's kind
  }
}

MotorFeedback SimMotor::feedback() const {
  std::lock_guard<std::mutex> lk(mtx_);
  return fb_;
}

// ---- motor side ------------------------------------------------------------

bool SimMotor::positionMode_() const { return isPositionMode(mode_); }
bool SimMotor::velocityMode_() const { return isVelocityMode(mode_); }

void SimMotor::onCanFrame(const CanFrame& f) {
  std::lock_guard<std::mutex> lk(mtx_);
  switch (SimMotorProtocol::function(f)) {
    case SimMotorProtocol::kSetpoint:
      target_q_ = std::clamp(static_cast<double>(SimMotorProtocol::getFloat(f, 0)), min_q_, max_q_);
      target_qd_ = std::clamp(static_cast<double>(SimMotorProtocol::getFloat(f, 4)), -max_qd_, max_qd_);
      break;
    case SimMotorProtocol::kVelocity:
      target_qd_ = std::clamp(static_cast<double>(SimMotorProtocol::getFloat(f, 0)), -max_qd_, max_qd_);
      break;
    case SimMotorProtocol::kControl: {
      const float value = SimMotorProtocol::getFloat(f, 4);
      switch (f.data[0]) {
        case SimMotorProtocol::kOpMode: {
          const auto mode = static_cast<RunMode>(f.data[1]);
          if (mode != tovak::msgs::RUN_MODE_UNSPECIFIED && !isPositionMode(mode) && !isVelocityMode(mode)) break;
          // Bumpless transfer: a drive switched on holds where the joint is.
          if (mode != mode_) {
            target_q_ = q_;
            target_qd_ = 0.0;
          }
          if (mode != tovak::msgs::RUN_MODE_UNSPECIFIED && fault_) break;  // a faulted drive stays off
          mode_ = mode;
          brake_ = false;
          break;
        }
        case SimMotorProtocol::kOpBrake:
          brake_ = true;
          qd_ = 0.0;
          target_q_ = q_;
          target_qd_ = 0.0;
          break;
        case SimMotorProtocol::kOpZero:
          zero_offset_ += q_;
          q_ = 0.0;
          target_q_ = 0.0;
          break;
        case SimMotorProtocol::kOpMinQ:
          min_q_ = value;
          break;
        case SimMotorProtocol::kOpMaxQ:
          max_q_ = value;
          break;
        case SimMotorProtocol::kOpMaxQd:
          max_qd_ = value;
          break;
        case SimMotorProtocol::kOpMaxAcc:
          max_acc_ = value;
          break;
        case SimMotorProtocol::kOpMaxDec:
          max_dec_ = value;
          break;
        default:
          break;
      }
      break;
    }
    default:
      break;
  }
}

void SimMotor::step_(double dt) {
  double tau_drive = 0.0;
  double tau_ext = 0.0;
  if (brake_) {
    qd_ = 0.0;
  } else {
    if (positionMode_()) {
      tau_drive = model_.kp * (target_q_ - q_) + model_.kd * (target_qd_ - qd_) + model_.damping * target_qd_;
    } else if (velocityMode_()) {
      tau_drive = model_.kd * (target_qd_ - qd_) + model_.damping * target_qd_;
    } else {
      tau_ext = -model_.gravity * std::sin(q_ - model_.rest_q) - model_.free_damping * qd_;
    }
    tau_drive = std::clamp(tau_drive, -model_.max_torque, model_.max_torque);
    double qdd = (tau_drive + tau_ext - model_.damping * qd_) / model_.inertia;
    if (mode_ != tovak::msgs::RUN_MODE_UNSPECIFIED) {
      const double lim = (qdd * qd_ >= 0) ? max_acc_ : max_dec_;
      qdd = std::clamp(qdd, -lim, lim);
    }
    qd_ += qdd * dt;  // semi-implicit Euler: stable for these stiffness/step ratios
    q_ += qd_ * dt;
    if (q_ < min_q_) {
      q_ = min_q_;
      qd_ = std::max(qd_, 0.0);
    } else if (q_ > max_q_) {
      q_ = max_q_;
      qd_ = std::min(qd_, 0.0);
    }
  }
  const bool drive_on = mode_ != tovak::msgs::RUN_MODE_UNSPECIFIED;
  // A driven joint also carries its load's weight: that torque cancels the
  // sag in the dynamics above but shows in the drive's torque and current.
  tau_ = drive_on && !brake_ ? tau_drive + model_.gravity * std::sin(q_ - model_.rest_q) : tau_drive;
  current_ = tau_ / model_.kt + (drive_on ? (tau_ >= 0 ? kIdleCurrent : -kIdleCurrent) : 0.0);
  const double steady = kAmbient + kHeatPerA2 * current_ * current_;
  temperature_ += (steady - temperature_) * (dt / kThermalTau);
  if (temperature_ > kFaultTemp && !fault_) {
    fault_ = true;
    mode_ = tovak::msgs::RUN_MODE_UNSPECIFIED;
  } else if (fault_ && temperature_ < kFaultClear) {
    fault_ = false;  // cooled down; the drive stays off until the next run-mode command
  }
}

void SimMotor::advance(double dt) {
  std::lock_guard<std::mutex> lk(mtx_);
  while (dt > 1e-12) {
    const double h = std::min(dt, kMaxStep);
    step_(h);
    dt -= h;
  }
}

void SimMotor::update() {
  CanFrame motion, drive;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    const auto now = std::chrono::steady_clock::now();
    double dt = updated_once_ ? std::chrono::duration<double>(now - last_update_).count() : 0.0;
    last_update_ = now;
    updated_once_ = true;
    dt = std::min(dt, kMaxCatchUp);
    while (dt > 1e-12) {
      const double h = std::min(dt, kMaxStep);
      step_(h);
      dt -= h;
    }
    motion.id = SimMotorProtocol::kMotion | node_id_;
    motion.len = 8;
    SimMotorProtocol::putFloat(motion, 0, static_cast<float>(q_));
    SimMotorProtocol::putFloat(motion, 4, static_cast<float>(qd_));
    drive.id = SimMotorProtocol::kDrive | node_id_;
    drive.len = 8;
    SimMotorProtocol::putInt16(drive, 0, toInt16(tau_, 0.01));
    SimMotorProtocol::putInt16(drive, 2, toInt16(current_, 0.01));
    SimMotorProtocol::putInt16(drive, 4, toInt16(temperature_, 0.1));
    drive.data[6] = static_cast<uint8_t>(std::clamp(std::round((kSupply - kSupplyR * std::fabs(current_)) / 0.25),
                                                    0.0, 255.0));
    uint8_t st = 0;
    if (!fault_) st |= 0x01;
    if (mode_ != tovak::msgs::RUN_MODE_UNSPECIFIED) st |= 0x02;
    if (brake_) st |= 0x04;
    if (fault_) st |= 0x08;
    st |= static_cast<uint8_t>((static_cast<int>(mode_) & 0x0F) << 4);
    drive.data[7] = st;
  }
  bus_->post(motion);
  bus_->post(drive);
}

double SimMotor::trueQ() const {
  std::lock_guard<std::mutex> lk(mtx_);
  return q_;
}

void SimMotor::setTemperature(double celsius) {
  std::lock_guard<std::mutex> lk(mtx_);
  temperature_ = celsius;
  if (temperature_ > kFaultTemp) {
    fault_ = true;
    mode_ = tovak::msgs::RUN_MODE_UNSPECIFIED;
  } else {
    fault_ = false;
  }
}

}  // namespace tovak::device
