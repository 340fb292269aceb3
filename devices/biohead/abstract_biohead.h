#pragma once

#include <atomic>
#include <mutex>

#include "devices/abstract_device.h"
#include "devices/state_define.h"

namespace tovak::device {

// One face pose: 32 actuator set-points. The field order is the contract
// with the head's controller.
struct FacialExpressionState {
  float left_eyebrow_outside_y;
  float left_eyebrow_inside_y;
  float right_eyebrow_outside_y;
  float right_eyebrow_inside_y;
  float left_eye_upper_lid_y;
  float left_eye_lower_lid_y;
  float right_eye_upper_lid_y;
  float right_eye_lower_lid_y;
  float left_eye_ball_x;
  float left_eye_ball_y;
  float right_eye_ball_x;
  float right_eye_ball_y;
  float left_nose_y;
  float right_nose_y;
  float upper_lip_y;
  float upper_lip_z;
  float lower_lip_y;
  float lower_lip_z;
  float upper_left_lip_x;
  float upper_left_lip_y;
  float left_corner_lip_x;
  float left_corner_lip_y;
  float lower_left_lip_x;
  float lower_left_lip_y;
  float upper_right_lip_x;
  float upper_right_lip_y;
  float right_corner_lip_x;
  float right_corner_lip_y;
  float lower_right_lip_x;
  float lower_right_lip_y;
  float jaw_x;
  float jaw_y;
};

// The animatronic face.
class AbstractBiohead : public AbstractDevice {
 public:
  explicit AbstractBiohead(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractBiohead() = default;

  virtual void getState(RobotState& state) = 0;
  virtual void eStop() = 0;
  virtual void setExpressionPose(FacialExpressionState& pose, double duration, double speed) = 0;
  virtual void streamFacialPose(FacialExpressionState& pose, double duration, double speed) = 0;
  virtual void speakstart() = 0;
  virtual void speakstop() = 0;
  virtual void expressionHappy() = 0;
  virtual void expressionSurprised() = 0;
  virtual void expressionTired() = 0;
  virtual void expressionAngry() = 0;
  virtual void expressionSadness() = 0;
  virtual void expressionYawn() = 0;

  // Held by whoever writes expression_state_ and hands it to
  // setExpressionPose, so concurrent single-pose requests cannot interleave
  // their writes. Recursive: drivers may take it again inside setExpressionPose.
  std::unique_lock<std::recursive_mutex> lockExpression() {
    return std::unique_lock<std::recursive_mutex>(expression_mtx_);
  }

  FacialExpressionState expression_state_{};
  std::atomic<bool> emergency_stop_requested{false};

 protected:
  std::recursive_mutex expression_mtx_;
};

}  // namespace tovak::device
