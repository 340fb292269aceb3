// Prints what the simulated cameras cost: scene rendering and H.264 encoding
// per frame, and the frame rate, bit rate and CPU use of colour streams at
// 640x480@30 through a real gRPC channel, with 1 and 3 streams open.
//
//   camera_bench [seconds per stream measurement, default 5]

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "device_manager/include/device_manager.h"
#include "drivers/camera_sim/include/depth_video.h"
#include "drivers/camera_sim/include/h264_encoder.h"
#include "drivers/camera_sim/include/scene_renderer.h"
#include "drivers/realsense_camera/include/realsense_camera.h"
#include "drivers/uvc_camera/include/uvc_camera.h"
#include "service/grpc/include/grpc_camera_service.h"
#include "tests/support/grpc_test_utils.h"
#include "tovak/api/camera_service.grpc.pb.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace sim = tovak::device::sim;
namespace api = tovak::api;

// CPU time of the calling thread: per-frame costs stay meaningful on a busy machine.
double threadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

double cpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec * 1e-6;
}

struct Stats {
  double mean_ms, p95_ms;
};
Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  double sum = 0;
  for (double x : v) sum += x;
  return {sum / v.size(), v[v.size() * 95 / 100]};
}

void benchFrames() {
  const int w = 640, h = 480, n = 150;
  sim::SceneRenderer scene(w, h, sim::pinholeIntrinsics(w, h, 69.0));
  sim::H264Encoder::Options opt;
  sim::H264Encoder color_enc(opt);
  opt.crf = 12;
  sim::H264Encoder depth_enc(opt);
  std::vector<double> render_ms, color_ms, depth_ms;
  size_t color_bytes = 0, depth_bytes = 0;
  std::vector<uint8_t> out;
  for (int i = 0; i < n; ++i) {
    cv::Mat color, depth;
    const double t0 = threadCpuMs();
    scene.render(i / 30.0, color, &depth);
    const double t1 = threadCpuMs();
    color_enc.encodeToBytes(color, false, out);
    color_bytes += out.size();
    const double t2 = threadCpuMs();
    depth_enc.encodeToBytes(sim::depthToLuma(depth), false, out);
    depth_bytes += out.size();
    const double t3 = threadCpuMs();
    render_ms.push_back(t1 - t0);
    color_ms.push_back(t2 - t1);
    depth_ms.push_back(t3 - t2);
  }
  auto r = stats(render_ms), c = stats(color_ms), d = stats(depth_ms);
  std::printf("CPU time per frame at %dx%d (%d frames, one thread)\n", w, h, n);
  std::printf("  render colour+depth      mean %6.2f ms  p95 %6.2f ms\n", r.mean_ms, r.p95_ms);
  std::printf("  encode colour (crf 23)   mean %6.2f ms  p95 %6.2f ms  %6.0f kbit/s at 30 fps\n", c.mean_ms, c.p95_ms,
              color_bytes * 8.0 / n * 30 / 1000);
  std::printf("  encode depth (crf 12)    mean %6.2f ms  p95 %6.2f ms  %6.0f kbit/s at 30 fps\n", d.mean_ms, d.p95_ms,
              depth_bytes * 8.0 / n * 30 / 1000);
}

void benchStreams(api::CameraService::Stub& stub, const std::string& id, int streams, double seconds) {
  std::atomic<long> frames{0}, bytes{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const double cpu0 = cpuSeconds();
  const auto t0 = Clock::now();
  for (int s = 0; s < streams; ++s) {
    threads.emplace_back([&] {
      grpc::ClientContext ctx;
      auto rw = stub.GetRGBImageStream(&ctx);
      api::GetRGBImageStreamCommand_Request req;
      req.mutable_header()->set_device_id(id);
      rw->Write(req);
      api::GetRGBImageStreamCommand_Feedback f;
      while (!stop && rw->Read(&f)) {
        ++frames;
        bytes += static_cast<long>(f.color_frame().data().size());
      }
      ctx.TryCancel();
      while (rw->Read(&f)) {
      }
      rw->Finish();
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = cpuSeconds() - cpu0;
  for (auto& t : threads) t.join();
  std::printf("  %d stream(s): %5.1f fps per stream, %6.0f kbit/s per stream, process CPU %5.1f %% of one core\n",
              streams, frames / wall / streams, bytes * 8.0 / wall / streams / 1000, 100 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  av_log_set_level(AV_LOG_ERROR);  // x264's statistics would drown the figures
  benchFrames();

  std::istringstream xml("<UVCCamera id=\"cam\"/>");
  auto cam = std::make_shared<tovak::device::UVCCamera>(XmlNode(xml));
  cam->init();
  tovak::device::DeviceManager::createForTesting({{"cam", std::shared_ptr<tovak::device::AbstractCamera>(cam)}});
  tovak::service::gRPCCameraServiceImpl service;
  tovak::test::InProcessServer server({&service});
  auto stub = api::CameraService::NewStub(server.channel());

  cam->start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double cpu0 = cpuSeconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
  std::printf("colour streams at 640x480@30 through gRPC on loopback (%.0f s each)\n", seconds);
  std::printf("  0 streams (camera started, idle): process CPU %5.1f %% of one core\n",
              100 * (cpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count());
  benchStreams(*stub, "cam", 1, seconds);
  benchStreams(*stub, "cam", 3, seconds);

  std::vector<double> unary_ms;
  for (int i = 0; i < 30; ++i) {
    grpc::ClientContext ctx;
    api::GetRGBImageCommand_Request req;
    req.mutable_header()->set_device_id("cam");
    api::GetRGBImageCommand_Feedback resp;
    const auto a = Clock::now();
    stub->GetRGBImage(&ctx, req, &resp);
    unary_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
  }
  const auto u = stats(unary_ms);
  std::printf("GetRGBImage 640x480x3 (unary, raw pixels): mean %.1f ms  p95 %.1f ms\n", u.mean_ms, u.p95_ms);
  cam->stop();
  tovak::device::DeviceManager::destroyInstance();
  return 0;
}
