#include "drivers/head_esp32/include/head_esp32.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <sstream>
#include <stdexcept>

namespace tovak::device {

namespace {

using F = FacialExpressionState;

// Normalised set-points: -1..1 around the neutral face (0); the jaw opens
// from 0 (closed) to 1 (fully open) and cannot go past closed.
constexpr float kLo = -1.0f;
constexpr float kHi = 1.0f;

const std::array<HeadActuator, kHeadActuatorCount> kActuators = {{
    {"left_eyebrow_outside_y", &F::left_eyebrow_outside_y, kLo, kHi},
    {"left_eyebrow_inside_y", &F::left_eyebrow_inside_y, kLo, kHi},
    {"right_eyebrow_outside_y", &F::right_eyebrow_outside_y, kLo, kHi},
    {"right_eyebrow_inside_y", &F::right_eyebrow_inside_y, kLo, kHi},
    {"left_eye_upper_lid_y", &F::left_eye_upper_lid_y, kLo, kHi},
    {"left_eye_lower_lid_y", &F::left_eye_lower_lid_y, kLo, kHi},
    {"right_eye_upper_lid_y", &F::right_eye_upper_lid_y, kLo, kHi},
    {"right_eye_lower_lid_y", &F::right_eye_lower_lid_y, kLo, kHi},
    {"left_eye_ball_x", &F::left_eye_ball_x, kLo, kHi},
    {"left_eye_ball_y", &F::left_eye_ball_y, kLo, kHi},
    {"right_eye_ball_x", &F::right_eye_ball_x, kLo, kHi},
    {"right_eye_ball_y", &F::right_eye_ball_y, kLo, kHi},
    {"left_nose_y", &F::left_nose_y, kLo, kHi},
    {"right_nose_y", &F::right_nose_y, kLo, kHi},
    {"upper_lip_y", &F::upper_lip_y, kLo, kHi},
    {"upper_lip_z", &F::upper_lip_z, kLo, kHi},
    {"lower_lip_y", &F::lower_lip_y, kLo, kHi},
    {"lower_lip_z", &F::lower_lip_z, kLo, kHi},
    {"upper_left_lip_x", &F::upper_left_lip_x, kLo, kHi},
    {"upper_left_lip_y", &F::upper_left_lip_y, kLo, kHi},
    {"left_corner_lip_x", &F::left_corner_lip_x, kLo, kHi},
    {"left_corner_lip_y", &F::left_corner_lip_y, kLo, kHi},
    {"lower_left_lip_x", &F::lower_left_lip_x, kLo, kHi},
    {"lower_left_lip_y", &F::lower_left_lip_y, kLo, kHi},
    {"upper_right_lip_x", &F::upper_right_lip_x, kLo, kHi},
    {"upper_right_lip_y", &F::upper_right_lip_y, kLo, kHi},
    {"right_corner_lip_x", &F::right_corner_lip_x, kLo, kHi},
    {"right_corner_lip_y", &F::right_corner_lip_y, kLo, kHi},
    {"lower_right_lip_x", &F::lower_right_lip_x, kLo, kHi},
    {"lower_right_lip_y", &F::lower_right_lip_y, kLo, kHi},
    {"jaw_x", &F::jaw_x, kLo, kHi},
    {"jaw_y", &F::jaw_y, 0.0f, kHi},
}};

std::size_t indexOf(float F::*field) {
  for (std::size_t i = 0; i < kActuators.size(); ++i) {
    if (kActuators[i].field == field) return i;
  }
  throw std::logic_error("unknown face actuator");
}

const std::size_t kJawY = indexOf(&F::jaw_y);
const std::size_t kUpperLipY = indexOf(&F::upper_lip_y);
const std::size_t kLowerLipY = indexOf(&F::lower_lip_y);

constexpr double kMaxDuration = 60.0;
constexpr double kMaxMotionSpeed = 100.0;

std::string num(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

struct SettingRange {
  const char* name;
  double HeadSettings::*field;
  double min;
  double max;
};

constexpr std::array<SettingRange, 4> kSettings = {{
    {"rate_hz", &HeadSettings::rate_hz, 10.0, 1000.0},
    {"max_speed", &HeadSettings::max_speed, 0.01, 100.0},
    {"speak_rate_hz", &HeadSettings::speak_rate_hz, 0.5, 10.0},
    {"speak_amplitude", &HeadSettings::speak_amplitude, 0.0, 1.0},
}};

const SettingRange* findSetting(const std::string& name) {
  for (const auto& s : kSettings) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

// The whole text must be a finite number within the setting's range.
double parseSetting(const std::string& device, const SettingRange& s, const std::string& text) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value) || value < s.min || value > s.max) {
    throw std::invalid_argument("head " + device + ": setting " + s.name + " = '" + text +
                                "' is not valid: expected a number from " + num(s.min) + " to " + num(s.max));
  }
  return value;
}

}  // namespace

