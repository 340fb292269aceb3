// Figures for the simulated face behind the real service, in process over
// loopback: unary round trip, stream acknowledgement latency and applied rate,
// and how long a full-swing pose takes to settle.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "device_manager/include/device_manager.h"
#include "drivers/head_esp32/include/head_esp32.h"
#include "service/grpc/include/grpc_head_service.h"
#include "tests/support/grpc_test_utils.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void report(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  double sum = 0;
  for (double x : v) sum += x;
  std::printf("%-34s n=%zu mean=%.3f ms p50=%.3f ms p99=%.3f ms\n", what, v.size(), sum / v.size(), v[v.size() / 2],
              v[v.size() * 99 / 100]);
}

}  // namespace

int main() {
  std::istringstream xml(R"(<esp32 id="head"/>)");
  auto head = std::make_shared<tovak::device::BioHeadRobot>(XmlNode(xml));
  head->init();
  tovak::device::DeviceManager::createForTesting({{"head", head}});
  tovak::service::gRPCMBioHeadServiceImpl service;
  tovak::test::InProcessServer server({&service});
  auto stub = tovak::api::BioHeadService::NewStub(server.channel());

  std::vector<double> unary;
  for (int i = 0; i < 500; ++i) {
    grpc::ClientContext ctx;
    tovak::api::SetFacialExpression_Request req;
    tovak::api::SetFacialExpression_Feedback resp;
    req.mutable_header()->set_device_id("head");
    req.mutable_expression()->mutable_eyebrow()->set_left_outside_y((i % 20) / 20.0f);
    const auto t = Clock::now();
    stub->SetExpression(&ctx, req, &resp);
    unary.push_back(ms(Clock::now() - t));
  }
  report("SetExpression round trip", unary);

  // Frames 110 ms apart: every one is applied and acknowledged.
  {
    grpc::ClientContext ctx;
    auto stream = stub->StreamExpression(&ctx);
    std::vector<double> ack;
    tovak::api::StreamFacialExpression_Request req;
    req.mutable_header()->set_device_id("head");
    tovak::api::StreamFacialExpression_Feedback fb;
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(110ms);
      req.mutable_expr()->mutable_jaw()->set_y((i % 10) / 10.0f);
      const auto t = Clock::now();
      stream->Write(req);
      stream->Read(&fb);
      ack.push_back(ms(Clock::now() - t));
    }
    stream->WritesDone();
    stream->Finish();
    report("stream frame acknowledgement", ack);
  }

  // Frames as fast as the client can send for 2 s: the applied rate.
  {
    grpc::ClientContext ctx;
    auto stream = stub->StreamExpression(&ctx);
    int replies = 0;
    std::thread reader([&] {
      tovak::api::StreamFacialExpression_Feedback fb;
      while (stream->Read(&fb)) ++replies;
    });
    tovak::api::StreamFacialExpression_Request req;
    req.mutable_header()->set_device_id("head");
    int sent = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < 2s) {
      req.mutable_expr()->mutable_jaw()->set_y((sent % 10) / 10.0f);
      stream->Write(req);
      ++sent;
    }
    stream->WritesDone();
    reader.join();
    stream->Finish();
    std::printf("%-34s sent=%d applied=%d (%.1f per second)\n", "stream flooded for 2 s", sent, replies,
                replies / 2.0);
  }

  // Full swing of every actuator at the default speed limit.
  tovak::device::FacialExpressionState low{}, high{};
  for (const auto& a : tovak::device::headActuators()) {
    low.*a.field = a.min;
    high.*a.field = a.max;
  }
  auto settle = [&](tovak::device::FacialExpressionState& pose) {
    const auto t = Clock::now();
    head->setExpressionPose(pose, 0.0, 0.0);
    for (;;) {
      tovak::device::RobotState s;
      head->getState(s);
      bool done = true;
      const auto& acts = tovak::device::headActuators();
      for (std::size_t i = 0; i < acts.size(); ++i) done = done && s.joint_positions[i] == pose.*acts[i].field;
      if (done) return ms(Clock::now() - t);
      std::this_thread::sleep_for(1ms);
    }
  };
  settle(low);
  std::printf("%-34s %.1f ms (max_speed %.1f/s)\n", "full swing -1 -> 1 settled in", settle(high),
              head->settings().max_speed);
  return 0;
}
