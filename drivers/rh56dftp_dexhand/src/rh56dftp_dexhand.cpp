#include "drivers/rh56dftp_dexhand/include/rh56dftp_dexhand.h"

#include <glog/logging.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <iterator>
#include <stdexcept>

namespace tovak::device {

namespace {

constexpr int kMaxStroke = 2000;
constexpr int kMaxAngle = 1000;
constexpr int kMaxSpeed = 1000;
constexpr int kMaxForce = 3000;
constexpr int kMaxReading = 4095;
// Stroke units per second at speed 1000: the whole stroke in 0.8 s.
constexpr double kStrokePerSecondAtFullSpeed = 2500.0;
// The thumb rotation (DOF 5) turns beside the object and never touches it.
constexpr int kContactDofs = 5;

constexpr double kIdleTemperature = 30.0;
constexpr double kThermalTimeConstant = 30.0;  // s

// Motor current in mA: the motion's share while moving plus the share that
// holds the contact force.
double motorCurrent(bool moving, int speed, double force) {
  return (moving ? 80.0 + 0.2 * speed : 0.0) + 0.3 * force;
}

int parseInt(const std::string& text, bool& ok) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  ok = !text.empty() && ec == std::errc() && p == end;
  return value;
}

bool parseBool(const std::string& text, bool& ok) {
  std::string t = text;
  std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  ok = true;
  if (t == "true" || t == "1" || t == "on" || t == "yes") return true;
  if (t == "false" || t == "0" || t == "off" || t == "no") return false;
  ok = false;
  return false;
}

// Relative pressure of a cell: a bump centred at (cr, cc) of the part,
// 1 at the centre.
double bump(int r, int c, double cr, double cc, int rows, int cols) {
  const double sr = std::max(1.0, rows / 3.0);
  const double sc = std::max(1.0, cols / 3.0);
  const double dr = (r - cr) / sr;
  const double dc = (c - cc) / sc;
  return std::exp(-0.5 * (dr * dr + dc * dc));
}

const char* const kSettingNames[] = {"side",          "serial_port",   "baudrate", "update_rate_hz",
                                     "default_speed", "default_force", "object",   "object_position",
                                     "object_stiffness", "tactile_noise"};

}  // namespace

const std::vector<std::pair<int, std::array<int, RH56DFTPDexhand::kDofs>>>& RH56DFTPDexhand::presets() {
  // Target angles for DOFs little, ring, middle, index, thumb bend, thumb rotation.
  static const std::vector<std::pair<int, std::array<int, kDofs>>> table = {
      {1, {1000, 1000, 1000, 1000, 1000, 1000}},  // open hand
      {2, {0, 0, 0, 0, 0, 0}},                    // fist / power grasp
      {3, {0, 0, 0, 400, 400, 0}},                // pinch: index and thumb meet
      {4, {0, 0, 0, 1000, 200, 500}},             // point with the index
      {5, {1000, 1000, 1000, 400, 400, 0}},       // OK sign
      {6, {0, 0, 0, 0, 1000, 1000}},              // thumb up
  };
  return table;
}

std::vector<std::string> RH56DFTPDexhand::errorTexts(int error) {
  static const std::pair<int, const char*> kTexts[] = {{kLockedRotor, "locked rotor"},
                                                       {kOverTemperature, "over temperature"},
                                                       {kOverCurrent, "over current"},
                                                       {kMotorAbnormal, "motor abnormal"},
                                                       {kCommunication, "communication error"}};
  std::vector<std::string> out;
  for (const auto& [bit, text] : kTexts) {
    if (error & bit) out.emplace_back(text);
  }
  return out;
}

RH56DFTPDexhand::RH56DFTPDexhand(const XmlNode& cfg) : AbstractDexHand(cfg) {
  Settings s;
  const auto attrs = cfg.getAllAttr();
  for (const char* name : kSettingNames) {
    auto it = attrs.find(name);
    if (it != attrs.end()) applySetting_(s, name, it->second);
  }
  settings_ = s;
  finishConstruction_();
}

RH56DFTPDexhand::RH56DFTPDexhand(const tovak::config::RH56DFTPDexHandConfig& cfg) {
  id_ = cfg.id();
  Settings s;
  // 0 or empty selects the default.
  if (!cfg.side().empty()) applySetting_(s, "side", cfg.side());
  if (!cfg.serial_port().empty()) applySetting_(s, "serial_port", cfg.serial_port());
  if (cfg.baudrate() != 0) applySetting_(s, "baudrate", std::to_string(cfg.baudrate()));
  if (cfg.update_rate_hz() != 0) applySetting_(s, "update_rate_hz", std::to_string(cfg.update_rate_hz()));
  settings_ = s;
  finishConstruction_();
}