const std::array<HeadActuator, kHeadActuatorCount>& headActuators() { return kActuators; }

const std::vector<BioHeadRobot::Expression>& BioHeadRobot::expressions() {
  // Poses are relative to the neutral face; actuators a step does not name keep
  // the commanded pose, so gaze and head-specific offsets survive an expression.
  static const std::vector<Expression> table = {
      {"happy",
       {{{{&F::left_corner_lip_y, 0.7f},
          {&F::right_corner_lip_y, 0.7f},
          {&F::left_corner_lip_x, 0.4f},
          {&F::right_corner_lip_x, -0.4f},
          {&F::upper_lip_y, 0.2f},
          {&F::left_eye_lower_lid_y, 0.4f},
          {&F::right_eye_lower_lid_y, 0.4f},
          {&F::left_eyebrow_outside_y, 0.3f},
          {&F::right_eyebrow_outside_y, 0.3f}},
         0.3,
         1.5}},
       0.5},
      {"surprised",
       {{{{&F::left_eyebrow_outside_y, 0.9f},
          {&F::left_eyebrow_inside_y, 0.9f},
          {&F::right_eyebrow_outside_y, 0.9f},
          {&F::right_eyebrow_inside_y, 0.9f},
          {&F::left_eye_upper_lid_y, 0.8f},
          {&F::right_eye_upper_lid_y, 0.8f},
          {&F::left_eye_lower_lid_y, -0.3f},
          {&F::right_eye_lower_lid_y, -0.3f},
          {&F::upper_lip_y, 0.2f},
          {&F::lower_lip_y, -0.4f},
          {&F::jaw_y, 0.6f}},
         0.2,
         1.2}},
       0.6},
      {"tired",
       {{{{&F::left_eye_upper_lid_y, -0.5f},
          {&F::right_eye_upper_lid_y, -0.5f},
          {&F::left_eyebrow_outside_y, -0.3f},
          {&F::right_eyebrow_outside_y, -0.3f},
          {&F::left_eye_ball_y, -0.2f},
          {&F::right_eye_ball_y, -0.2f}},
         1.0,
         0.8},
        {{{&F::left_eye_upper_lid_y, -0.8f},
          {&F::right_eye_upper_lid_y, -0.8f},
          {&F::left_eyebrow_outside_y, -0.3f},
          {&F::right_eyebrow_outside_y, -0.3f},
          {&F::left_eye_ball_y, -0.3f},
          {&F::right_eye_ball_y, -0.3f}},
         0.6,
         0.6}},
       1.0},
      {"angry",
       {{{{&F::left_eyebrow_inside_y, -0.8f},
          {&F::right_eyebrow_inside_y, -0.8f},
          {&F::left_eyebrow_outside_y, 0.2f},
          {&F::right_eyebrow_outside_y, 0.2f},
          {&F::left_eye_upper_lid_y, -0.2f},
          {&F::right_eye_upper_lid_y, -0.2f},
          {&F::left_eye_lower_lid_y, 0.4f},
          {&F::right_eye_lower_lid_y, 0.4f},
          {&F::left_nose_y, 0.6f},
          {&F::right_nose_y, 0.6f},
          {&F::upper_lip_y, 0.3f},
          {&F::left_corner_lip_y, -0.5f},
          {&F::right_corner_lip_y, -0.5f}},
         0.25,
         1.5}},
       0.5},
      {"sadness",
       {{{{&F::left_eyebrow_inside_y, 0.6f},
          {&F::right_eyebrow_inside_y, 0.6f},
          {&F::left_eyebrow_outside_y, -0.5f},
          {&F::right_eyebrow_outside_y, -0.5f},
          {&F::left_eye_upper_lid_y, -0.3f},
          {&F::right_eye_upper_lid_y, -0.3f},
          {&F::left_eye_ball_y, -0.4f},
          {&F::right_eye_ball_y, -0.4f},
          {&F::left_corner_lip_y, -0.6f},
          {&F::right_corner_lip_y, -0.6f},
          {&F::lower_lip_z, 0.3f}},
         0.8,
         2.0}},
       0.8},
      {"yawn",
       {{{{&F::jaw_y, 0.4f}, {&F::left_eye_upper_lid_y, -0.4f}, {&F::right_eye_upper_lid_y, -0.4f}}, 0.6, 0.2},
        {{{&F::jaw_y, 1.0f},
          {&F::lower_lip_y, -0.6f},
          {&F::upper_lip_y, 0.3f},
          {&F::left_eye_upper_lid_y, -0.8f},
          {&F::right_eye_upper_lid_y, -0.8f},
          {&F::left_eyebrow_outside_y, 0.4f},
          {&F::left_eyebrow_inside_y, 0.4f},
          {&F::right_eyebrow_outside_y, 0.4f},
          {&F::right_eyebrow_inside_y, 0.4f}},
         0.8,
         1.5}},
       1.0},
  };
  return table;
}

