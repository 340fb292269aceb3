#pragma once

#include <grpcpp/grpcpp.h>

#include <memory>
#include <string>
#include <vector>

namespace tovak::test {

// A channel to 127.0.0.1:port that accepts large responses (full-size images
// exceed gRPC's 4 MiB default).
std::shared_ptr<grpc::Channel> makeChannel(int port);

// A gRPC server on 127.0.0.1 with a port picked by the system, for service
// tests with in-process (fake) devices. Shut down on destruction.
class InProcessServer {
 public:
  explicit InProcessServer(const std::vector<grpc::Service*>& services);
  ~InProcessServer();
  int port() const { return port_; }
  std::shared_ptr<grpc::Channel> channel() const { return makeChannel(port_); }

 private:
  std::unique_ptr<grpc::Server> server_;
  int port_ = 0;
};

}  // namespace tovak::test
