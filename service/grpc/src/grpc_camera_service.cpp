#include "service/grpc/include/grpc_camera_service.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <glog/logging.h>

#include "service/grpc/include/camera_conversions.h"
#include "service/grpc/include/grpc_handler.h"
#include "utils/base/include/grpc_utils.h"

namespace tovak::service {

using tovak::device::AbstractCamera;
using tovak::device::CameraState;
using tovak::device::Rs2Intrinsics;
using tovak::device::StreamFrameData;
namespace api = tovak::api;

namespace {

constexpr const char* kClass = "gRPCCameraServiceImpl";

// Fills one stream frame from the camera's encoded bytes.
void fillStreamFrame(const std::vector<uint8_t>& bytes, bool key, const StreamFrameData& fd, api::FrameData* out) {
  out->set_data(bytes.data(), bytes.size());
  out->set_is_key_frame(key);
  out->set_codec(fd.codec);
  out->set_width(fd.width);
  out->set_height(fd.height);
}

// The three image streams: one request, then one feedback per frame set the
// camera delivers, until the call is cancelled, a write fails, or one error
// feedback. `fill` copies the stream's frame(s); `pause` follows every pass.
template <class Response, class Request, class Fill>
grpc::Status runImageStream(tovak::device::DeviceManager& dmgr, const char* rpc, grpc::ServerContext* context,
                            grpc::ServerReaderWriter<Response, Request>* stream, Fill fill,
                            std::chrono::milliseconds pause) {
  std::shared_ptr<AbstractCamera> dev;
  bool streaming = false;  // startStreaming succeeded and stopStreaming is still owed
  auto fail = [&](const std::string& text) {
    if (streaming) {
      // A stream that ends on an error still releases the camera's encoder,
      // once; the error it reports is the one that ended it.
      streaming = false;
      try {
        dev->stopStreaming();
      } catch (...) {
      }
    }
    Response response;
    response.mutable_header()->set_error_message(text);
    setCurrentTimestamp(response.mutable_header()->mutable_timestamp());
    stream->Write(response);
    return grpc::Status::OK;
  };
  try {
    Request request;
    stream->Read(&request);
    const std::string dev_id = request.header().device_id();
    LOG(INFO) << "[" << kClass << "] (" << rpc << "): start,id=" << dev_id;
    dev = dmgr.getDevice<AbstractCamera>(dev_id);
    int nFrameCount = 0;
    dev->startStreaming();
    streaming = true;
    size_t index = 0;
    while (true) {
      if (context->IsCancelled()) {
        LOG(INFO) << "[" << kClass << "](" << rpc << ") context is cancelled,id=" << dev_id;
        break;
      }
      Response response;
      StreamFrameData frame_data;
      dev->getEncodedFrame(frame_data, index);
      if (!frame_data.rgbFrame.empty()) {
        response.mutable_header()->set_success(true);
        fill(frame_data, response);
        copyIntrinsics(frame_data.intrinsics, response.mutable_intrinsics());
        response.set_seq_no(nFrameCount++);
        if (!stream->Write(response)) {
          LOG(INFO) << "[" << kClass << "] (stream->Write) failed,id=" << dev_id;
          break;
        }
      }
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
    }
    LOG(INFO) << "[" << kClass << "] (" << rpc << "): end,id=" << dev_id;
    streaming = false;  // a throwing stopStreaming is not called a second time
    dev->stopStreaming();
    return grpc::Status::OK;
  } catch (const std::exception& e) {
    return fail(e.what());
  } catch (...) {
    return fail(kUnknownError);
  }
}

}  // namespace

gRPCCameraServiceImpl::gRPCCameraServiceImpl() : dmgr_(tovak::device::DeviceManager::getInstance()) {}

grpc::Status gRPCCameraServiceImpl::GetStatus(grpc::ServerContext*, const api::GetCameraStateCommand_Request* request,
                                              api::GetCameraStateCommand_Feedback* response) {
  return handleDeviceCall<AbstractCamera>(dmgr_, kClass, "GetStatus", request->header().device_id(), response,
                                          [&](AbstractCamera& cam) {
                                            CameraState state{};
                                            cam.getState(state);
                                            copyCameraState(state, response->mutable_state());
                                          });
}

grpc::Status gRPCCameraServiceImpl::StartCamera(grpc::ServerContext*, const api::StartCameraCommand_Request* request,
                                                api::StartCameraCommand_Feedback* response) {
  return handleDeviceCall<AbstractCamera>(dmgr_, kClass, "StartCamera", request->header().device_id(), response,
                                          [&](AbstractCamera& cam) { cam.start(); });
}

grpc::Status gRPCCameraServiceImpl::StopCamera(grpc::ServerContext*, const api::StopCameraCommand_Request* request,
                                               api::StopCameraCommand_Feedback* response) {
  return handleDeviceCall<AbstractCamera>(dmgr_, kClass, "StopCamera", request->header().device_id(), response,
                                          [&](AbstractCamera& cam) { cam.stop(); });
}

grpc::Status gRPCCameraServiceImpl::GetRGBImage(grpc::ServerContext*, const api::GetRGBImageCommand_Request* request,
                                                api::GetRGBImageCommand_Feedback* response) {
  return handleDeviceCall<AbstractCamera>(dmgr_, kClass, "GetRGBImage", request->header().device_id(), response,
                                          [&](AbstractCamera& cam) {
                                            cv::Mat image;
                                            Rs2Intrinsics intrinsics{};
                                            cam.getRGBImage(image, intrinsics);
                                            // Intrinsics first: they stay in the response if the image is refused.
                                            copyIntrinsics(intrinsics, response->mutable_intrinsics());
                                            auto color_frame = toFrameData(image, ImageTable::kColor);
        *response->mutable_color_frame() = std::move(color_frame);
                                          });
}

grpc::Status gRPCCameraServiceImpl::GetDepthImage(grpc::ServerContext*,
                                                  const api::GetDepthImageCommand_Request* request,
                                                  api::GetDepthImageCommand_Feedback* response) {
  return handleDeviceCall<AbstractCamera>(dmgr_, kClass, "GetDepthImage", request->header().device_id(), response,
                                          [&](AbstractCamera& cam) {
                                            cv::Mat image;
                                            Rs2Intrinsics intrinsics{};
                                            cam.getDepthImage(image, intrinsics);
                                            copyIntrinsics(intrinsics, response->mutable_intrinsics());
                                            auto depth_frame = toFrameData(image, ImageTable::kDepth);
        *response->mutable_depth_frame() = std::move(depth_frame);
                                          });
}

grpc::Status gRPCCameraServiceImpl::GetRGBDImages(grpc::ServerContext*,
                                                  const api::GetRGBDImagesCommand_Request* request,
                                                  api::GetRGBDImagesCommand_Feedback* response) {
  return handleDeviceCall<AbstractCamera>(
      dmgr_, kClass, "GetRGBDImages", request->header().device_id(), response, [&](AbstractCamera& cam) {
        cv::Mat color_image;
        cv::Mat depth_image;
        Rs2Intrinsics intrinsics{};
        cam.getRGBDImages(color_image, depth_image, intrinsics);
        copyIntrinsics(intrinsics, response->mutable_intrinsics());
        auto color_frame = toFrameData(color_image, ImageTable::kRgbdColor);
        *response->mutable_color_frame() = std::move(color_frame);
        auto depth_frame = toFrameData(depth_image, ImageTable::kDepthLenient);
        *response->mutable_depth_frame() = std::move(depth_frame);
      });
}

grpc::Status gRPCCameraServiceImpl::StartRecording(grpc::ServerContext*,
                                                   const api::StartCameraRecordingCommand_Request* request,
                                                   api::StartCameraRecordingCommand_Feedback* response) {
  return handleDeviceCall<AbstractCamera>(dmgr_, kClass, "StartRecording", request->header().device_id(), response,
                                          [&](AbstractCamera& cam) { cam.startRecording(request->video_path()); });
}

grpc::Status gRPCCameraServiceImpl::StopRecording(grpc::ServerContext*,
                                                  const api::StopCameraRecordingCommand_Request* request,
                                                  api::StopCameraRecordingCommand_Feedback* response) {
  return handleDeviceCall<AbstractCamera>(dmgr_, kClass, "StopRecording", request->header().device_id(), response,
                                          [&](AbstractCamera& cam) { cam.stopRecording(); });
}

grpc::Status gRPCCameraServiceImpl::GetRGBImageStream(
    grpc::ServerContext* context,
    grpc::ServerReaderWriter<api::GetRGBImageStreamCommand_Feedback, api::GetRGBImageStreamCommand_Request>* stream) {
  return runImageStream(
      dmgr_, "GetRGBImageStream", context, stream,
      [](const StreamFrameData& fd, api::GetRGBImageStreamCommand_Feedback& r) {
        fillStreamFrame(fd.rgbFrame, fd.bKey, fd, r.mutable_color_frame());
      },
      std::chrono::milliseconds(33));
}

grpc::Status gRPCCameraServiceImpl::GetDepthImageStream(
    grpc::ServerContext* context,
    grpc::ServerReaderWriter<api::GetDepthImageStreamCommand_Feedback, api::GetDepthImageStreamCommand_Request>*
        stream) {
  return runImageStream(
      dmgr_, "GetDepthImageStream", context, stream,
      [](const StreamFrameData& fd, api::GetDepthImageStreamCommand_Feedback& r) {
        fillStreamFrame(fd.depthFrame, fd.depthKey, fd, r.mutable_depth_frame());
      },
      std::chrono::milliseconds(0));
}

grpc::Status gRPCCameraServiceImpl::GetRGBDImagesStream(
    grpc::ServerContext* context,
    grpc::ServerReaderWriter<api::GetRGBDImagesStreamCommand_Feedback, api::GetRGBDImagesStreamCommand_Request>*
        stream) {
  return runImageStream(
      dmgr_, "GetRGBDImagesStream", context, stream,
      [](const StreamFrameData& fd, api::GetRGBDImagesStreamCommand_Feedback& r) {
        fillStreamFrame(fd.rgbFrame, fd.bKey, fd, r.mutable_color_frame());
        fillStreamFrame(fd.depthFrame, fd.depthKey, fd, r.mutable_depth_frame());
      },
      std::chrono::milliseconds(0));
}

}  // namespace tovak::service
