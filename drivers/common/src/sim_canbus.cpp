#include "drivers/common/include/sim_canbus.h"

#include <sys/time.h>

namespace tovak::device {

namespace {
timeval nowTimeval() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return tv;
}
}  // namespace

SimCanbus::SimCanbus(const XmlNode& cfg, std::string name) : AbstractCanbus(cfg), name_(std::move(name)) {}

void SimCanbus::init() {}

void SimCanbus::start() {
  std::lock_guard<std::mutex> lk(mtx_);
  is_started_ = true;
  status_ = tovak::msgs::OK;
}

void SimCanbus::stop() {
  std::lock_guard<std::mutex> lk(mtx_);
  is_started_ = false;
  rx_.clear();
}

bool SimCanbus::isStarted() const {
  std::lock_guard<std::mutex> lk(mtx_);
  return is_started_;
}

SimCanbus::Stats SimCanbus::stats() const {
  std::lock_guard<std::mutex> lk(mtx_);
  return stats_;
}

void SimCanbus::attach(uint8_t node_id, std::weak_ptr<CanNode> node) {
  std::lock_guard<std::mutex> lk(mtx_);
  nodes_[node_id & 0x7F] = std::move(node);
}

void SimCanbus::detach(uint8_t node_id) {
  std::lock_guard<std::mutex> lk(mtx_);
  nodes_.erase(node_id & 0x7F);
}

tovak::msgs::ErrorCode SimCanbus::deliver_(const CanFrame& in) {
  if (in.len > 8) return tovak::msgs::CAN_CLIENT_ERROR_SEND_FAILED;
  CanFrame frame = in;
  frame.timestamp = nowTimeval();
  std::shared_ptr<CanNode> node;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!is_started_) return tovak::msgs::CAN_CLIENT_ERROR_SEND_FAILED;
    ++stats_.sent;
    auto it = nodes_.find(static_cast<uint8_t>(frame.id & 0x7F));
    if (it != nodes_.end()) node = it->second.lock();
    if (node) ++stats_.delivered;
  }
  // Outside the bus lock: the node answers by posting, which takes it again.
  if (node) node->onCanFrame(frame);
  return tovak::msgs::OK;
}

tovak::msgs::ErrorCode SimCanbus::send(const std::vector<CanFrame>& frames, int32_t* frame_num) {
  if (!frame_num || *frame_num < 0 || static_cast<size_t>(*frame_num) > frames.size()) {
    if (frame_num) *frame_num = 0;
    return tovak::msgs::CAN_CLIENT_ERROR_FRAME_NUM;
  }
  const int32_t wanted = *frame_num;
  *frame_num = 0;
  for (int32_t i = 0; i < wanted; ++i) {
    const auto rc = deliver_(frames[static_cast<size_t>(i)]);
    if (rc != tovak::msgs::OK) return rc;
    ++*frame_num;
  }
  return tovak::msgs::OK;
}

tovak::msgs::ErrorCode SimCanbus::sendSingleFrame(const std::vector<CanFrame>& frames) {
  for (const auto& f : frames) {
    const auto rc = deliver_(f);
    if (rc != tovak::msgs::OK) return rc;
  }
  return tovak::msgs::OK;
}

tovak::msgs::ErrorCode SimCanbus::receive(std::vector<CanFrame>* frames, int32_t* frame_num) {
  if (!frames || !frame_num) return tovak::msgs::CAN_CLIENT_ERROR_FRAME_NUM;
  std::lock_guard<std::mutex> lk(mtx_);
  if (!is_started_) {
    *frame_num = 0;
    return tovak::msgs::CAN_CLIENT_ERROR_RECV_FAILED;
  }
  size_t n = rx_.size();
  if (*frame_num > 0 && static_cast<size_t>(*frame_num) < n) n = static_cast<size_t>(*frame_num);
  frames->insert(frames->end(), rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n));
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n));
  stats_.received += n;
  *frame_num = static_cast<int32_t>(n);
  return tovak::msgs::OK;
}

void SimCanbus::post(const CanFrame& in) {
  CanFrame frame = in;
  frame.timestamp = nowTimeval();
  std::lock_guard<std::mutex> lk(mtx_);
  if (!is_started_) {
    ++stats_.dropped;
    return;
  }
  ++stats_.posted;
  if (rx_.size() >= kRxCapacity) {
    rx_.pop_front();
    ++stats_.dropped;
  }
  rx_.push_back(frame);
}

std::string SimCanbus::getErrorString(int32_t status) {
  switch (status) {
    case tovak::msgs::OK:
      return "ok";
    case tovak::msgs::CAN_CLIENT_ERROR_FRAME_NUM:
      return "canbus " + name_ + ": frame count out of range";
    case tovak::msgs::CAN_CLIENT_ERROR_SEND_FAILED:
      return "canbus " + name_ + ": send failed (bus stopped or frame longer than 8 bytes)";
    case tovak::msgs::CAN_CLIENT_ERROR_RECV_FAILED:
      return "canbus " + name_ + ": receive failed (bus stopped)";
    case tovak::msgs::CAN_CLIENT_ERROR_OPEN_DEVICE_FAILED:
      return "canbus " + name_ + ": device could not be opened";
    default:
      return "canbus " + name_ + ": error " + std::to_string(status);
  }
}

}  // namespace tovak::device
