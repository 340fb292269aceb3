#include "drivers/humanoid_robot/include/humanoid_robot.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "drivers/common/include/fault_injector.h"
#include "drivers/common/include/motors_info.h"
#include "drivers/common/include/number_setting.h"
#include "drivers/common/include/sim_motor.h"
#include "drivers/humanoid_robot/include/humanoid_kinematics.h"

namespace tovak::device {

namespace {

using Clock = std::chrono::steady_clock;
using Vec6 = Eigen::Matrix<double, 6, 1>;

// Cartesian limits of moveL and speedL: linear m/s, m/s²; angular rad/s, rad/s².
constexpr double kMaxLinVel = 1.0;
constexpr double kMaxLinAcc = 5.0;
constexpr double kMaxRotVel = 2.0;
constexpr double kMaxRotAcc = 10.0;
// A jog past its dead-man window stops at this Cartesian deceleration.
constexpr double kCartStopAcc = 2.0;
// A moveL goal or path point counts as reached within these.
constexpr double kIkPosTol = 1e-3;  // m
constexpr double kIkRotTol = 1e-2;  // rad
// A Cartesian jog that cannot follow by more than this stalls instead.
constexpr double kJogStallPos = 5e-3;
constexpr double kJogStallRot = 5e-2;
constexpr double kRestVel = 1e-6;  // rad/s: a joint slower than this is at rest
constexpr double kPathSample = 0.01;  // s, moveL path sampling

std::string fmt(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string joinNames(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

bool finite(double v) { return std::isfinite(v); }

// Duration of a rest-to-rest trapezoidal (or triangular) profile over distance d.
double profileDuration(double d, double vmax, double amax) {
  if (d <= 0) return 0.0;
  if (d < vmax * vmax / amax) return 2.0 * std::sqrt(d / amax);
  return d / vmax + vmax / amax;
}

// Distance covered at time t along that profile.
double profilePosition(double d, double vmax, double amax, double t) {
  const double total = profileDuration(d, vmax, amax);
  if (t >= total) return d;
  if (t <= 0) return 0.0;
  const double vpeak = std::min(vmax, std::sqrt(d * amax));
  const double ta = vpeak / amax;
  if (t < ta) return 0.5 * amax * t * t;
  const double tc = total - 2 * ta;
  if (t < ta + tc) return 0.5 * amax * ta * ta + vpeak * (t - ta);
  const double td = total - t;
  return d - 0.5 * amax * td * td;
}

const char* dirName(int dir) {
  static const char* names[] = {"FORWARD",    "BACKWARD",   "X_POSITIVE", "X_NEGATIVE", "Y_POSITIVE", "Y_NEGATIVE",
                                "Z_POSITIVE", "Z_NEGATIVE", "ROTATE_X",   "ROTATE_Y",   "ROTATE_Z"};
  return (dir >= 0 && dir <= 10) ? names[dir] : "unknown";
}

}  // namespace

// All of the driver's state and behaviour; HumanoidRobot<N> forwards to it.
class HumanoidBody {
 public:
  HumanoidBody(const XmlNode& cfg, const std::string& id);
  ~HumanoidBody();

  void init();
  void stop();
  void updateParams(const std::pair<std::string, std::string>& param);
  std::string defaultToolFrame();

  std::vector<std::string> jointNames() const { return kin_.jointNames(); }
  std::vector<std::string> linkNames() const { return kin_.linkNames(); }
  std::unordered_map<std::string, double> jointQ();
  void jointsState(std::vector<JointState>& states);
  void state(RobotState& state);
  void torqueOn();
  void torqueOff();
  void eStop();
  void moveJ(const std::vector<JointPoint>& points, double vel, double acc);
  void moveL(const std::string& base, const std::string& link, const tovak::msgs::Pose3d& pose, double vel,
             double acc);
  void speedJ(const std::string& joint, RobotJointIndexDirection dir, double vel, double acc);
  void speedL(RobotCartesian axis, RobotJointIndexDirection dir, double vel, double acc, const std::string& tool);
  Eigen::Isometry3d fk(const char* op, const std::string& base, const std::string& link);
  std::vector<double> ik(const std::string& base, const std::string& link, const tovak::msgs::Pose3d& pose);
  HumanoidRobot<14>::LoopStats loopStats();

  FaultInjector faults;

 private:
  struct JointRt {
    std::string name;
    MotorsInfo::Group group = MotorsInfo::LEFT_ARM;
    bool enabled = true;
    double min_q = 0, max_q = 0, max_qd = 0, max_qdd = 0;
    std::shared_ptr<SimMotor> motor;
    // Reference generator.
    enum Mode { HOLD, TRAP, CART } mode = HOLD;
    double p = 0, v = 0;                   // set-point
    double target = 0, vmax = 0, amax = 0;  // TRAP
    bool jog = false;
    Clock::time_point jog_expiry;
    MotorFeedback fb;
  };
  struct CartRt {
    enum Kind { PATH, JOG } kind = PATH;
    int base = 0, link = 0;
    std::vector<HumanoidKinematics::PathJoint> joints;
    // PATH: chain joint positions sampled every table_dt.
    std::vector<Eigen::VectorXd> table;
    double table_dt = 0, t = 0;
    // JOG
    Vec6 twist = Vec6::Zero(), target_twist = Vec6::Zero();
    double acc = 0;
    Clock::time_point expiry;
    Eigen::Isometry3d desired = Eigen::Isometry3d::Identity();
  };

  void loop_();
  void tick_(double dt, Clock::time_point now);          // needs mtx_
  void stepTrap_(JointRt& j, double dt);                  // needs mtx_
  bool stepCart_(CartRt& c, double dt, Clock::time_point now);  // needs mtx_; false: finished
  void cancelCartOf_(int joint);                          // needs mtx_
  void stopJoint_(JointRt& j);                            // needs mtx_
  void requireMotion_(const char* op) const;              // needs mtx_
  void requireEnabled_(const char* op, const JointRt& j) const;
  int linkOrThrow_(const char* op, const std::string& name) const;
  std::vector<HumanoidKinematics::PathJoint> chain_(const char* op, int base, int link) const;
  Eigen::VectorXd setpoints_() const;  // needs mtx_
  Eigen::VectorXd measured_() const;   // needs mtx_
  void limits_(Eigen::VectorXd& lower, Eigen::VectorXd& upper) const;  // needs mtx_
  double lower_(const JointRt& j) const { return j.min_q * limits_scale_; }
  double upper_(const JointRt& j) const { return j.max_q * limits_scale_; }
  std::string who_() const { return "robot " + id_; }

  const std::string id_;
  const HumanoidKinematics kin_;
  const int pelvis_;
  MotorsInfo::Wiring wiring_;
  std::array<int, 128> joint_of_node_{};

  mutable std::mutex mtx_;
  std::condition_variable cv_;
  std::vector<JointRt> joints_;
  std::vector<CartRt> carts_;
  bool initialised_ = false;
  bool torque_on_ = false;
  bool estop_ = false;
  bool quit_ = false;
  double rate_hz_ = 250.0;
  double deadman_ms_ = 200.0;
  double limits_scale_ = 1.0;
  std::string tool_frame_ = "L_HAND";
  // Loop figures.
  Clock::time_point started_;
  uint64_t ticks_ = 0;
  double work_sum_ms_ = 0, work_max_ms_ = 0;

  std::thread thread_;
};

HumanoidBody::HumanoidBody(const XmlNode& cfg, const std::string& id)
    : id_(id), pelvis_(kin_.linkIndex("PELVIS_S")) {
  rate_hz_ = numberAttr(cfg, who_(), "rate_hz", rate_hz_, 200.0, 1000.0);
  deadman_ms_ = numberAttr(cfg, who_(), "deadman_ms", deadman_ms_, 20.0, 5000.0);
  limits_scale_ = numberAttr(cfg, who_(), "limits_scale", limits_scale_, 0.1, 1.0);
  if (cfg.getAllAttr().count("tool_frame")) {
    const std::string tf = cfg.getAttrString("tool_frame");
    if (kin_.linkIndex(tf) < 0) {
      throw std::invalid_argument(who_() + ": setting tool_frame = '" + tf + "' is not a link (accepted: " +
                                  joinNames(kin_.linkNames()) + ")");
    }
    tool_frame_ = tf;
  }

  auto info = MotorsInfo::getInstance();
  if (!info->wired()) {
    throw std::invalid_argument(who_() + ": no motor wiring; MotorsInfo::init must run before the robot is built");
  }
  wiring_ = info->wiring();
  joint_of_node_.fill(-1);
  for (const auto& kj : kin_.joints()) {
    auto wired = std::find_if(wiring_.joints.begin(), wiring_.joints.end(),
                             [&](const MotorsInfo::JointWiring& s) { return s.name == kj.name; });
    auto motor = std::dynamic_pointer_cast<SimMotor>(wiring_.manager->getMotor(kj.name));
    if (wired == wiring_.joints.end() || !motor) {
      throw std::invalid_argument(who_() + ": joint " + kj.name + " has no simulated motor in the wiring");
    }
    JointRt j;
    j.name = kj.name;
    j.group = wired->group;
    j.enabled = wiring_.enabled[static_cast<size_t>(wired->group)];
    j.min_q = wired->min_q;
    j.max_q = wired->max_q;
    j.max_qd = wired->max_qd;
    j.max_qdd = wired->max_qdd;
    j.motor = motor;
    j.fb = motor->feedback();
    j.p = j.target = j.fb.q;
    joint_of_node_[wired->node & 0x7F] = static_cast<int>(joints_.size());
    joints_.push_back(std::move(j));
  }
}

HumanoidBody::~HumanoidBody() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string HumanoidBody::defaultToolFrame() {
  std::lock_guard<std::mutex> lk(mtx_);
  return tool_frame_;
}

void HumanoidBody::init() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (initialised_) return;
    initialised_ = true;
    torque_on_ = true;
    started_ = Clock::now();
  }
  for (auto& j : joints_)
    if (j.enabled) j.motor->setMode(tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION);
  thread_ = std::thread([this] { loop_(); });
}

void HumanoidBody::stop() {
  std::lock_guard<std::mutex> lk(mtx_);
  carts_.clear();
  for (auto& j : joints_) stopJoint_(j);
}

void HumanoidBody::updateParams(const std::pair<std::string, std::string>& param) {
  if (faults.handleParam(param, id_)) return;
  const auto& [name, value] = param;
  if (name == "rate_hz") {
    const double v = parseNumberSetting(who_(), name, value, 200.0, 1000.0);
    std::lock_guard<std::mutex> lk(mtx_);
    rate_hz_ = v;
  } else if (name == "deadman_ms") {
    const double v = parseNumberSetting(who_(), name, value, 20.0, 5000.0);
    std::lock_guard<std::mutex> lk(mtx_);
    deadman_ms_ = v;
  } else if (name == "limits_scale") {
    const double v = parseNumberSetting(who_(), name, value, 0.1, 1.0);
    std::lock_guard<std::mutex> lk(mtx_);
    limits_scale_ = v;
  } else if (name == "tool_frame") {
    if (kin_.linkIndex(value) < 0) {
      throw std::invalid_argument(who_() + ": setting tool_frame = '" + value + "' is not a link (accepted: " +
                                  joinNames(kin_.linkNames()) + ")");
    }
    std::lock_guard<std::mutex> lk(mtx_);
    tool_frame_ = value;
  } else if (name == "motor_temperature") {
    const auto colon = value.find(':');
    const std::string joint = value.substr(0, colon);
    const int ji = kin_.jointIndex(joint);
    if (colon == std::string::npos || ji < 0) {
      throw std::invalid_argument(who_() + ": setting motor_temperature = '" + value +
                                  "' must be <joint>:<celsius> with a joint of " + joinNames(kin_.jointNames()));
    }
    const double t = parseNumberSetting(who_(), name, value.substr(colon + 1), -40.0, 200.0);
    joints_[static_cast<size_t>(ji)].motor->setTemperature(t);
  } else {
    throw std::invalid_argument(who_() + " has no parameter " + name +
                                " (accepted: rate_hz, deadman_ms, limits_scale, tool_frame, motor_temperature, fault)");
  }
}

// ---- control loop ------------------------------------------------------------

void HumanoidBody::loop_() {
  std::vector<std::pair<double, double>> sp(joints_.size());
  std::vector<CanFrame> frames;
  auto last = Clock::now();
  auto next = last;
  std::unique_lock<std::mutex> lk(mtx_);
  while (!quit_) {
    const auto now = Clock::now();
    const double dt = std::clamp(std::chrono::duration<double>(now - last).count(), 0.0, 0.05);
    last = now;
    tick_(dt, now);
    for (size_t i = 0; i < joints_.size(); ++i) sp[i] = {joints_[i].p, joints_[i].v};
    const double period = 1.0 / rate_hz_;
    lk.unlock();

    // Set-points out over each group's bus, physics, feedback back.
    for (size_t i = 0; i < joints_.size(); ++i)
      if (joints_[i].enabled) joints_[i].motor->set(sp[i].first, sp[i].second);
    for (auto& j : joints_) j.motor->update();
    for (const auto& bus : wiring_.buses) {
      frames.clear();
      int32_t n = 0;
      if (bus->receive(&frames, &n) != tovak::msgs::OK) continue;
      for (const auto& f : frames) {
        const int ji = joint_of_node_[SimMotorProtocol::node(f)];
        if (ji >= 0) joints_[static_cast<size_t>(ji)].motor->handleFeedback(f);
      }
    }
    std::vector<MotorFeedback> fbs;
    fbs.reserve(joints_.size());
    for (auto& j : joints_) fbs.push_back(j.motor->feedback());

    lk.lock();
    for (size_t i = 0; i < joints_.size(); ++i) joints_[i].fb = fbs[i];
    const double work_ms = std::chrono::duration<double, std::milli>(Clock::now() - now).count();
    ++ticks_;
    work_sum_ms_ += work_ms;
    work_max_ms_ = std::max(work_max_ms_, work_ms);
    next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period));
    if (next < Clock::now()) next = Clock::now();  // overran: do not try to catch up
    cv_.wait_until(lk, next, [this] { return quit_; });
  }
}