BioHeadRobot::BioHeadRobot(const XmlNode& cfg) : AbstractBiohead(cfg) {
  const auto attrs = cfg.getAllAttr();
  for (const auto& s : kSettings) {
    const auto it = attrs.find(s.name);
    if (it != attrs.end()) settings_.*s.field = parseSetting(id_, s, it->second);
  }
  speed_.fill(settings_.max_speed);
}

BioHeadRobot::~BioHeadRobot() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BioHeadRobot::init() {
  std::lock_guard<std::mutex> lk(mtx_);
  if (initialized_) return;
  initialized_ = true;
  thread_ = std::thread([this] { run_(); });
}

void BioHeadRobot::stop() {
  std::lock_guard<std::mutex> lk(mtx_);
  halt_();
}

void BioHeadRobot::updateParams(const std::pair<std::string, std::string>& param) {
  if (fault_.handleParam(param, id_)) return;
  const SettingRange* s = findSetting(param.first);
  if (!s) {
    AbstractBiohead::updateParams(param);
    return;
  }
  const double value = parseSetting(id_, *s, param.second);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    settings_.*s->field = value;
  }
  cv_.notify_all();
}

HeadSettings BioHeadRobot::settings() const {
  std::lock_guard<std::mutex> lk(mtx_);
  return settings_;
}

void BioHeadRobot::requireInit_() const {
  if (!initialized_) throw std::runtime_error("head " + id_ + " is not initialised");
}

BioHeadRobot::Pose BioHeadRobot::checkedPose_(const FacialExpressionState& pose) const {
  Pose out{};
  for (std::size_t i = 0; i < kActuators.size(); ++i) {
    const HeadActuator& a = kActuators[i];
    const float v = pose.*a.field;
    const std::string range = "[" + num(a.min) + ", " + num(a.max) + "]";
    if (!std::isfinite(v)) {
      throw std::invalid_argument("head " + id_ + ": " + a.name + " = " + num(v) + " is not a finite number (range " +
                                  range + ")");
    }
    if (v < a.min || v > a.max) {
      throw std::invalid_argument("head " + id_ + ": " + a.name + " = " + num(v) + " is outside its range " + range);
    }
    out[i] = v;
  }
  return out;
}

