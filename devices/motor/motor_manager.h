#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "devices/motor/abstract_motor.h"

namespace tovak::device {

// Registry of the motors of one mechanism, by CAN node id and by joint name.
class MotorManager {
 public:
  void addMotor(uint8_t node_id, std::shared_ptr<AbstractMotor> motor);
  // Registers under the motor's own node id and joint name.
  void addMotor(std::shared_ptr<AbstractMotor> motor);
  // Empty pointer when no motor has that id or name.
  std::shared_ptr<AbstractMotor> getMotor(uint8_t node_id) const;
  std::shared_ptr<AbstractMotor> getMotor(const std::string& joint_name);
  // Read-only view of the name-keyed map. Motors are registered while the
  // mechanism is wired up, before any concurrent use, so the reference stays valid.
  const std::unordered_map<std::string, std::shared_ptr<AbstractMotor>>& motorsMap() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<uint8_t, std::shared_ptr<AbstractMotor>> motors_;
  std::unordered_map<std::string, std::shared_ptr<AbstractMotor>> motors_map_;
};

}  // namespace tovak::device
