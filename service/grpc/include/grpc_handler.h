#pragma once

// The request-handling pattern shared by the services: look the device up,
// do the call's own work, fill the feedback header, catch. Each handler
// supplies only its own work as a lambda.

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <glog/logging.h>
#include <google/protobuf/util/time_util.h>
#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/common.pb.h"
#include "utils/base/include/grpc_utils.h"

namespace tovak::service {

// The feedback header of a response; calls whose response *is* the header
// (the robot's torque calls) get the message itself.
inline tovak::api::CommandHeader_Feedback* feedbackHeader(tovak::api::CommandHeader_Feedback* response) {
  return response;
}
template <class Response>
auto feedbackHeader(Response* response) -> decltype(response->mutable_header()) {
  return response->mutable_header();
}

// Text reported for a throw that is not a std::exception.
inline constexpr const char* kUnknownError = "unknown error";

struct CallOptions {
  // Write "[<class>] (<Rpc>): id=<id>" at INFO before the lookup.
  bool log = true;
  // When set, an empty device pointer after the lookup fails the call with this text.
  const char* null_device_text = nullptr;
};

// Runs `work` and reports its outcome in the response's feedback header:
// success and timestamp, or success false with the exception's text. Fields
// the work filled before a failure stay in the response. The status is OK.
template <class Response, class Work>
grpc::Status reportInHeader(Response* response, Work&& work) {
  auto* header = feedbackHeader(response);
  try {
    work();
    header->set_success(true);
    setCurrentTimestamp(header->mutable_timestamp());
  } catch (const std::exception& e) {
    header->set_success(false);
    header->set_error_message(e.what());
    setCurrentTimestamp(header->mutable_timestamp());
  } catch (...) {
    header->set_success(false);
    header->set_error_message(kUnknownError);
    setCurrentTimestamp(header->mutable_timestamp());
  }
  return grpc::Status::OK;
}

inline void logCall(std::string_view cls, std::string_view rpc, const std::string& id) {
  LOG(INFO) << "[" << cls << "] (" << rpc << "): id=" << id;
}

// The standard unary handler: `work(Device&)` does the call's own work on the
// device registered under `id` as kind `Device`.
template <class Device, class Response, class Work>
grpc::Status handleDeviceCall(tovak::device::DeviceManager& dmgr, std::string_view cls, std::string_view rpc,
                              const std::string& id, Response* response, Work&& work, CallOptions options = {}) {
  return reportInHeader(response, [&] {
    if (options.log) logCall(cls, rpc, id);
    std::shared_ptr<Device> dev = dmgr.getDevice<Device>(id);
    if (!dev) {
      throw std::runtime_error(options.null_device_text ? options.null_device_text
                                                        : "device " + id + " is not available");
    }
    work(*dev);
  });
}

// The robot's variant: no log line; a failure is reported in the header and
// as status INTERNAL with the same text; the timestamp is taken after either
// path. `work(Robot&, CommandHeader_Feedback&)` may set the header itself.
template <class Robot, class Response, class Work>
grpc::Status handleRobotCall(tovak::device::DeviceManager& dmgr, const std::string& id, Response* response,
                             Work&& work) {
  grpc::Status status = grpc::Status::OK;
  auto* header = feedbackHeader(response);
  try {
    std::shared_ptr<Robot> robot = dmgr.getDevice<Robot>(id);
    if (!robot) throw std::runtime_error("device " + id + " is not available");
    work(*robot, *header);
    header->set_success(true);
    header->set_error_message("");
  } catch (const std::exception& e) {
    header->set_success(false);
    header->set_error_message(e.what());
    status = grpc::Status(grpc::StatusCode::INTERNAL, e.what());
  } catch (...) {
    header->set_success(false);
    header->set_error_message(kUnknownError);
    status = grpc::Status(grpc::StatusCode::INTERNAL, kUnknownError);
  }
  *header->mutable_timestamp() = google::protobuf::util::TimeUtil::GetCurrentTime();
  return status;
}

}  // namespace tovak::service