void BioHeadRobot::checkMotionArgs_(double duration, double speed) const {
  if (!std::isfinite(duration) || duration < 0.0 || duration > kMaxDuration) {
    throw std::invalid_argument("head " + id_ + ": duration " + num(duration) +
                                " is not valid: expected 0 (speed-limited) or seconds up to " + num(kMaxDuration));
  }
  if (!std::isfinite(speed) || speed < 0.0 || speed > kMaxMotionSpeed) {
    throw std::invalid_argument("head " + id_ + ": speed " + num(speed) +
                                " is not valid: expected 0 (the max_speed setting) or units per second up to " +
                                num(kMaxMotionSpeed));
  }
}

void BioHeadRobot::setTarget_(const Pose& target, double duration, double limit) {
  for (std::size_t i = 0; i < target.size(); ++i) {
    const double distance = std::abs(static_cast<double>(target[i]) - current_[i]);
    double v = limit;
    if (duration > 0.0 && distance > 0.0) v = std::min(limit, distance / duration);
    speed_[i] = v;
  }
  target_ = target;
}

void BioHeadRobot::commandPose_(const Pose& pose, double duration, double speed, bool stream_frame) {
  std::lock_guard<std::mutex> lk(mtx_);
  // Checked under the lock eStop takes: a frame that passed the stream's own
  // check just before a stop must not set the face moving again.
  if (stream_frame && emergency_stop_requested) {
    throw std::runtime_error("head " + id_ + " is emergency-stopped: frame not applied (start a new stream)");
  }
  stopped_ = false;
  segments_.clear();
  base_ = pose;
  setTarget_(pose, duration, speed > 0.0 ? speed : settings_.max_speed);
  cv_.notify_all();
}

void BioHeadRobot::setExpressionPose(FacialExpressionState& pose, double duration, double speed) {
  fault_.check("setExpressionPose");
  // The caller may hold this already (it writes expression_state_ before the
  // call); taking it here protects callers that do not.
  auto expression_lock = lockExpression();
  requireInit_();
  checkMotionArgs_(duration, speed);
  const Pose checked = checkedPose_(pose);
  commandPose_(checked, duration, speed, false);
  expression_state_ = pose;
}

void BioHeadRobot::streamFacialPose(FacialExpressionState& pose, double duration, double speed) {
  fault_.check("streamFacialPose");
  requireInit_();
  checkMotionArgs_(duration, speed);
  const Pose checked = checkedPose_(pose);
  auto expression_lock = lockExpression();
  commandPose_(checked, duration, speed, true);
  expression_state_ = pose;
}

void BioHeadRobot::eStop() {
  fault_.check("eStop");
  std::lock_guard<std::mutex> lk(mtx_);
  halt_();
  stopped_ = true;
  emergency_stop_requested = true;
}

void BioHeadRobot::halt_() {
  segments_.clear();
  speaking_ = false;
  target_ = current_;
  base_ = current_;
  cv_.notify_all();
}

void BioHeadRobot::speakstart() {
  fault_.check("speakstart");
  std::lock_guard<std::mutex> lk(mtx_);
  requireInit_();
  stopped_ = false;
  if (!speaking_) {
    speaking_ = true;
    speak_start_ = Clock::now();
  }
  cv_.notify_all();
}

void BioHeadRobot::speakstop() {
  fault_.check("speakstop");
  std::lock_guard<std::mutex> lk(mtx_);
  requireInit_();
  if (!speaking_) return;
  speaking_ = false;
  // The mouth goes back to the pose (or expression) at full speed.
  for (std::size_t i : {kJawY, kUpperLipY, kLowerLipY}) speed_[i] = settings_.max_speed;
  cv_.notify_all();
}

void BioHeadRobot::playExpression_(const char* operation, std::size_t index) {
  fault_.check(operation);
  std::lock_guard<std::mutex> lk(mtx_);
  requireInit_();
  stopped_ = false;
  const Expression& e = expressions()[index];
  segments_.clear();
  auto t = Clock::now();
  for (const auto& step : e.steps) {
    Pose pose = base_;
    for (const auto& [field, value] : step.moves) pose[indexOf(field)] = value;
    segments_.push_back({t, pose, step.move_s});
    t += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(step.move_s + step.hold_s));
  }
  segments_.push_back({t, base_, e.return_s});
  // The end of the return segment.
  t += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(e.return_s));
  segments_.push_back({t, base_, 0.0});
  segment_ = 0;
  setTarget_(segments_[0].target, segments_[0].move_s, settings_.max_speed);
  cv_.notify_all();
}