void HumanoidBody::tick_(double dt, Clock::time_point now) {
  if (!torque_on_ || estop_) {
    // No drive: the set-points follow the joints so that switching the drive
    // back on holds them where they are.
    for (auto& j : joints_) {
      j.p = j.fb.q;
      j.v = 0;
      j.mode = JointRt::HOLD;
      j.jog = false;
    }
    carts_.clear();
    return;
  }
  for (auto it = carts_.begin(); it != carts_.end();) {
    if (stepCart_(*it, dt, now)) {
      ++it;
    } else {
      for (const auto& pj : it->joints) {
        auto& j = joints_[static_cast<size_t>(pj.joint)];
        j.v = 0;
        j.mode = JointRt::HOLD;
      }
      it = carts_.erase(it);
    }
  }
  for (auto& j : joints_) {
    if (j.mode == JointRt::TRAP) {
      if (j.jog && now >= j.jog_expiry) stopJoint_(j);
      stepTrap_(j, dt);
    } else if (j.mode == JointRt::HOLD) {
      j.v = 0;
    }
  }
}

// Online trapezoid: accelerate towards vmax, and brake along the curve
// v = sqrt(2·amax·distance) so the joint arrives at rest. Starting from any
// (p, v) is what lets a new command take over a running one smoothly.
void HumanoidBody::stepTrap_(JointRt& j, double dt) {
  const double e = j.target - j.p;
  if (std::fabs(e) < 1e-12 && std::fabs(j.v) < 1e-12) {
    j.p = j.target;
    j.v = 0;
    if (!j.jog) j.mode = JointRt::HOLD;
    return;
  }
  const double dir = e >= 0 ? 1.0 : -1.0;
  const double v_des = dir * std::min(j.vmax, std::sqrt(2.0 * j.amax * std::fabs(e)));
  const double v_new = j.v + std::clamp(v_des - j.v, -j.amax * dt, j.amax * dt);
  const double step = v_new * dt;
  if (step * dir >= std::fabs(e) && std::fabs(v_new) <= 2.0 * j.amax * dt + 1e-12) {
    j.p = j.target;  // last step: land on the target
    j.v = 0;
    if (!j.jog) j.mode = JointRt::HOLD;
    return;
  }
  j.p += step;
  j.v = v_new;
}

