#pragma once

// Conversions between the hand's records (devices/dexhand) and the messages
// of DexHandService.

#include <google/protobuf/repeated_field.h>

#include <vector>

#include "devices/dexhand/abstract_dexhand.h"
#include "devices/state_define.h"
#include "tovak/api/dexhand_command.pb.h"

namespace tovak::service {

// Scale factors from the API's floats to the hand's integer units.
inline constexpr float kDexHandPositionScale = 2000.0f;
inline constexpr float kDexHandAngleScale = 1000.0f;
inline constexpr float kDexHandForceScale = 3000.0f;
inline constexpr float kDexHandSpeedScale = 1000.0f;

// Six values, one per DOF: each named DOF gets value x factor computed in
// single precision and truncated toward zero (0.7f x 1000 = 700); a DOF named
// twice takes the later value; DOFs not named are -1. Throws
// std::invalid_argument naming the first entry whose id is outside 0-5 or
// whose scaled value is not a finite number that fits an int, so that a bad
// request reaches the hand with nothing.
std::vector<int> scaleDofValues(const google::protobuf::RepeatedPtrField<tovak::api::FreedomValue>& values,
                                float factor);

// Always six FreedomState entries, dof_id 0 to 5, error texts in order.
void toProto(const tovak::device::DexHandState& state, tovak::api::DexHandState* out);

// Appends the 17 tactile parts in the API's fixed order (pinky tip, finger,
// pad; ring; middle; index; thumb tip, finger, middle, pad; palm), each with
// its stored rows, cols and name and the rows of its data as they are.
void appendSensorData(const tovak::device::HandTactileSensors& sensors,
                      google::protobuf::RepeatedPtrField<tovak::api::SensorData>* out);

}  // namespace tovak::service