void BioHeadRobot::expressionHappy() { playExpression_("expressionHappy", 0); }
void BioHeadRobot::expressionSurprised() { playExpression_("expressionSurprised", 1); }
void BioHeadRobot::expressionTired() { playExpression_("expressionTired", 2); }
void BioHeadRobot::expressionAngry() { playExpression_("expressionAngry", 3); }
void BioHeadRobot::expressionSadness() { playExpression_("expressionSadness", 4); }
void BioHeadRobot::expressionYawn() { playExpression_("expressionYawn", 5); }

void BioHeadRobot::getState(RobotState& state) {
  fault_.check("getState");
  std::lock_guard<std::mutex> lk(mtx_);
  // The simulated head has no temperature or voltage sensors.
  state.temperature.clear();
  state.voltage.clear();
  state.joint_positions.assign(current_.begin(), current_.end());
  state.error = stopped_;
  state.error_msg = stopped_ ? "head " + id_ + " is emergency-stopped: actuators frozen until the next motion command"
                             : "";
}

void BioHeadRobot::advanceExpression_(Clock::time_point now) {
  while (segment_ + 1 < segments_.size() && now >= segments_[segment_ + 1].start) {
    ++segment_;
    if (segment_ + 1 == segments_.size()) {
      // Past the return segment: the expression is over and the face is on
      // its way back to (or at) the commanded pose.
      segments_.clear();
      segment_ = 0;
      return;
    }
    setTarget_(segments_[segment_].target, segments_[segment_].move_s, settings_.max_speed);
  }
}

bool BioHeadRobot::active_() const { return speaking_ || !segments_.empty() || current_ != target_; }

void BioHeadRobot::step_(Clock::time_point now, double dt) {
  if (!segments_.empty()) advanceExpression_(now);
  Pose goal = target_;
  auto speed = speed_;
  if (speaking_) {
    // One syllable per cycle: the jaw opens and closes smoothly, the lower lip
    // follows it down and the upper lip lifts a little.
    const double t = std::chrono::duration<double>(now - speak_start_).count();
    const double open = 0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * settings_.speak_rate_hz * t));
    const double jaw = settings_.speak_amplitude * open;
    goal[kJawY] = static_cast<float>(jaw);
    goal[kLowerLipY] = static_cast<float>(-0.5 * jaw);
    goal[kUpperLipY] = static_cast<float>(0.25 * jaw);
    for (std::size_t i : {kJawY, kUpperLipY, kLowerLipY}) speed[i] = settings_.max_speed;
  }
  for (std::size_t i = 0; i < current_.size(); ++i) {
    const double diff = static_cast<double>(goal[i]) - current_[i];
    const double reach = speed[i] * dt;
    if (std::abs(diff) <= reach) {
      current_[i] = goal[i];
    } else {
      current_[i] = static_cast<float>(current_[i] + (diff > 0 ? reach : -reach));
    }
  }
}

void BioHeadRobot::run_() {
  std::unique_lock<std::mutex> lk(mtx_);
  auto last = Clock::now();
  while (!quit_) {
    if (!active_()) {
      // Nothing to move: sleep until a command or the destructor wakes us.
      cv_.wait(lk, [this] { return quit_ || active_(); });
      last = Clock::now();
      continue;
    }
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / settings_.rate_hz));
    const auto next = last + period;
    if (cv_.wait_until(lk, next, [this] { return quit_; })) break;
    const auto now = Clock::now();
    // A late wake-up must not turn into a jump larger than one slow tick.
    const double dt = std::min(std::chrono::duration<double>(now - last).count(), 0.1);
    last = now;
    step_(now, dt);
  }
}

}  // namespace tovak::device