bool HumanoidBody::stepCart_(CartRt& c, double dt, Clock::time_point now) {
  if (c.kind == CartRt::PATH) {
    c.t += dt;
    const double pos = c.t / c.table_dt;
    const size_t last = c.table.size() - 1;
    if (pos >= static_cast<double>(last)) {
      for (size_t k = 0; k < c.joints.size(); ++k)
        joints_[static_cast<size_t>(c.joints[k].joint)].p = c.table[last](static_cast<Eigen::Index>(k));
      return false;
    }
    const auto i = static_cast<size_t>(pos);
    const double frac = pos - static_cast<double>(i);
    for (size_t k = 0; k < c.joints.size(); ++k) {
      const auto kk = static_cast<Eigen::Index>(k);
      const double a = c.table[i](kk), b = c.table[i + 1](kk);
      auto& j = joints_[static_cast<size_t>(c.joints[k].joint)];
      j.p = a + (b - a) * frac;
      j.v = (b - a) / c.table_dt;
    }
    return true;
  }

  // JOG: ramp the twist towards its target (zero once the window is over).
  const bool live = now < c.expiry;
  const Vec6 goal = live ? c.target_twist : Vec6::Zero();
  const double rate = live ? c.acc : std::max(c.acc, kCartStopAcc);
  const Vec6 delta = goal - c.twist;
  const double dn = delta.norm();
  c.twist = dn <= rate * dt ? goal : Vec6(c.twist + delta * (rate * dt / dn));
  if (!live && c.twist.norm() < 1e-12) return false;

  c.desired.translation() += c.twist.head<3>() * dt;
  const double w = c.twist.tail<3>().norm();
  if (w > 0) c.desired.linear() = Eigen::AngleAxisd(w * dt, c.twist.tail<3>() / w).toRotationMatrix() * c.desired.linear();

  // One damped-least-squares step towards the desired pose per tick, with
  // every joint kept within its speed and position limits.
  Eigen::VectorXd q = setpoints_();
  const Vec6 e = HumanoidKinematics::poseError(kin_.relative(q, c.base, c.link), c.desired);
  const Eigen::MatrixXd jac = kin_.jacobian(q, c.base, c.link, c.joints);
  const double lambda = 0.05;
  const Eigen::Matrix<double, 6, 6> jjt =
      jac * jac.transpose() + lambda * lambda * Eigen::Matrix<double, 6, 6>::Identity();
  Eigen::VectorXd dq = jac.transpose() * jjt.ldlt().solve(e);
  double scale = 1.0;
  for (size_t k = 0; k < c.joints.size(); ++k) {
    const auto& j = joints_[static_cast<size_t>(c.joints[k].joint)];
    const double lim = j.max_qd * dt;
    const double a = std::fabs(dq(static_cast<Eigen::Index>(k)));
    if (a > lim) scale = std::min(scale, lim / a);
  }
  dq *= scale;
  for (size_t k = 0; k < c.joints.size(); ++k) {
    auto& j = joints_[static_cast<size_t>(c.joints[k].joint)];
    const double np = std::clamp(j.p + dq(static_cast<Eigen::Index>(k)), lower_(j), upper_(j));
    j.v = (np - j.p) / dt;
    j.p = np;
    q(c.joints[k].joint) = np;
  }
  const Eigen::Isometry3d reached = kin_.relative(q, c.base, c.link);
  const Vec6 r = HumanoidKinematics::poseError(reached, c.desired);
  // At a limit or the edge of the workspace: the tool stops where it got to.
  if (r.head<3>().norm() > kJogStallPos || r.tail<3>().norm() > kJogStallRot) c.desired = reached;
  return true;
}