void RH56DFTPDexhand::finishConstruction_() {
  hand_tactile_sensors_.init();
  back_.init();
  for (auto& d : dofs_) {
    d.speed = settings_.default_speed;
    d.force_limit = settings_.default_force;
  }
}

RH56DFTPDexhand::~RH56DFTPDexhand() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool RH56DFTPDexhand::applySetting_(Settings& s, const std::string& name, const std::string& value) const {
  auto refuse = [&](const std::string& accepted) {
    throw std::invalid_argument("hand " + id_ + ": setting " + name + " value '" + value + "' is not " + accepted);
  };
  auto intIn = [&](int lo, int hi) {
    bool ok = false;
    const int v = parseInt(value, ok);
    if (!ok || v < lo || v > hi) refuse("an integer in " + std::to_string(lo) + "-" + std::to_string(hi));
    return v;
  };
  if (name == "side") {
    if (value != "left" && value != "right") refuse("\"left\" or \"right\"");
    s.side = value;
  } else if (name == "serial_port") {
    if (value.empty()) refuse("a device path");
    s.serial_port = value;
  } else if (name == "baudrate") {
    static const int kRates[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
    bool ok = false;
    const int v = parseInt(value, ok);
    if (!ok || std::find(std::begin(kRates), std::end(kRates), v) == std::end(kRates)) {
      refuse("one of 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600");
    }
    s.baudrate = v;
  } else if (name == "update_rate_hz") {
    s.update_rate_hz = intIn(1, 1000);
  } else if (name == "default_speed") {
    s.default_speed = intIn(0, kMaxSpeed);
  } else if (name == "default_force") {
    s.default_force = intIn(0, kMaxForce);
  } else if (name == "object") {
    bool ok = false;
    const bool v = parseBool(value, ok);
    if (!ok) refuse("a boolean (true/false, on/off, 1/0, yes/no)");
    s.object = v;
  } else if (name == "object_position") {
    s.object_position = intIn(0, kMaxStroke);
  } else if (name == "object_stiffness") {
    s.object_stiffness = intIn(1, 1000);
  } else if (name == "tactile_noise") {
    s.tactile_noise = intIn(0, 1000);
  } else {
    return false;
  }
  return true;
}

void RH56DFTPDexhand::updateParams(const std::pair<std::string, std::string>& param) {
  if (faults_.handleParam(param, id_)) return;
  faults_.check("updateParams");
  const auto& [name, value] = param;
  if (name == "dof_error") {
    // "<dof>:<code>": the DOF reports these error bits (0 clears them).
    const auto colon = value.find(':');
    bool ok_dof = false;
    bool ok_code = false;
    int dof = -1;
    int code = -1;
    if (colon != std::string::npos) {
      dof = parseInt(value.substr(0, colon), ok_dof);
      code = parseInt(value.substr(colon + 1), ok_code);
    }
    if (!ok_dof || !ok_code || dof < 0 || dof >= kDofs || code < 0 || code > 31) {
      throw std::invalid_argument("hand " + id_ + ": dof_error value '" + value +
                                  "' is not <dof 0-5>:<error bits 0-31>");
    }
    std::lock_guard<std::mutex> lk(mtx_);
    dofs_[static_cast<size_t>(dof)].error = code;
    return;
  }
  std::lock_guard<std::mutex> lk(mtx_);
  Settings s = settings_;
  if (!applySetting_(s, name, value)) throw std::invalid_argument("hand " + id_ + " has no parameter " + name);
  // The defaults are what a DOF falls back to: changing one applies it to every DOF.
  if (s.default_speed != settings_.default_speed) {
    for (auto& d : dofs_) d.speed = s.default_speed;
  }
  if (s.default_force != settings_.default_force) {
    for (auto& d : dofs_) d.force_limit = s.default_force;
  }
  settings_ = s;
  cv_.notify_all();
}

void RH56DFTPDexhand::init() {
  faults_.check("init");
  std::lock_guard<std::mutex> lk(mtx_);
  if (initialised_) throw std::runtime_error("hand " + id_ + " is already initialised");
  initialised_ = true;
  thread_ = std::thread([this] { run_(); });
  LOG(INFO) << "[RH56DFTPDexhand] (init): hand " << id_ << " (" << settings_.side << ") simulated at "
            << settings_.update_rate_hz << " Hz";
}

void RH56DFTPDexhand::start() {
  faults_.check("start");
  std::lock_guard<std::mutex> lk(mtx_);
  requireInitialised_("start");
}

void RH56DFTPDexhand::stop() {
  faults_.check("stop");
  std::lock_guard<std::mutex> lk(mtx_);
  for (auto& d : dofs_) {
    d.target = d.position;
    d.moving = false;
  }
}

void RH56DFTPDexhand::requireInitialised_(const char* operation) const {
  // Caller holds mtx_.
  if (!initialised_) {
    throw std::runtime_error(std::string(operation) + ": hand " + id_ + " is not initialised (init() not called)");
  }
}

void RH56DFTPDexhand::getState(DexHandState& state) {
  faults_.check("getState");
  std::lock_guard<std::mutex> lk(mtx_);
  state.is_initialized = initialised_;
  for (size_t i = 0; i < dofs_.size(); ++i) {
    const Dof& d = dofs_[i];
    auto& out = state.hands[i];
    out.position = static_cast<int>(std::lround(d.position));
    out.angle = static_cast<int>(std::lround(kMaxAngle - d.position / 2.0));
    out.speed = d.moving ? d.speed : 0;
    out.force = static_cast<int>(std::lround(d.force));
    out.current = static_cast<int>(std::lround(d.current));
    out.temperature = static_cast<int>(std::lround(d.temperature));
    out.error = d.error;
    out.error_message = errorTexts(d.error);
  }
}

void RH56DFTPDexhand::command_(const char* operation, Quantity q, const std::vector<int>& values) {
  faults_.check(operation);
  std::lock_guard<std::mutex> lk(mtx_);
  requireInitialised_(operation);
  if (values.size() != static_cast<size_t>(kDofs)) {
    throw std::invalid_argument(std::string(operation) + " on hand " + id_ + " needs 6 values (one per DOF), got " +
                                std::to_string(values.size()));
  }
  const char* what = "";
  int hi = 0;
  switch (q) {
    case Quantity::kPosition:
      what = "position";
      hi = kMaxStroke;
      break;
    case Quantity::kAngle:
      what = "angle";
      hi = kMaxAngle;
      break;
    case Quantity::kSpeed:
      what = "speed";
      hi = kMaxSpeed;
      break;
    case Quantity::kForce:
      what = "force";
      hi = kMaxForce;
      break;
  }
  // All values are checked before any is applied: a refused command changes nothing.
  for (size_t i = 0; i < values.size(); ++i) {
    const int v = values[i];
    if (v != -1 && (v < 0 || v > hi)) {
      throw std::invalid_argument(std::string(what) + " " + std::to_string(v) + " for DOF " + std::to_string(i) +
                                  " is outside 0-" + std::to_string(hi) + " on hand " + id_ +
                                  " (-1 leaves a DOF unchanged)");
    }
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const int v = values[i];
    if (v == -1) continue;
    Dof& d = dofs_[i];
    switch (q) {
      case Quantity::kPosition:
        d.target = v;
        break;
      case Quantity::kAngle:
        d.target = 2.0 * (kMaxAngle - v);
        break;
      case Quantity::kSpeed:
        d.speed = v;
        break;
      case Quantity::kForce:
        d.force_limit = v;
        break;
    }
  }
}

void RH56DFTPDexhand::setPositions(const std::vector<int>& positions) {
  command_("setPositions", Quantity::kPosition, positions);
}
void RH56DFTPDexhand::setAngles(const std::vector<int>& angles) { command_("setAngles", Quantity::kAngle, angles); }
void RH56DFTPDexhand::setVelocities(const std::vector<int>& speeds) {
  command_("setVelocities", Quantity::kSpeed, speeds);
}
void RH56DFTPDexhand::setForce(const std::vector<int>& forces) { command_("setForce", Quantity::kForce, forces); }

void RH56DFTPDexhand::preset_(const char* operation, int act) {
  faults_.check(operation);
  const auto& table = presets();
  auto it = std::find_if(table.begin(), table.end(), [act](const auto& p) { return p.first == act; });
  if (it == table.end()) {
    throw std::invalid_argument("preset action " + std::to_string(act) + " is not one of 1-" +
                                std::to_string(table.size()) + " on hand " + id_);
  }
  std::lock_guard<std::mutex> lk(mtx_);
  requireInitialised_(operation);
  for (size_t i = 0; i < dofs_.size(); ++i) dofs_[i].target = 2.0 * (kMaxAngle - it->second[i]);
}

void RH56DFTPDexhand::setPresetAct(int act) { preset_("setPresetAct", act); }
void RH56DFTPDexhand::execPresetAct(int act) { preset_("execPresetAct", act); }

HandTactileSensors& RH56DFTPDexhand::getSensorData() {
  faults_.check("getSensorData");
  return hand_tactile_sensors_;
}

HandTactileSensors RH56DFTPDexhand::sensorSnapshot() {
  faults_.check("getSensorData");
  std::lock_guard<std::mutex> lk(mtx_);
  return hand_tactile_sensors_;
}

void RH56DFTPDexhand::run_() {
  using clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lk(mtx_);
  auto last = clock::now();
  auto next = last;
  while (!quit_) {
    const auto period = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(
        1.0 / settings_.update_rate_hz));
    next += period;
    // After a stall (or a slower rate) start afresh rather than catch up.
    if (next < clock::now()) next = clock::now() + period;
    cv_.wait_until(lk, next, [this] { return quit_; });
    if (quit_) break;
    const auto now = clock::now();
    step_(std::chrono::duration<double>(now - last).count());
    last = now;
    std::array<double, kDofs> forces{};
    for (size_t i = 0; i < dofs_.size(); ++i) forces[i] = dofs_[i].force;
    const Settings s = settings_;
    // The readings are computed outside the lock; only the swap is inside.
    lk.unlock();
    buildTactile_(back_, forces, s);
    lk.lock();
    std::swap(hand_tactile_sensors_, back_);
  }
}

