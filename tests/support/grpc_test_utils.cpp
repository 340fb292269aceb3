#include "tests/support/grpc_test_utils.h"

#include <stdexcept>

namespace tovak::test {

std::shared_ptr<grpc::Channel> makeChannel(int port) {
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(64 * 1024 * 1024);
  return grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port), grpc::InsecureChannelCredentials(), args);
}

InProcessServer::InProcessServer(const std::vector<grpc::Service*>& services) {
  grpc::ServerBuilder builder;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
  for (auto* s : services) builder.RegisterService(s);
  server_ = builder.BuildAndStart();
  if (!server_ || port_ == 0) throw std::runtime_error("in-process test server did not start");
}

InProcessServer::~InProcessServer() {
  if (server_) server_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
}

}  // namespace tovak::test