void HumanoidBody::stopJoint_(JointRt& j) {
  j.jog = false;
  if (std::fabs(j.v) < kRestVel) {
    j.v = 0;
    j.mode = JointRt::HOLD;
    return;
  }
  const double stop = j.p + j.v * std::fabs(j.v) / (2.0 * j.max_qdd);
  j.target = std::clamp(stop, lower_(j), upper_(j));
  j.vmax = std::fabs(j.v);
  j.amax = j.max_qdd;
  j.mode = JointRt::TRAP;
}

void HumanoidBody::cancelCartOf_(int joint) {
  for (auto it = carts_.begin(); it != carts_.end(); ++it) {
    const bool has = std::any_of(it->joints.begin(), it->joints.end(),
                                 [&](const HumanoidKinematics::PathJoint& pj) { return pj.joint == joint; });
    if (!has) continue;
    for (const auto& pj : it->joints) stopJoint_(joints_[static_cast<size_t>(pj.joint)]);
    carts_.erase(it);
    return;
  }
}

// ---- helpers -------------------------------------------------------------------

void HumanoidBody::requireMotion_(const char* op) const {
  if (!initialised_) throw std::runtime_error(std::string(op) + ": " + who_() + " is not initialised");
  if (estop_) {
    throw std::runtime_error(std::string(op) + ": " + who_() +
                             " is emergency-stopped; call torqueOn to re-enable motion");
  }
  if (!torque_on_) {
    throw std::runtime_error(std::string(op) + ": torque is off on " + who_() + "; call torqueOn before moving");
  }
}

void HumanoidBody::requireEnabled_(const char* op, const JointRt& j) const {
  if (!j.enabled) {
    throw std::runtime_error(std::string(op) + ": joint " + j.name + " is in group " + MotorsInfo::groupName(j.group) +
                             ", which is disabled in the Motors wiring of " + who_());
  }
}

int HumanoidBody::linkOrThrow_(const char* op, const std::string& name) const {
  const int l = kin_.linkIndex(name);
  if (l < 0) {
    throw std::runtime_error(std::string(op) + ": unknown link '" + name + "' (links: " +
                             joinNames(kin_.linkNames()) + ")");
  }
  return l;
}

// The joints a Cartesian command may move: those between base and link,
// except the waist, which carries both arms and the head and holds.
std::vector<HumanoidKinematics::PathJoint> HumanoidBody::chain_(const char* op, int base, int link) const {
  std::vector<HumanoidKinematics::PathJoint> out;
  for (const auto& pj : kin_.path(base, link)) {
    if (joints_[static_cast<size_t>(pj.joint)].group == MotorsInfo::WAIST) continue;
    out.push_back(pj);
  }
  if (out.empty()) {
    throw std::runtime_error(std::string(op) + ": no joint other than the waist moves " +
                             kin_.links()[static_cast<size_t>(link)].name + " relative to " +
                             kin_.links()[static_cast<size_t>(base)].name);
  }
  for (const auto& pj : out) requireEnabled_(op, joints_[static_cast<size_t>(pj.joint)]);
  return out;
}

Eigen::VectorXd HumanoidBody::setpoints_() const {
  Eigen::VectorXd q(static_cast<Eigen::Index>(joints_.size()));
  for (size_t i = 0; i < joints_.size(); ++i) q(static_cast<Eigen::Index>(i)) = joints_[i].p;
  return q;
}

Eigen::VectorXd HumanoidBody::measured_() const {
  Eigen::VectorXd q(static_cast<Eigen::Index>(joints_.size()));
  for (size_t i = 0; i < joints_.size(); ++i) q(static_cast<Eigen::Index>(i)) = joints_[i].fb.q;
  return q;
}

void HumanoidBody::limits_(Eigen::VectorXd& lower, Eigen::VectorXd& upper) const {
  lower.resize(static_cast<Eigen::Index>(joints_.size()));
  upper.resize(static_cast<Eigen::Index>(joints_.size()));
  for (size_t i = 0; i < joints_.size(); ++i) {
    lower(static_cast<Eigen::Index>(i)) = lower_(joints_[i]);
    upper(static_cast<Eigen::Index>(i)) = upper_(joints_[i]);
  }
}

// ---- reads ---------------------------------------------------------------------

std::unordered_map<std::string, double> HumanoidBody::jointQ() {
  std::lock_guard<std::mutex> lk(mtx_);
  std::unordered_map<std::string, double> q;
  for (const auto& j : joints_) q[j.name] = j.fb.q;
  return q;
}

void HumanoidBody::jointsState(std::vector<JointState>& states) {
  std::lock_guard<std::mutex> lk(mtx_);
  states.clear();
  states.reserve(joints_.size());
  for (const auto& j : joints_) {
    JointState s;
    s.name = j.name;
    s.is_ready = j.fb.ready && j.fb.frames > 0;
    s.power_on = j.fb.power_on;
    s.position = j.fb.q;
    s.velocity = j.fb.qd;
    s.current = j.fb.current;
    s.torque = j.fb.torque;
    s.target_position = j.p;
    s.target_velocity = j.v;
    s.target_feedback_gain = j.fb.power_on ? static_cast<int>(j.motor->model().kp) : 0;
    s.target_feedforward_torque = 0.0;
    s.temperature = j.fb.temperature;
    s.voltage = j.fb.voltage;
    states.push_back(std::move(s));
  }
}

