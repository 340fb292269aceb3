#include "service/grpc/include/head_conversions.h"

namespace tovak::service {

void applySetExpression(const tovak::api::FacialExpression& e, tovak::device::FacialExpressionState& pose) {
  pose.left_eyebrow_outside_y = e.eyebrow().left_outside_y();
  pose.left_eyebrow_inside_y = e.eyebrow().left_inside_y();
  pose.right_eyebrow_outside_y = e.eyebrow().right_outside_y();
  pose.right_eyebrow_inside_y = e.eyebrow().right_inside_y();
  pose.left_eye_upper_lid_y = e.eyelid().left_upper_y();
  pose.left_eye_lower_lid_y = e.eyelid().left_lower_y();
  pose.right_eye_upper_lid_y = e.eyelid().right_upper_y();
  pose.right_eye_lower_lid_y = e.eyelid().right_lower_y();
  pose.left_eye_ball_x = e.eyeball().left_x();
  pose.left_eye_ball_y = e.eyeball().left_y();
  pose.right_eye_ball_x = e.eyeball().right_x();
  pose.right_eye_ball_y = e.eyeball().right_y();
  pose.left_nose_y = e.nose().left_y();
  pose.right_nose_y = e.nose().right_y();
  pose.upper_lip_y = e.mouth().upper_lip_y();
  pose.lower_lip_y = e.mouth().lower_lip_y();
}

tovak::device::FacialExpressionState streamFrameToPose(const tovak::api::FacialExpression& e) {
  tovak::device::FacialExpressionState pose{};
  pose.left_eyebrow_outside_y = e.eyebrow().left_outside_y();
  pose.left_eyebrow_inside_y = e.eyebrow().left_inside_y();
  pose.right_eyebrow_outside_y = e.eyebrow().right_outside_y();
  pose.right_eyebrow_inside_y = e.eyebrow().right_inside_y();
  pose.left_eye_upper_lid_y = e.eyelid().left_upper_y();
  pose.left_eye_lower_lid_y = e.eyelid().left_lower_y();
  pose.right_eye_upper_lid_y = e.eyelid().right_upper_y();
  pose.right_eye_lower_lid_y = e.eyelid().right_lower_y();
  pose.left_eye_ball_x = 0.0f;
  pose.left_eye_ball_y = e.eyeball().left_y();
  pose.right_eye_ball_x = 0.0f;
  pose.right_eye_ball_y = e.eyeball().right_y();
  pose.left_nose_y = e.nose().left_y();
  pose.right_nose_y = e.nose().right_y();
  pose.upper_lip_y = e.mouth().upper_lip_y();
  pose.upper_lip_z = 0.0f;
  pose.lower_lip_y = e.mouth().lower_lip_y();
  pose.lower_lip_z = 0.0f;
  pose.upper_left_lip_x = 0.0f;
  pose.upper_left_lip_y = 0.0f;
  pose.left_corner_lip_x = e.mouth().left_lip().upper_y();
  pose.left_corner_lip_y = e.mouth().left_lip().corner_y();
  pose.lower_left_lip_x = 0.0f;
  pose.lower_left_lip_y = e.mouth().left_lip().lower_y();
  pose.upper_right_lip_x = 0.0f;
  pose.upper_right_lip_y = 0.0f;
  pose.right_corner_lip_x = e.mouth().right_lip().upper_y();
  pose.right_corner_lip_y = e.mouth().right_lip().lower_y();
  pose.lower_right_lip_x = 0.0f;
  pose.lower_right_lip_y = e.mouth().right_lip().corner_y();
  pose.jaw_x = e.jaw().x();
  pose.jaw_y = e.jaw().y();
  return pose;
}

}  // namespace tovak::service
