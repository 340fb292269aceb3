#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/biohead/abstract_biohead.h"
#include "drivers/common/include/fault_injector.h"

namespace tovak::device {

// One actuator axis of the face: its field in a pose and the set-points it
// accepts. Axes: x positive toward the face's own left, y positive up,
// z positive forward (out of the face).
struct HeadActuator {
  const char* name;
  float FacialExpressionState::*field;
  float min;
  float max;
};

inline constexpr std::size_t kHeadActuatorCount = 32;

// The 32 actuators in the order of FacialExpressionState (and of
// RobotState::joint_positions as getState reports them).
const std::array<HeadActuator, kHeadActuatorCount>& headActuators();

// Settings of the simulated head: XML attributes of its element and
// updateParams parameters of the same names.
struct HeadSettings {
  double rate_hz = 100.0;         // control loop rate while something moves, 10..1000
  double max_speed = 5.0;         // actuator speed limit, set-point units per second, 0.01..100
  double speak_rate_hz = 3.0;     // mouth openings per second while speaking, 0.5..10
  double speak_amplitude = 0.4;   // jaw opening at the peak of a speaking cycle, 0..1
};

// Simulated ESP32-driven animatronic face.
//
// Every actuator moves toward its target at a bounded speed on the driver's
// own control thread; calls only set targets and return at once. A built-in
// expression is a timed sequence of poses played on that thread, after which
// the face returns to its last commanded pose. The speaking motion opens and
// closes the jaw and lips until speakstop(), on top of whatever pose or
// expression runs.
//
// eStop() freezes every actuator where it is, ends the expression and the
// speaking motion, and latches the stop (reported by getState). The next
// motion command (setExpressionPose, a stream frame, an expression, or
// speakstart) re-arms the head. A stream frame is refused while
// emergency_stop_requested is set, so a frame that races with a stop cannot
// move the face again; a new stream clears the flag.
class BioHeadRobot : public AbstractBiohead {
 public:
  explicit BioHeadRobot(const XmlNode& cfg);
  ~BioHeadRobot() override;

  BioHeadRobot(const BioHeadRobot&) = delete;
  BioHeadRobot& operator=(const BioHeadRobot&) = delete;

  // Starts the control thread.
  void init() override;
  // Halts every motion where it is (no latched stop). Idempotent.
  void stop() override;
  void updateParams(const std::pair<std::string, std::string>& param) override;

  void getState(RobotState& state) override;
  void eStop() override;
  // duration: 0, or seconds in which all actuators arrive together (later if
  // that needs more than the speed limit). speed: 0 for the max_speed
  // setting, or this motion's own limit in units per second.
  void setExpressionPose(FacialExpressionState& pose, double duration, double speed) override;
  void streamFacialPose(FacialExpressionState& pose, double duration, double speed) override;
  void speakstart() override;
  void speakstop() override;
  void expressionHappy() override;
  void expressionSurprised() override;
  void expressionTired() override;
  void expressionAngry() override;
  void expressionSadness() override;
  void expressionYawn() override;

  HeadSettings settings() const;

  // One step of a built-in expression: the actuators it moves (the others keep
  // the commanded pose), the time to get there and the time to hold.
  struct ExpressionStep {
    std::vector<std::pair<float FacialExpressionState::*, float>> moves;
    double move_s;
    double hold_s;
  };
  struct Expression {
    const char* name;
    std::vector<ExpressionStep> steps;
    double return_s;  // time back to the commanded pose
  };
  // The six built-in expressions: happy, surprised, tired, angry, sadness, yawn.
  static const std::vector<Expression>& expressions();

 private:
  using Clock = std::chrono::steady_clock;
  using Pose = std::array<float, kHeadActuatorCount>;

  struct Segment {
    Clock::time_point start;
    Pose target;
    double move_s;
  };

  void requireInit_() const;
  Pose checkedPose_(const FacialExpressionState& pose) const;
  void checkMotionArgs_(double duration, double speed) const;
  void commandPose_(const Pose& pose, double duration, double speed, bool stream_frame);
  void playExpression_(const char* operation, std::size_t index);
  void setTarget_(const Pose& target, double duration, double limit);
  void advanceExpression_(Clock::time_point now);
  bool active_() const;
  void step_(Clock::time_point now, double dt);
  void halt_();
  void run_();

  FaultInjector fault_;

  mutable std::mutex mtx_;
  std::condition_variable cv_;
  HeadSettings settings_;
  std::atomic<bool> initialized_{false};
  bool quit_ = false;
  bool stopped_ = false;  // latched by eStop until the next motion command
  Pose current_{};
  Pose target_{};
  Pose base_{};  // last commanded pose; expressions return to it
  std::array<double, kHeadActuatorCount> speed_{};
  std::vector<Segment> segments_;  // running expression; empty when none
  std::size_t segment_ = 0;
  bool speaking_ = false;
  Clock::time_point speak_start_;
  std::thread thread_;
};

}  // namespace tovak::device
