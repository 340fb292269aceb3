#pragma once

// The two ways a face message becomes a head pose. They differ on purpose and
// clients depend on both: SetExpression updates 16 fields of the head's own
// pose; a stream frame is a complete pose of its own.

#include "devices/biohead/abstract_biohead.h"
#include "tovak/api/biohead_command.pb.h"

namespace tovak::service {

// Writes the 16 fields SetExpression drives (eyebrows, eyelids, eyeballs,
// nose, upper and lower lip height) into `pose`; the lip corners, lip x/z
// and jaw keep what `pose` held.
void applySetExpression(const tovak::api::FacialExpression& expression, tovak::device::FacialExpressionState& pose);

// A zero-filled pose with the 22 fields a stream frame drives. The eyeballs'
// x values are not used; on the right lip, corner_y drives the lower lip and
// lower_y the corner.
tovak::device::FacialExpressionState streamFrameToPose(const tovak::api::FacialExpression& expr);

}  // namespace tovak::service