void HumanoidBody::state(RobotState& st) {
  std::lock_guard<std::mutex> lk(mtx_);
  st = RobotState{};
  std::string faults_text;
  for (const auto& j : joints_) {
    st.temperature.push_back(j.fb.temperature);
    st.voltage.push_back(j.fb.voltage);
    st.joint_positions.push_back(j.fb.q);
    if (j.fb.fault) faults_text += (faults_text.empty() ? "" : ", ") + j.name;
  }
  if (estop_) st.error_msg = "emergency stop";
  if (!faults_text.empty()) {
    st.error_msg += (st.error_msg.empty() ? "" : "; ") + std::string("drive fault (over-temperature): ") + faults_text;
  }
  st.error = !st.error_msg.empty();
}

Eigen::Isometry3d HumanoidBody::fk(const char* op, const std::string& base, const std::string& link) {
  const int b = kin_.linkIndex(base), l = kin_.linkIndex(link);
  if (b < 0 || l < 0) {
    std::vector<std::string> unknown;
    if (b < 0) unknown.push_back("'" + base + "'");
    if (l < 0 && !(b < 0 && link == base)) unknown.push_back("'" + link + "'");
    throw std::runtime_error(std::string(op) + ": unknown link" + (unknown.size() > 1 ? "s " : " ") +
                             joinNames(unknown) + " (links: " + joinNames(kin_.linkNames()) + ")");
  }
  Eigen::VectorXd q;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    q = measured_();
  }
  return kin_.relative(q, b, l);
}

std::vector<double> HumanoidBody::ik(const std::string& base, const std::string& link,
                                     const tovak::msgs::Pose3d& pose) {
  const int b = linkOrThrow_("ik", base), l = linkOrThrow_("ik", link);
  const auto chain = chain_("ik", b, l);
  Eigen::VectorXd q, lower, upper;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    q = measured_();
    limits_(lower, upper);
  }
  Eigen::Isometry3d target = Eigen::Isometry3d::Identity();
  target.translation() = Eigen::Vector3d(pose.position().x(), pose.position().y(), pose.position().z());
  target.linear() = rotationFromEuler(pose.euler().rx(), pose.euler().ry(), pose.euler().rz());
  const auto r = kin_.solveIk(q, b, l, target, chain, lower, upper);
  if (r.position_error > kIkPosTol || r.orientation_error > kIkRotTol) {
    throw std::runtime_error("ik: pose is out of reach of " + link + ": closest solution is " +
                             fmt(r.position_error) + " m and " + fmt(r.orientation_error) + " rad away");
  }
  return {r.q.data(), r.q.data() + r.q.size()};
}

HumanoidRobot<14>::LoopStats HumanoidBody::loopStats() {
  std::lock_guard<std::mutex> lk(mtx_);
  HumanoidRobot<14>::LoopStats s;
  s.ticks = ticks_;
  const double up = std::chrono::duration<double>(Clock::now() - started_).count();
  s.measured_rate_hz = (initialised_ && up > 0) ? static_cast<double>(ticks_) / up : 0.0;
  s.mean_tick_ms = ticks_ ? work_sum_ms_ / static_cast<double>(ticks_) : 0.0;
  s.max_tick_ms = work_max_ms_;
  return s;
}

// ---- drive ---------------------------------------------------------------------

void HumanoidBody::torqueOn() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!initialised_) throw std::runtime_error("torqueOn: " + who_() + " is not initialised");
    for (auto& j : joints_) {
      j.p = j.target = j.fb.q;
      j.v = 0;
      j.mode = JointRt::HOLD;
      j.jog = false;
    }
    carts_.clear();
    torque_on_ = true;
    estop_ = false;
  }
  for (auto& j : joints_)
    if (j.enabled) j.motor->setMode(tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION);
}

void HumanoidBody::torqueOff() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!initialised_) throw std::runtime_error("torqueOff: " + who_() + " is not initialised");
    torque_on_ = false;
    carts_.clear();
  }
  for (auto& j : joints_) j.motor->torqueOff();
}

void HumanoidBody::eStop() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!initialised_) throw std::runtime_error("eStop: " + who_() + " is not initialised");
    estop_ = true;
    carts_.clear();
    for (auto& j : joints_) {
      j.v = 0;
      j.mode = JointRt::HOLD;
      j.jog = false;
    }
  }
  for (auto& j : joints_) j.motor->brake();
}

// ---- motion --------------------------------------------------------------------

void HumanoidBody::moveJ(const std::vector<JointPoint>& points, double vel, double acc) {
  if (points.empty()) throw std::runtime_error("moveJ: no joint given");
  if (!finite(acc) || acc <= 0) throw std::runtime_error("moveJ: acceleration " + fmt(acc) + " must be > 0 rad/s²");
  if (!finite(vel) || vel < 0) {
    throw std::runtime_error("moveJ: overall velocity " + fmt(vel) + " must be >= 0 rad/s (0: every joint gives its own)");
  }
  struct Plan {
    size_t joint;
    double target, vmax;
  };
  std::vector<Plan> plan;
  std::lock_guard<std::mutex> lk(mtx_);
  requireMotion_("moveJ");
  for (const auto& pt : points) {
    const int ji = kin_.jointIndex(pt.joint_name);
    if (ji < 0) {
      throw std::runtime_error("moveJ: unknown joint '" + pt.joint_name + "' (joints: " +
                               joinNames(kin_.jointNames()) + ")");
    }
    const auto& j = joints_[static_cast<size_t>(ji)];
    requireEnabled_("moveJ", j);
    for (const auto& p : plan) {
      if (p.joint == static_cast<size_t>(ji)) throw std::runtime_error("moveJ: joint " + j.name + " is given twice");
    }
    if (!finite(pt.rad) || pt.rad < lower_(j) || pt.rad > upper_(j)) {
      throw std::runtime_error("moveJ: target " + fmt(pt.rad) + " rad for joint " + j.name +
                               " is outside its limits [" + fmt(lower_(j)) + ", " + fmt(upper_(j)) + "] rad");
    }
    if (!finite(pt.vel) || pt.vel < 0) {
      throw std::runtime_error("moveJ: velocity " + fmt(pt.vel) + " for joint " + j.name +
                               " must be >= 0 rad/s (0: use the overall velocity)");
    }
    const double v = pt.vel > 0 ? pt.vel : vel;
    if (v <= 0) {
      throw std::runtime_error("moveJ: joint " + j.name + " has no velocity: give its vel or an overall vel > 0 rad/s");
    }
    if (v > j.max_qd) {
      throw std::runtime_error("moveJ: velocity " + fmt(v) + " rad/s for joint " + j.name + " exceeds its limit " +
                               fmt(j.max_qd) + " rad/s");
    }
    if (acc > j.max_qdd) {
      throw std::runtime_error("moveJ: acceleration " + fmt(acc) + " rad/s² for joint " + j.name +
                               " exceeds its limit " + fmt(j.max_qdd) + " rad/s²");
    }
    plan.push_back({static_cast<size_t>(ji), pt.rad, v});
  }
  for (const auto& p : plan) {
    auto& j = joints_[p.joint];
    if (j.mode == JointRt::CART) cancelCartOf_(static_cast<int>(p.joint));
    j.mode = JointRt::TRAP;
    j.jog = false;
    j.target = p.target;
    j.vmax = p.vmax;
    j.amax = acc;
  }
}

