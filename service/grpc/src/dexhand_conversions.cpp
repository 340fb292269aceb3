#include "service/grpc/include/dexhand_conversions.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

namespace tovak::service {

namespace {

std::string floatText(float v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

template <class Part>
void appendPart(const Part& part, tovak::api::SensorData::FingerType finger, tovak::api::SensorData::PartType type,
                google::protobuf::RepeatedPtrField<tovak::api::SensorData>* out) {
  auto* entry = out->Add();
  entry->set_finger_type(finger);
  entry->set_part_type(type);
  entry->set_sensor_name(part.name);
  entry->set_rows(part.rows);
  entry->set_cols(part.cols);
  for (const auto& row : part.data) {
    auto* values = entry->add_data()->mutable_values();
    values->Reserve(static_cast<int>(row.size()));
    for (auto v : row) values->AddAlreadyReserved(static_cast<int32_t>(v));
  }
}

}  // namespace

std::vector<int> scaleDofValues(const google::protobuf::RepeatedPtrField<tovak::api::FreedomValue>& values,
                                float factor) {
  std::vector<int> out(6, -1);
  for (const auto& fv : values) {
    const int id = fv.id();
    if (id < 0 || id > 5) throw std::invalid_argument("DOF id " + std::to_string(id) + " is outside 0-5");
    const float value = fv.value();
    if (!std::isfinite(value)) {
      throw std::invalid_argument("value " + floatText(value) + " for DOF " + std::to_string(id) +
                                  " is not a finite number");
    }
    // Single precision on purpose: 0.7f * 1000.0f is exactly 700, where a
    // double product would truncate to 699.
    const float scaled = value * factor;
    const float whole = std::trunc(scaled);
    // 2^31 is exact in float; every float in [-2^31, 2^31) truncates into int.
    constexpr float kLimit = 2147483648.0f;
    if (!std::isfinite(scaled) || whole < -kLimit || whole >= kLimit) {
      throw std::invalid_argument("value " + floatText(value) + " for DOF " + std::to_string(id) + " times " +
                                  floatText(factor) + " does not fit an int");
    }
    out[static_cast<size_t>(id)] = static_cast<int>(whole);
  }
  return out;
}

void toProto(const tovak::device::DexHandState& state, tovak::api::DexHandState* out) {
  out->set_is_initialized(state.is_initialized);
  for (int i = 0; i < 6; ++i) {
    const auto& dof = state.hands[static_cast<size_t>(i)];
    auto* fs = out->add_hands();
    fs->set_dof_id(i);
    fs->set_angle(dof.angle);
    fs->set_current(dof.current);
    fs->set_force(dof.force);
    fs->set_position(dof.position);
    fs->set_speed(dof.speed);
    fs->set_temperature(dof.temperature);
    fs->set_error(dof.error);
    for (const auto& text : dof.error_message) fs->add_error_message(text);
  }
}

void appendSensorData(const tovak::device::HandTactileSensors& s,
                      google::protobuf::RepeatedPtrField<tovak::api::SensorData>* out) {
  using SD = tovak::api::SensorData;
  appendPart(s.pinky.tip, SD::PINKY, SD::TIP, out);
  appendPart(s.pinky.finger, SD::PINKY, SD::FINGER, out);
  appendPart(s.pinky.pad, SD::PINKY, SD::PAD, out);
  appendPart(s.ring.tip, SD::RING, SD::TIP, out);
  appendPart(s.ring.finger, SD::RING, SD::FINGER, out);
  appendPart(s.ring.pad, SD::RING, SD::PAD, out);
  appendPart(s.middle.tip, SD::MIDDLE_FINGER, SD::TIP, out);
  appendPart(s.middle.finger, SD::MIDDLE_FINGER, SD::FINGER, out);
  appendPart(s.middle.pad, SD::MIDDLE_FINGER, SD::PAD, out);
  appendPart(s.index.tip, SD::INDEX, SD::TIP, out);
  appendPart(s.index.finger, SD::INDEX, SD::FINGER, out);
  appendPart(s.index.pad, SD::INDEX, SD::PAD, out);
  appendPart(s.thumb.tip, SD::THUMB, SD::TIP, out);
  appendPart(s.thumb.finger, SD::THUMB, SD::FINGER, out);
  appendPart(s.thumb.middle, SD::THUMB, SD::THUMB_MIDDLE, out);
  appendPart(s.thumb.pad, SD::THUMB, SD::PAD, out);
  appendPart(s.palm, SD::PALM, SD::PALM_PAD, out);
}

}  // namespace tovak::service