void RH56DFTPDexhand::step_(double dt) {
  const Settings& s = settings_;
  const double stiffness = s.object_stiffness;
  for (size_t i = 0; i < dofs_.size(); ++i) {
    Dof& d = dofs_[i];
    const bool touches = s.object && static_cast<int>(i) < kContactDofs;
    double goal = d.target;
    // Pressing into the object stops where the contact force reaches the limit
    // (and backs off to there when the limit was lowered).
    if (touches) goal = std::min(goal, s.object_position + d.force_limit / stiffness);
    if (d.error != 0) goal = d.position;  // a faulted DOF holds where it is
    const double step = kStrokePerSecondAtFullSpeed * d.speed / kMaxSpeed * dt;
    const double gap = goal - d.position;
    if (std::abs(gap) <= step) {
      d.position = goal;
      d.moving = false;
    } else {
      d.position += gap > 0 ? step : -step;
      d.moving = true;
    }
    d.force = touches ? std::max(0.0, (d.position - s.object_position) * stiffness) : 0.0;
    d.current = motorCurrent(d.moving, d.speed, d.force);
    const double heat_goal = kIdleTemperature + d.current / 20.0;
    d.temperature += (heat_goal - d.temperature) * std::min(1.0, dt / kThermalTimeConstant);
  }
}