void HumanoidBody::speedJ(const std::string& joint, RobotJointIndexDirection dir, double vel, double acc) {
  const int ji = kin_.jointIndex(joint);
  if (ji < 0) {
    throw std::runtime_error("speedJ: unknown joint '" + joint + "' (joints: " + joinNames(kin_.jointNames()) + ")");
  }
  if (dir != FORWARD && dir != BACKWARD) {
    throw std::runtime_error(std::string("speedJ: direction ") + dirName(dir) + " (" + std::to_string(dir) +
                             ") is not a joint direction; use FORWARD or BACKWARD");
  }
  std::lock_guard<std::mutex> lk(mtx_);
  requireMotion_("speedJ");
  auto& j = joints_[static_cast<size_t>(ji)];
  requireEnabled_("speedJ", j);
  if (!finite(vel) || vel <= 0 || vel > j.max_qd) {
    throw std::runtime_error("speedJ: velocity " + fmt(vel) + " rad/s for joint " + j.name + " is outside (0, " +
                             fmt(j.max_qd) + "]");
  }
  if (!finite(acc) || acc <= 0 || acc > j.max_qdd) {
    throw std::runtime_error("speedJ: acceleration " + fmt(acc) + " rad/s² for joint " + j.name +
                             " is outside (0, " + fmt(j.max_qdd) + "]");
  }
  if (j.mode == JointRt::CART) cancelCartOf_(ji);
  // Jogging is a move towards the limit in the jog's direction: it cannot
  // run past the limit, and it ends where the dead-man window runs out.
  j.mode = JointRt::TRAP;
  j.target = dir == FORWARD ? upper_(j) : lower_(j);
  j.vmax = vel;
  j.amax = acc;
  j.jog = true;
  j.jog_expiry = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(deadman_ms_ * 1000.0));
}

void HumanoidBody::speedL(RobotCartesian axis, RobotJointIndexDirection dir, double vel, double acc,
                          const std::string& tool) {
  const std::string link_name = tool.empty() ? defaultToolFrame() : tool;
  const int link = kin_.linkIndex(link_name);
  if (link < 0) {
    throw std::runtime_error("speedL: unknown tool frame '" + link_name + "' (links: " +
                             joinNames(kin_.linkNames()) + ")");
  }
  static const char* axes[] = {"X", "Y", "Z", "RX", "RY", "RZ"};
  if (axis < X || axis > RZ) {
    throw std::runtime_error("speedL: axis " + std::to_string(axis) + " is not one of X, Y, Z, RX, RY, RZ");
  }
  double sign = 0;
  if (dir == FORWARD) sign = 1;
  else if (dir == BACKWARD) sign = -1;
  else if ((axis == X && dir == X_POSITIVE) || (axis == Y && dir == Y_POSITIVE) || (axis == Z && dir == Z_POSITIVE) ||
           (axis == RX && dir == ROTATE_X) || (axis == RY && dir == ROTATE_Y) || (axis == RZ && dir == ROTATE_Z))
    sign = 1;
  else if ((axis == X && dir == X_NEGATIVE) || (axis == Y && dir == Y_NEGATIVE) || (axis == Z && dir == Z_NEGATIVE))
    sign = -1;
  if (sign == 0) {
    throw std::runtime_error(std::string("speedL: direction ") + dirName(dir) + " (" + std::to_string(dir) +
                             ") does not fit axis " + axes[axis] +
                             "; use FORWARD/BACKWARD or the axis's own direction");
  }
  const bool linear = axis <= Z;
  const double max_v = linear ? kMaxLinVel : kMaxRotVel, max_a = linear ? kMaxLinAcc : kMaxRotAcc;
  const char* vu = linear ? "m/s" : "rad/s";
  const char* au = linear ? "m/s²" : "rad/s²";
  if (!finite(vel) || vel <= 0 || vel > max_v) {
    throw std::runtime_error("speedL: velocity " + fmt(vel) + " " + vu + " is outside (0, " + fmt(max_v) + "]");
  }
  if (!finite(acc) || acc <= 0 || acc > max_a) {
    throw std::runtime_error("speedL: acceleration " + fmt(acc) + " " + au + " is outside (0, " + fmt(max_a) + "]");
  }
  Vec6 target = Vec6::Zero();
  target(axis) = sign * vel;

  std::lock_guard<std::mutex> lk(mtx_);
  requireMotion_("speedL");
  const auto chain = chain_("speedL", pelvis_, link);
  const auto expiry = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(deadman_ms_ * 1000.0));
  for (auto& c : carts_) {
    if (c.kind == CartRt::JOG && c.link == link && c.base == pelvis_) {
      c.target_twist = target;
      c.acc = acc;
      c.expiry = expiry;
      return;
    }
  }
  for (const auto& pj : chain) {
    const auto& j = joints_[static_cast<size_t>(pj.joint)];
    if (j.mode == JointRt::CART || std::fabs(j.v) > kRestVel) {
      throw std::runtime_error("speedL: joint " + j.name + " of the " + link_name +
                               " chain is moving under another command; wait until it stops");
    }
  }
  CartRt c;
  c.kind = CartRt::JOG;
  c.base = pelvis_;
  c.link = link;
  c.joints = chain;
  c.target_twist = target;
  c.acc = acc;
  c.expiry = expiry;
  c.desired = kin_.relative(setpoints_(), pelvis_, link);
  for (const auto& pj : chain) {
    auto& j = joints_[static_cast<size_t>(pj.joint)];
    j.mode = JointRt::CART;
    j.jog = false;
    j.v = 0;
  }
  carts_.push_back(std::move(c));
}

