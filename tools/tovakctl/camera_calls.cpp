#include <cstdio>
#include <fstream>
#include <iostream>

#include <opencv2/core.hpp>

#include "calls.h"
#include "image_io.h"
#include "tovak/api/camera_service.grpc.pb.h"

namespace tovakctl {

namespace api = tovak::api;
using Clock = std::chrono::steady_clock;

namespace {

std::string intrinsicsText(const api::CameraIntrinsics& k) {
  std::string c;
  for (int i = 0; i < k.coeffs_size(); ++i) c += (i ? ", " : "") + fmt("%g", k.coeffs(i));
  return fmt("fx %.2f  fy %.2f  cx %.2f  cy %.2f px  coeffs [", k.fx(), k.fy(), k.cx(), k.cy()) + c + "]";
}

std::string valueRange(const cv::Mat& m) {
  if (m.empty() || m.channels() != 1) return "";
  cv::Mat f;
  m.convertTo(f, CV_64F);
  double lo = 0, hi = 0;
  cv::minMaxLoc(f, &lo, &hi);
  const int zeros = static_cast<int>(m.total()) - cv::countNonZero(f);
  return fmt("%g..%g", lo, hi) + (zeros ? fmt(", %d zero", zeros) : "");
}

// One image of a response: checked, described, and written when asked for.
void imageRow(Table& t, const std::string& label, const api::FrameData& f, const std::string& path, bool swap_rb) {
  const cv::Mat m = toMat(f);
  if (!path.empty()) writeImage(path, m, swap_rb);
  t.row({label, fmt("%dx%d", f.width(), f.height()), frameTypeText(f.type()), humanBytes(static_cast<double>(f.data().size())),
         valueRange(m), path.empty() ? "-" : path});
}

// In JSON the pixel bytes would be megabytes of base64; -o carries them.
template <class Resp>
void printJsonWithoutPixels(Resp r) {
  if constexpr (requires { r.mutable_color_frame(); }) r.mutable_color_frame()->clear_data();
  if constexpr (requires { r.mutable_depth_frame(); }) r.mutable_depth_frame()->clear_data();
  printJson(r);
}

template <class Resp>
void checkHeaderJson(Context& ctx, const std::string& rpc, const Resp& r) {
  if (ctx.json) printJsonWithoutPixels(r);
  if (!r.header().success()) throw CallFailed(rpc + " failed: " + r.header().error_message());
}

void imageCall(Context& ctx, const Args& a, const std::string& kind) {
  const std::string id = a.need(0, "<device-id>");
  a.atMost(1);
  const std::string out = a.get("o").value_or("");
  const bool swap = a.has("swap-rb");
  api::CameraService::Stub stub(ctx.channel());
  grpc::ClientContext c;
  ctx.prepare(c);
  Table t({"IMAGE", "SIZE", "TYPE", "BYTES", "VALUES", "FILE"}, {false, true, false, true, false, false});
  api::CameraIntrinsics k;
  if (kind == "rgb") {
    api::GetRGBImageCommand_Request req;
    req.mutable_header()->set_device_id(id);
    api::GetRGBImageCommand_Feedback r;
    checkStatus(stub.GetRGBImage(&c, req, &r), "GetRGBImage");
    checkHeaderJson(ctx, "GetRGBImage", r);
    imageRow(t, "colour", r.color_frame(), out, swap);
    k = r.intrinsics();
  } else if (kind == "depth") {
    api::GetDepthImageCommand_Request req;
    req.mutable_header()->set_device_id(id);
    api::GetDepthImageCommand_Feedback r;
    checkStatus(stub.GetDepthImage(&c, req, &r), "GetDepthImage");
    checkHeaderJson(ctx, "GetDepthImage", r);
    imageRow(t, "depth", r.depth_frame(), out, false);
    k = r.intrinsics();
  } else {
    api::GetRGBDImagesCommand_Request req;
    req.mutable_header()->set_device_id(id);
    api::GetRGBDImagesCommand_Feedback r;
    checkStatus(stub.GetRGBDImages(&c, req, &r), "GetRGBDImages");
    checkHeaderJson(ctx, "GetRGBDImages", r);
    imageRow(t, "colour", r.color_frame(), out, swap);
    imageRow(t, "depth", r.depth_frame(), out.empty() ? "" : siblingPath(out, "depth"), false);
    k = r.intrinsics();
  }
  if (ctx.json) return;
  t.print(std::cout);
  std::cout << "intrinsics  " << intrinsicsText(k) << '\n';
}

// Frame statistics of a stream, printed live on a terminal and as a summary.
struct StreamStats {
  long frames = 0, keys = 0, dropped = 0, bytes = 0, skipped_before_key = 0;
  int next_seq = 0;
  int width = 0, height = 0;
  std::string codec;
  Clock::time_point start = Clock::now();
  Clock::time_point last_print{};

