#pragma once

#include <string>

#include "devices/abstract_device.h"
#include "devices/state_define.h"

namespace tovak::device {

// Records audio into files on the robot.
class AbstractMicrophone : public AbstractDevice {
 public:
  explicit AbstractMicrophone(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractMicrophone() = default;

  virtual void getState(MicrophoneState& state) = 0;
  virtual void startRecording(const std::string& path) = 0;
  virtual void stopRecording() = 0;
  virtual void pause() = 0;
  virtual void resume() = 0;
  virtual void setVolume(int volume) = 0;
  virtual int getVolume() = 0;

 protected:
  MicrophoneState state_;
};

}  // namespace tovak::device
