#pragma once

#include <string>

#include "devices/abstract_device.h"
#include "devices/state_define.h"

namespace tovak::device {

// Plays audio files that lie on the robot. Stopping playback is the
// lifecycle stop().
class AbstractSpeaker : public AbstractDevice {
 public:
  explicit AbstractSpeaker(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractSpeaker() = default;

  virtual void getState(SpeakerState& state) = 0;
  virtual void play(const std::string& path) = 0;
  virtual void setVolume(int volume) = 0;
  virtual int getVolume() = 0;
  virtual void pause() = 0;
  virtual void resume() = 0;

 protected:
  SpeakerState state_;
};

}  // namespace tovak::device