  double seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
  std::string line() const {
    const double s = std::max(seconds(), 1e-3);
    return fmt("%ld frames  %.1f fps  %.0f kbit/s  %ld key  %ld dropped  %.1f s", frames, frames / s,
               bytes * 8.0 / 1000.0 / s, keys, dropped, seconds());
  }
};

template <class Resp, class Req, class Open, class Frames>
void streamCall(Context& ctx, const Args& a, const std::string& rpc, Open open, Frames frames) {
  const std::string id = a.need(1, "<device-id>");
  a.atMost(2);
  const std::string out = a.get("o").value_or("");
  const long max_frames = a.getInt("frames", 0);
  const double max_seconds = a.getDouble("seconds", 0);
  if (a.has("frames") && max_frames <= 0) throw UsageError("--frames must be at least 1");
  if (a.has("seconds") && max_seconds <= 0) throw UsageError("--seconds must be more than 0");
  if (a.has("frames") && a.has("seconds")) throw UsageError("give --frames or --seconds, not both");

  // One output per encoded frame of the response (colour, then depth).
  std::vector<std::string> paths;
  std::vector<std::ofstream> files;
  if (!out.empty()) {
    Resp probe;
    const size_t n = frames(probe).size();
    for (size_t i = 0; i < n; ++i) {
      paths.push_back(i == 0 ? out : siblingPath(out, "depth"));
      files.emplace_back(paths.back(), std::ios::binary | std::ios::trunc);
      if (!files.back()) throw LocalError("cannot write " + paths.back());
    }
  }

  auto channel = ctx.channel();
  api::CameraService::Stub stub(channel);
  grpc::ClientContext c;
  auto stream = open(stub, c);
  const auto deadline = max_seconds > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                              std::chrono::duration<double>(max_seconds))
                                        : Clock::time_point::max();
  Interrupt stop([&c] { c.TryCancel(); }, deadline);
  Req req;
  req.mutable_header()->set_device_id(id);
  stream->Write(req);
  stream->WritesDone();

  const bool live = isTerminal(2) && !ctx.json;
  StreamStats st;
  std::string error;
  bool key_seen = false;
  Resp r;
  while (stream->Read(&r)) {
    if (!r.header().success()) {
      error = r.header().error_message();
      if (ctx.json) printJsonWithoutPixels(r);
      break;
    }
    const auto fs = frames(r);
    if (r.seq_no() > st.next_seq) st.dropped += r.seq_no() - st.next_seq;
    st.next_seq = r.seq_no() + 1;
    // A decoder needs the parameter sets of a key frame first.
    if (!key_seen && !fs[0]->is_key_frame()) {
      ++st.skipped_before_key;
      continue;
    }
    key_seen = true;
    ++st.frames;
    if (fs[0]->is_key_frame()) ++st.keys;
    st.width = fs[0]->width();
    st.height = fs[0]->height();
    st.codec = fs[0]->codec();
    for (size_t i = 0; i < fs.size(); ++i) {
      st.bytes += static_cast<long>(fs[i]->data().size());
      if (i < files.size()) files[i].write(fs[i]->data().data(), static_cast<std::streamsize>(fs[i]->data().size()));
    }
    if (ctx.json) printJsonWithoutPixels(r);
    if (live && Clock::now() - st.last_print > std::chrono::milliseconds(250)) {
      st.last_print = Clock::now();
      std::cerr << "\r\x1b[K" << st.line() << std::flush;
    }
    if (max_frames > 0 && st.frames >= max_frames) {
      stop.cancelNow();
      break;
    }
  }
  if (stop.cancelled()) {
    while (stream->Read(&r)) {
    }
  }
  const grpc::Status status = stream->Finish();
  if (live) std::cerr << "\r\x1b[K";
  for (size_t i = 0; i < files.size(); ++i) {
    files[i].flush();
    if (!files[i]) throw LocalError("writing " + paths[i] + " failed");
  }
  if (!error.empty()) throw CallFailed(rpc + " failed: " + error);
  checkStatus(status, rpc, stop.cancelled());