void HumanoidBody::moveL(const std::string& base, const std::string& link_name, const tovak::msgs::Pose3d& pose,
                         double vel, double acc) {
  const int b = linkOrThrow_("moveL", base), l = linkOrThrow_("moveL", link_name);
  const double vals[6] = {pose.position().x(), pose.position().y(), pose.position().z(),
                          pose.euler().rx(),   pose.euler().ry(),   pose.euler().rz()};
  static const char* names[6] = {"x", "y", "z", "rx", "ry", "rz"};
  for (int i = 0; i < 6; ++i)
    if (!finite(vals[i])) throw std::runtime_error(std::string("moveL: target ") + names[i] + " is not finite");
  if (!finite(vel) || vel <= 0 || vel > kMaxLinVel) {
    throw std::runtime_error("moveL: velocity " + fmt(vel) + " m/s is outside (0, " + fmt(kMaxLinVel) + "]");
  }
  if (!finite(acc) || acc <= 0 || acc > kMaxLinAcc) {
    throw std::runtime_error("moveL: acceleration " + fmt(acc) + " m/s² is outside (0, " + fmt(kMaxLinAcc) + "]");
  }
  Eigen::Isometry3d target = Eigen::Isometry3d::Identity();
  target.translation() = Eigen::Vector3d(vals[0], vals[1], vals[2]);
  target.linear() = rotationFromEuler(vals[3], vals[4], vals[5]);

  // Snapshot, then plan without the lock (planning takes milliseconds).
  std::vector<HumanoidKinematics::PathJoint> chain;
  Eigen::VectorXd q0, lower, upper;
  double dt;
  std::vector<double> max_qd;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    requireMotion_("moveL");
    chain = chain_("moveL", b, l);
    for (const auto& pj : chain) {
      const auto& j = joints_[static_cast<size_t>(pj.joint)];
      if (j.mode == JointRt::CART || std::fabs(j.v) > kRestVel) {
        throw std::runtime_error("moveL: joint " + j.name + " of the " + link_name +
                                 " chain is still moving; wait until it stops");
      }
      max_qd.push_back(j.max_qd);
    }
    q0 = setpoints_();
    limits_(lower, upper);
  }
  // The path is sampled every 10 ms and interpolated in joint space between
  // samples; over 10 ms the chord error is far below the IK tolerance.
  dt = kPathSample;

  const auto goal = kin_.solveIk(q0, b, l, target, chain, lower, upper, 300);
  if (goal.position_error > kIkPosTol || goal.orientation_error > kIkRotTol) {
    throw std::runtime_error("moveL: target pose (" + fmt(vals[0]) + ", " + fmt(vals[1]) + ", " + fmt(vals[2]) +
                             " m; " + fmt(vals[3]) + ", " + fmt(vals[4]) + ", " + fmt(vals[5]) + " rad) of " +
                             link_name + " in " + base + " is out of reach: the closest pose is " +
                             fmt(goal.position_error) + " m and " + fmt(goal.orientation_error) +
                             " rad away (tolerance " + fmt(kIkPosTol) + " m, " + fmt(kIkRotTol) + " rad)");
  }

  const Eigen::Isometry3d start = kin_.relative(q0, b, l);
  const double dist = (target.translation() - start.translation()).norm();
  const Eigen::Quaterniond qs(start.rotation()), qg(target.rotation());
  const double ang = qs.angularDistance(qg);
  const double t_lin = profileDuration(dist, vel, acc);
  const double t_rot = profileDuration(ang, std::min(vel, kMaxRotVel), std::min(acc, kMaxRotAcc));
  const bool by_lin = t_lin >= t_rot;
  const double total = std::max(t_lin, t_rot);
  if (total <= 0) return;  // already there

  CartRt c;
  c.kind = CartRt::PATH;
  c.base = b;
  c.link = l;
  c.joints = chain;
  c.table_dt = dt;
  const auto steps = static_cast<size_t>(std::ceil(total / dt));
  auto pick = [&](const Eigen::VectorXd& q) {
    Eigen::VectorXd v(static_cast<Eigen::Index>(chain.size()));
    for (size_t k = 0; k < chain.size(); ++k) v(static_cast<Eigen::Index>(k)) = q(chain[k].joint);
    return v;
  };
  c.table.reserve(steps + 1);
  c.table.push_back(pick(q0));
  Eigen::VectorXd q = q0;
  for (size_t k = 1; k <= steps; ++k) {
    const double t = std::min(static_cast<double>(k) * dt, total);
    const double s = by_lin ? profilePosition(dist, vel, acc, t) / dist
                            : profilePosition(ang, std::min(vel, kMaxRotVel), std::min(acc, kMaxRotAcc), t) / ang;
    Eigen::Isometry3d pk = Eigen::Isometry3d::Identity();
    pk.translation() = start.translation() + s * (target.translation() - start.translation());
    pk.linear() = qs.slerp(s, qg).toRotationMatrix();
    const auto r = kin_.solveIk(q, b, l, pk, chain, lower, upper, 50);
    const int pct = static_cast<int>(std::lround(100.0 * s));
    if (r.position_error > kIkPosTol || r.orientation_error > kIkRotTol) {
      throw std::runtime_error("moveL: the straight path of " + link_name + " leaves the reachable space " +
                               std::to_string(pct) + "% of the way (" + fmt(r.position_error) + " m, " +
                               fmt(r.orientation_error) + " rad off)");
    }
    for (size_t j = 0; j < chain.size(); ++j) {
      const double speed = std::fabs(r.q(chain[j].joint) - q(chain[j].joint)) / dt;
      if (speed > max_qd[j]) {
        throw std::runtime_error("moveL: the straight path needs joint " +
                                 joints_[static_cast<size_t>(chain[j].joint)].name + " at " + fmt(speed) +
                                 " rad/s, above its limit " + fmt(max_qd[j]) + " rad/s, " + std::to_string(pct) +
                                 "% of the way; lower vel or avoid the singular posture");
      }
    }
    q = r.q;
    c.table.push_back(pick(q));
  }

  std::lock_guard<std::mutex> lk(mtx_);
  requireMotion_("moveL");
  for (const auto& pj : chain) {
    const auto& j = joints_[static_cast<size_t>(pj.joint)];
    if (j.mode == JointRt::CART || std::fabs(j.v) > kRestVel || std::fabs(j.p - q0(pj.joint)) > 1e-9) {
      throw std::runtime_error("moveL: joint " + j.name + " moved while the path was planned; try again");
    }
  }
  for (const auto& pj : chain) {
    auto& j = joints_[static_cast<size_t>(pj.joint)];
    j.mode = JointRt::CART;
    j.jog = false;
  }
  carts_.push_back(std::move(c));
}

