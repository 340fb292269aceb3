#include "devices/motor/motor_manager.h"

namespace tovak::device {

void MotorManager::addMotor(uint8_t node_id, std::shared_ptr<AbstractMotor> motor) {
  std::lock_guard<std::mutex> lk(mutex_);
  const std::string name = motor->jointName();
  motors_[node_id] = motor;
  if (!name.empty()) motors_map_[name] = std::move(motor);
}

void MotorManager::addMotor(std::shared_ptr<AbstractMotor> motor) {
  const uint8_t node_id = motor->id();
  addMotor(node_id, std::move(motor));
}

std::shared_ptr<AbstractMotor> MotorManager::getMotor(uint8_t node_id) const {
  std::lock_guard<std::mutex> lk(mutex_);
  auto it = motors_.find(node_id);
  return it == motors_.end() ? nullptr : it->second;
}

std::shared_ptr<AbstractMotor> MotorManager::getMotor(const std::string& joint_name) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto it = motors_map_.find(joint_name);
  return it == motors_map_.end() ? nullptr : it->second;
}

const std::unordered_map<std::string, std::shared_ptr<AbstractMotor>>& MotorManager::motorsMap() const {
  return motors_map_;
}

}  // namespace tovak::device
