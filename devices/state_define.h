#pragma once

#include <array>
#include <string>
#include <vector>

namespace tovak::device {

enum Lifecycle { INIT = 0, READY = 1, RUNNING = 2, ERROR = 3, STOP = 4, ESTOP = 5 };

struct AGVState {};

struct GripperState {};

struct BatteryState {
  float voltage{};
  float current{};
  float temperature{};
  int charge_percentage{};
  bool is_charging{};
  Lifecycle health{};
  std::string vendor_info;
};

struct CameraState {
  bool is_initialized{};
  bool is_opened{};
  bool is_streaming{};
  bool is_recording{};
  bool is_error{};
  std::string error_message;
  int fps{};
  int width{};
  int height{};
};

// State of one degree of freedom of a dexterous hand.
struct RH56DFTPDexHand {
  int angle{};
  int speed{};
  int force{};
  int position{};
  int current{};
  int temperature{};
  int error{};
  std::vector<std::string> error_message;
};

struct DexHandState {
  bool is_initialized{};
  std::array<RH56DFTPDexHand, 6> hands{};
};

struct JointState {
  std::string name;
  bool is_ready{};
  bool power_on{};
  double position{};
  double velocity{};
  double current{};
  double torque{};
  double target_position{};
  double target_velocity{};
  int target_feedback_gain{};
  double target_feedforward_torque{};
  double temperature{};
  double voltage{};
};

// Status of the robot's body; the bionic head reports in the same record.
struct RobotState {
  std::vector<double> temperature;
  std::vector<double> voltage;
  std::vector<double> joint_positions;
  bool error{};
  std::string error_msg;
};

// A Cartesian axis. Numerically identical to the API enumeration.
enum RobotCartesian { X = 0, Y = 1, Z = 2, RX = 3, RY = 4, RZ = 5 };

// A jog direction. Numerically identical to the API enumeration.
enum RobotJointIndexDirection {
  FORWARD = 0,
  BACKWARD = 1,
  X_POSITIVE = 2,
  X_NEGATIVE = 3,
  Y_POSITIVE = 4,
  Y_NEGATIVE = 5,
  Z_POSITIVE = 6,
  Z_NEGATIVE = 7,
  ROTATE_X = 8,
  ROTATE_Y = 9,
  ROTATE_Z = 10
};

struct SpeakerState {
  bool is_initialized{};
  bool is_running{};
  bool is_decoding{};
  bool is_paused{};
  int volume{};
};

struct MicrophoneState {
  bool is_initialized{};
  bool is_running{};
  bool is_recording{};
  bool is_error{};
  int volume{};
  std::string error_message;
};

}  // namespace tovak::device
