#pragma once

#include <sys/time.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "devices/abstract_device.h"
#include "tovak/msgs/error_code.pb.h"

namespace tovak::device {

struct CanFrame {
  uint32_t id = 0;
  uint8_t len = 0;
  std::array<uint8_t, 8> data{};
  timeval timestamp{};

  CanFrame() = default;
  // "id=0x123 len=8 data=01 02 ..." for logs.
  std::string CanFrameString() const;
};

// A CAN bus client as used by motor drivers. Operations report through their
// ErrorCode result instead of throwing.
class AbstractCanbus : public AbstractDevice {
 public:
  explicit AbstractCanbus(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractCanbus() = default;

  // Sends the frames; *frame_num is in: frames to send, out: frames sent.
  virtual tovak::msgs::ErrorCode send(const std::vector<CanFrame>& frames, int32_t* frame_num) = 0;
  virtual tovak::msgs::ErrorCode sendSingleFrame(const std::vector<CanFrame>& frames) = 0;
  // Receives pending frames; *frame_num is in: at most this many, out: received.
  virtual tovak::msgs::ErrorCode receive(std::vector<CanFrame>* frames, int32_t* frame_num) = 0;
  virtual std::string getErrorString(int32_t status) = 0;

 protected:
  bool is_started_ = false;
  tovak::msgs::ErrorCode status_ = tovak::msgs::OK;
  bool enable_log_ = false;
};

}  // namespace tovak::device