void RH56DFTPDexhand::buildTactile_(HandTactileSensors& out, const std::array<double, kDofs>& forces,
                                    const Settings& s) {
  auto fill = [&](auto& part, double force, double gain, double centre_col) {
    const double centre_row = (part.rows - 1) / 2.0;
    // The most pressed cell reads force x gain.
    double top = 0;
    for (int r = 0; r < part.rows; ++r) {
      for (int c = 0; c < part.cols; ++c) top = std::max(top, bump(r, c, centre_row, centre_col, part.rows, part.cols));
    }
    for (int r = 0; r < part.rows; ++r) {
      auto& row = part.data[static_cast<size_t>(r)];
      for (int c = 0; c < part.cols; ++c) {
        double v =
            force > 0 ? force * gain * bump(r, c, centre_row, centre_col, part.rows, part.cols) / top : 0.0;
        if (s.tactile_noise > 0) {
          // xorshift32: cheap, and only this thread draws from it.
          noise_state_ ^= noise_state_ << 13;
          noise_state_ ^= noise_state_ >> 17;
          noise_state_ ^= noise_state_ << 5;
          v += noise_state_ % static_cast<uint32_t>(s.tactile_noise + 1);
        }
        row[static_cast<size_t>(c)] = static_cast<TactilePoint>(std::min<long>(kMaxReading, std::lround(v)));
      }
    }
  };
  auto middleCol = [](const auto& part) { return (part.cols - 1) / 2.0; };
  // The grip presses the inner finger sections hardest, the tips least.
  auto fillFinger = [&](auto& finger, double force) {
    fill(finger.tip, force, 0.3, middleCol(finger.tip));
    fill(finger.finger, force, 1.0, middleCol(finger.finger));
    fill(finger.pad, force, 0.8, middleCol(finger.pad));
  };
  fillFinger(out.pinky, forces[0]);
  fillFinger(out.ring, forces[1]);
  fillFinger(out.middle, forces[2]);
  fillFinger(out.index, forces[3]);
  fill(out.thumb.tip, forces[4], 0.3, middleCol(out.thumb.tip));
  fill(out.thumb.finger, forces[4], 1.0, middleCol(out.thumb.finger));
  fill(out.thumb.middle, forces[4], 0.6, middleCol(out.thumb.middle));
  fill(out.thumb.pad, forces[4], 0.8, middleCol(out.thumb.pad));
  // The gripped object rests against the palm near the thumb: column 0 is the
  // little-finger edge of a right hand and the thumb edge of a left hand.
  double grip = 0;
  for (int i = 0; i < kContactDofs; ++i) grip += forces[static_cast<size_t>(i)];
  const double palm_col = (s.side == "right" ? 0.7 : 0.3) * (out.palm.cols - 1);
  fill(out.palm, grip, 0.25, palm_col);
}

}  // namespace tovak::device