  const std::string why = stop.interrupted() ? " (interrupted)" : "";
  std::string summary = fmt("%s: %ld frames of %dx%d %s in %.1f s, %.1f fps, %.0f kbit/s, %ld key, %ld dropped%s",
                            rpc.c_str(), st.frames, st.width, st.height, st.codec.c_str(), st.seconds(),
                            st.frames / std::max(st.seconds(), 1e-3), st.bytes * 8.0 / 1000.0 / std::max(st.seconds(), 1e-3),
                            st.keys, st.dropped, why.c_str());
  if (st.skipped_before_key) summary += fmt(", %ld skipped before the first key frame", st.skipped_before_key);
  std::cerr << summary << '\n';
  for (const auto& p : paths) std::cerr << "wrote " << p << '\n';
  // The server ends a healthy stream only when the client cancels it.
  if (!stop.cancelled()) throw CallFailed(rpc + fmt(" ended by the server after %ld frames", st.frames));
}

void streamDispatch(Context& ctx, const Args& a) {
  const std::string kind = lower(a.need(0, "rgb, depth or rgbd"));
  if (kind == "rgb") {
    using Resp = api::GetRGBImageStreamCommand_Feedback;
    streamCall<Resp, api::GetRGBImageStreamCommand_Request>(
        ctx, a, "GetRGBImageStream", [](auto& stub, auto& c) { return stub.GetRGBImageStream(&c); },
        [](const Resp& r) { return std::vector<const api::FrameData*>{&r.color_frame()}; });
  } else if (kind == "depth") {
    using Resp = api::GetDepthImageStreamCommand_Feedback;
    streamCall<Resp, api::GetDepthImageStreamCommand_Request>(
        ctx, a, "GetDepthImageStream", [](auto& stub, auto& c) { return stub.GetDepthImageStream(&c); },
        [](const Resp& r) { return std::vector<const api::FrameData*>{&r.depth_frame()}; });
  } else if (kind == "rgbd") {
    using Resp = api::GetRGBDImagesStreamCommand_Feedback;
    streamCall<Resp, api::GetRGBDImagesStreamCommand_Request>(
        ctx, a, "GetRGBDImagesStream", [](auto& stub, auto& c) { return stub.GetRGBDImagesStream(&c); },
        [](const Resp& r) { return std::vector<const api::FrameData*>{&r.color_frame(), &r.depth_frame()}; });
  } else {
    throw UsageError("'" + kind + "' is not rgb, depth or rgbd");
  }
}

template <class Req, class Resp, class Rpc>
void simpleCall(Context& ctx, const Args& a, const std::string& rpc, Rpc fn, const std::string& done) {
  Req req;
  req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
  a.atMost(1);
  api::CameraService::Stub stub(ctx.channel());
  Resp r;
  if (unary(ctx, rpc, r, [&](auto* c, auto* o) { return fn(stub, c, req, o); })) printOk(ctx, done);
}

}  // namespace