// ---- HumanoidRobot<N> ------------------------------------------------------------

namespace {
tovak::msgs::Pose3d toMsg(const Eigen::Isometry3d& t) {
  tovak::msgs::Pose3d p;
  p.mutable_position()->set_x(t.translation().x());
  p.mutable_position()->set_y(t.translation().y());
  p.mutable_position()->set_z(t.translation().z());
  const Eigen::Vector3d e = eulerFromRotation(t.rotation());
  p.mutable_euler()->set_rx(e.x());
  p.mutable_euler()->set_ry(e.y());
  p.mutable_euler()->set_rz(e.z());
  Eigen::Quaterniond q(t.rotation());
  if (q.w() < 0) q.coeffs() *= -1;
  p.mutable_quaternion()->set_w(q.w());
  p.mutable_quaternion()->set_x(q.x());
  p.mutable_quaternion()->set_y(q.y());
  p.mutable_quaternion()->set_z(q.z());
  return p;
}
}  // namespace

template <int N>
HumanoidRobot<N>::HumanoidRobot(const XmlNode& cfg) : AbstractRobot(cfg) {
  body_ = std::make_unique<HumanoidBody>(cfg, id_);
  dof_ = N;
  toolFrame_ = body_->defaultToolFrame();
}

template <int N>
HumanoidRobot<N>::~HumanoidRobot() = default;

template <int N>
void HumanoidRobot<N>::init() {
  body_->faults.check("init");
  body_->init();
}

template <int N>
void HumanoidRobot<N>::start() {
  body_->faults.check("start");
  body_->init();
}

template <int N>
void HumanoidRobot<N>::stop() {
  body_->faults.check("stop");
  body_->stop();
}

template <int N>
void HumanoidRobot<N>::updateParams(const std::pair<std::string, std::string>& param) {
  body_->updateParams(param);
}

template <int N>
int HumanoidRobot<N>::getDOF() {
  body_->faults.check("getDOF");
  return dof_;
}

template <int N>
std::vector<std::string> HumanoidRobot<N>::getJointNames() {
  body_->faults.check("getJointNames");
  return body_->jointNames();
}

template <int N>
std::unordered_map<std::string, double> HumanoidRobot<N>::getJointQ() {
  body_->faults.check("getJointQ");
  return body_->jointQ();
}

template <int N>
void HumanoidRobot<N>::getJointQ(std::unordered_map<std::string, double>& q) {
  body_->faults.check("getJointQ");
  q = body_->jointQ();
}

template <int N>
std::vector<std::string> HumanoidRobot<N>::getLinkNames() {
  body_->faults.check("getLinkNames");
  return body_->linkNames();
}

template <int N>
void HumanoidRobot<N>::getJointsState(std::vector<JointState>& states) {
  body_->faults.check("getJointsState");
  body_->jointsState(states);
}

template <int N>
void HumanoidRobot<N>::getState(RobotState& state) {
  body_->faults.check("getState");
  body_->state(state);
}

template <int N>
tovak::math::Pose3d HumanoidRobot<N>::getTransform(std::string& from, std::string& to) {
  body_->faults.check("getTransform");
  const auto m = toMsg(body_->fk("getTransform", from, to));
  tovak::math::Pose3d p;
  p.position = {m.position().x(), m.position().y(), m.position().z()};
  p.quaternion = {m.quaternion().w(), m.quaternion().x(), m.quaternion().y(), m.quaternion().z()};
  p.euler = {m.euler().rx(), m.euler().ry(), m.euler().rz()};
  return p;
}

template <int N>
void HumanoidRobot<N>::torqueOn() {
  body_->faults.check("torqueOn");
  body_->torqueOn();
}

template <int N>
void HumanoidRobot<N>::torqueOff() {
  body_->faults.check("torqueOff");
  body_->torqueOff();
}

template <int N>
void HumanoidRobot<N>::eStop() {
  body_->faults.check("eStop");
  body_->eStop();
}

template <int N>
void HumanoidRobot<N>::moveJ(std::vector<JointPoint>& points, double vel, double acc) {
  body_->faults.check("moveJ");
  body_->moveJ(points, vel, acc);
}

template <int N>
void HumanoidRobot<N>::moveL(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose, double vel,
                             double acc) {
  body_->faults.check("moveL");
  body_->moveL(base, link, pose, vel, acc);
}

template <int N>
void HumanoidRobot<N>::speedJ(std::string& joint, RobotJointIndexDirection dir, double vel, double acc) {
  body_->faults.check("speedJ");
  body_->speedJ(joint, dir, vel, acc);
}

template <int N>
void HumanoidRobot<N>::speedL(RobotCartesian axis, RobotJointIndexDirection dir, double vel, double acc) {
  body_->faults.check("speedL");
  body_->speedL(axis, dir, vel, acc, toolFrame());
}

template <int N>
tovak::msgs::Pose3d HumanoidRobot<N>::fk(const std::string& base, const std::string& link) {
  body_->faults.check("fk");
  return toMsg(body_->fk("fk", base, link));
}

template <int N>
std::vector<double> HumanoidRobot<N>::ik(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose) {
  body_->faults.check("ik");
  return body_->ik(base, link, pose);
}

template <int N>
typename HumanoidRobot<N>::LoopStats HumanoidRobot<N>::loopStats() {
  return body_->loopStats();
}

template class HumanoidRobot<14>;

}  // namespace tovak::device
