#pragma once

// The face-pose stream's loop, written against any reader-writer with
// bool Read(Request*) and bool Write(const Feedback&), so that it can run on a
// gRPC stream and, in tests, on an in-memory one where ThreadSanitizer sees
// every synchronisation.

#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include <glog/logging.h>

#include "device_manager/include/device_manager.h"
#include "service/grpc/include/grpc_handler.h"
#include "service/grpc/include/head_conversions.h"
#include "tovak/api/biohead_command.pb.h"

namespace tovak::service {

// The head's controller takes at most 10 poses per second.
inline constexpr std::chrono::milliseconds kHeadMinFrameInterval{100};

// Runs one StreamExpression call until the client closes or cancels
// (`cancelled()`), a write fails, an emergency stop is seen, or an error ends
// it with one error feedback.
template <class Stream, class Cancelled>
void runExpressionStream(tovak::device::DeviceManager& dmgr, Stream& stream, Cancelled&& cancelled) {
  using Clock = std::chrono::steady_clock;
  tovak::api::StreamFacialExpression_Feedback feedback;
  std::string id;
  std::shared_ptr<tovak::device::AbstractBiohead> head;
  bool first = true;
  Clock::time_point last_applied = Clock::now();

  // The write's outcome does not matter: the stream is over either way.
  auto fail = [&](const std::string& what) {
    LOG(ERROR) << "StreamExpression error: " << what;
    auto* header = feedback.mutable_header();
    header->set_success(false);
    header->set_error_message(what);
    setCurrentTimestamp(header->mutable_timestamp());
    stream.Write(feedback);
  };

  LOG(INFO) << "StreamExpression started.";
  try {
    tovak::api::StreamFacialExpression_Request request;
    // A cancelled call ends the stream even while every frame it still
    // delivers would be dropped by the rate limit.
    while (stream.Read(&request) && !cancelled()) {
      if (first) {
        id = request.header().device_id();
        if (id.empty()) throw std::runtime_error("Device ID is empty in first message");
        head = dmgr.getDevice<tovak::device::AbstractBiohead>(id);
        if (!head) throw std::runtime_error("Biohead device not found: " + id);
        head->emergency_stop_requested = false;
        first = false;
      }
      if (head->emergency_stop_requested) {
        LOG(WARNING) << "[Stream] Emergency stop requested. Terminating stream for device: " << id;
        break;
      }
      const Clock::time_point now = Clock::now();
      if (std::chrono::duration_cast<std::chrono::milliseconds>(now - last_applied) < kHeadMinFrameInterval) continue;

      tovak::device::FacialExpressionState frame = streamFrameToPose(request.expr());
      head->streamFacialPose(frame, 0.0, 0.0);
      last_applied = now;

      auto* header = feedback.mutable_header();
      header->set_success(true);
      header->clear_error_message();
      setCurrentTimestamp(header->mutable_timestamp());
      if (!stream.Write(feedback)) break;
    }
    LOG(INFO) << "StreamExpression finished for device: " << id;
  } catch (const std::exception& e) {
    fail(e.what());
  } catch (...) {
    fail(kUnknownError);
  }
}

}  // namespace tovak::service