Service cameraService() {
  Service s{"camera", {"cam"}, "colour and depth cameras: state, images, recording, H.264 streams", {}};
  s.calls.push_back(Call{
      "status", "GetStatus", "<device-id>", "state of the camera (opened, streaming, recording, size, fps)", "",
      "tovakctl camera status head_camera", {}, [](Context& ctx, const Args& a) {
        api::GetCameraStateCommand_Request req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        a.atMost(1);
        api::CameraService::Stub stub(ctx.channel());
        api::GetCameraStateCommand_Feedback r;
        if (!unary(ctx, "GetStatus", r, [&](auto* c, auto* o) { return stub.GetStatus(c, req, o); })) return;
        const auto& st = r.state();
        auto yn = [](bool b) { return std::string(b ? "yes" : "no"); };
        Table t({"FIELD", "VALUE"});
        t.row({"initialized", yn(st.is_initialized())});
        t.row({"opened", yn(st.is_opened())});
        t.row({"streaming", yn(st.is_streaming())});
        t.row({"recording", yn(st.is_recording())});
        t.row({"error", yn(st.is_error()) + (st.error_message().empty() ? "" : ": " + st.error_message())});
        t.row({"size", fmt("%dx%d px", st.width(), st.height())});
        t.row({"rate", fmt("%d fps", st.fps())});
        t.print(std::cout);
      }});
  s.calls.push_back(Call{"start", "StartCamera", "<device-id>", "starts the camera (needed before images and streams)",
                         "", "tovakctl camera start head_camera", {}, [](Context& ctx, const Args& a) {
                           simpleCall<api::StartCameraCommand_Request, api::StartCameraCommand_Feedback>(
                               ctx, a, "StartCamera",
                               [](auto& st, auto* c, auto& q, auto* o) { return st.StartCamera(c, q, o); },
                               "ok: camera started");
                         }});
  s.calls.push_back(Call{"stop", "StopCamera", "<device-id>", "stops the camera", "", "tovakctl camera stop head_camera",
                         {}, [](Context& ctx, const Args& a) {
                           simpleCall<api::StopCameraCommand_Request, api::StopCameraCommand_Feedback>(
                               ctx, a, "StopCamera",
                               [](auto& st, auto* c, auto& q, auto* o) { return st.StopCamera(c, q, o); },
                               "ok: camera stopped");
                         }});
  const std::vector<OptionDef> image_opts = {
      outputOpt("write the image to FILE (format from the extension: .png keeps 16-bit depth; float depth needs "
                ".tiff or .pfm)"),
      {"swap-rb", "", "exchange red and blue before writing (for cameras that send R,G,B order)"}};
  s.calls.push_back(Call{"rgb", "GetRGBImage", "<device-id> [-o FILE]",
                         "one colour image: prints size, type and intrinsics, and writes it with -o", "",
                         "tovakctl camera rgb head_camera -o colour.png", image_opts,
                         [](Context& ctx, const Args& a) { imageCall(ctx, a, "rgb"); }});
  s.calls.push_back(Call{"depth", "GetDepthImage", "<device-id> [-o FILE]",
                         "one depth image: prints size, type, value range and intrinsics; -o writes it",
                         "A U16C1 depth image is written as a 16-bit PNG: each pixel holds the camera's\n"
                         "raw depth value (millimetres on the simulated depth camera).",
                         "tovakctl camera depth chest_camera -o depth.png", image_opts,
                         [](Context& ctx, const Args& a) { imageCall(ctx, a, "depth"); }});
  s.calls.push_back(Call{"rgbd", "GetRGBDImages", "<device-id> [-o FILE]",
                         "a colour and a depth image taken together; -o FILE writes FILE and FILE-depth",
                         "With -o rgbd.png the colour image goes to rgbd.png, the depth image to\nrgbd-depth.png.",
                         "tovakctl camera rgbd chest_camera -o rgbd.png", image_opts,
                         [](Context& ctx, const Args& a) { imageCall(ctx, a, "rgbd"); }});
  s.calls.push_back(Call{
      "start-recording", "StartRecording", "<device-id> VIDEO_PATH",
      "records to a video file on the robot (container from the extension)", "",
      "tovakctl camera start-recording head_camera /tmp/clip.mp4", {}, [](Context& ctx, const Args& a) {
        api::StartCameraRecordingCommand_Request req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        req.set_video_path(a.need(1, "VIDEO_PATH"));
        a.atMost(2);
        api::CameraService::Stub stub(ctx.channel());
        api::StartCameraRecordingCommand_Feedback r;
        if (unary(ctx, "StartRecording", r, [&](auto* c, auto* o) { return stub.StartRecording(c, req, o); }))
          printOk(ctx, "ok: recording to " + req.video_path() + " on the robot");
      }});
  s.calls.push_back(Call{"stop-recording", "StopRecording", "<device-id>", "stops the recording and closes the file",
                         "", "tovakctl camera stop-recording head_camera", {}, [](Context& ctx, const Args& a) {
                           simpleCall<api::StopCameraRecordingCommand_Request, api::StopCameraRecordingCommand_Feedback>(
                               ctx, a, "StopRecording",
                               [](auto& st, auto* c, auto& q, auto* o) { return st.StopRecording(c, q, o); },
                               "ok: recording stopped");
                         }});
  s.calls.push_back(Call{
      "stream", "GetRGBImageStream", "rgb|depth|rgbd <device-id> [-o FILE] [--frames N | --seconds S]",
      "receives the H.264 stream; -o writes it as a raw .h264 file that ffplay plays",
      "Without --frames or --seconds the stream runs until Ctrl-C, which ends it\n"
      "cleanly (the file stays playable). On a terminal a progress line shows frames,\n"
      "rate, bit rate, key frames and dropped sequence numbers; the summary goes to\n"
      "standard error. rgbd writes the depth stream to FILE-depth (.h264 -> -depth.h264).\n"
      "The camera must be started first. Calls GetRGBImageStream, GetDepthImageStream\n"
      "or GetRGBDImagesStream.",
      "tovakctl camera stream rgb head_camera -o clip.h264 --seconds 5",
      {outputOpt("write the encoded frames to FILE (H.264 Annex B)"),
       {"frames", "N", "stop after N frames"},
       {"seconds", "S", "stop after S seconds"}},
      streamDispatch});
  return s;
}

}  // namespace tovakctl
