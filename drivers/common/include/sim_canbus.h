#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/canbus/abstract_canbus.h"

namespace tovak::device {

// Something attached to a CAN bus that receives the frames addressed to it.
class CanNode {
 public:
  virtual ~CanNode() = default;
  virtual void onCanFrame(const CanFrame& frame) = 0;
};

// An in-process CAN bus for one joint group: the controller's frames are
// delivered at once to the node they address (node id = low 7 bits of the
// frame id, CANopen style), and the nodes' frames wait in a receive queue
// until the controller reads them. There is no arbitration and no bit timing:
// what a real bus adds in latency the control loop's period already covers.
//
// The receive queue holds at most kRxCapacity frames; when a reader falls
// behind, the oldest frames are dropped and counted, as a controller's
// receive FIFO would.
class SimCanbus : public AbstractCanbus {
 public:
  static constexpr size_t kRxCapacity = 4096;

  struct Stats {
    uint64_t sent = 0;       // frames the controller sent
    uint64_t delivered = 0;  // of those, frames a node received
    uint64_t posted = 0;     // frames the nodes sent
    uint64_t received = 0;   // frames the controller read
    uint64_t dropped = 0;    // frames lost to a full receive queue
  };

  // `name` labels the bus in texts ("canbus left_arm").
  SimCanbus(const XmlNode& cfg, std::string name);

  void init() override;
  void start() override;
  void stop() override;

  // Controller side. *frame_num: in, how many of `frames` to send; out, how many were sent.
  tovak::msgs::ErrorCode send(const std::vector<CanFrame>& frames, int32_t* frame_num) override;
  // Sends every frame of `frames`, one transmission each.
  tovak::msgs::ErrorCode sendSingleFrame(const std::vector<CanFrame>& frames) override;
  // *frame_num: in, at most this many (<= 0: all pending); out, how many were appended to *frames.
  tovak::msgs::ErrorCode receive(std::vector<CanFrame>* frames, int32_t* frame_num) override;
  std::string getErrorString(int32_t status) override;

  // Node side.
  void attach(uint8_t node_id, std::weak_ptr<CanNode> node);
  void detach(uint8_t node_id);
  // Queues a frame for the controller. Dropped (and counted) while the bus is stopped.
  void post(const CanFrame& frame);

  bool isStarted() const;
  Stats stats() const;
  const std::string& name() const { return name_; }

 private:
  tovak::msgs::ErrorCode deliver_(const CanFrame& frame);

  const std::string name_;
  mutable std::mutex mtx_;
  std::unordered_map<uint8_t, std::weak_ptr<CanNode>> nodes_;
  std::deque<CanFrame> rx_;
  Stats stats_;
};

}  // namespace tovak::device
