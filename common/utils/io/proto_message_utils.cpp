#include "common/utils/io/proto_message_utils.h"

#include <fcntl.h>

#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/text_format.h>

#include <glog/logging.h>

bool ProtoMessageIo::getProtoFromAsciiFile(const std::string& fileName, google::protobuf::Message* message,
                                           bool isOptional) {
  if (message == nullptr) {
    LOG(ERROR) << "Null message pointer when reading ASCII proto file: " << fileName;
    return false;
  }
  const int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (isOptional) {
      PLOG(INFO) << "Optional ASCII proto file not found/openable: " << fileName;
    } else {
      PLOG(ERROR) << "Failed to open ASCII proto file: " << fileName;
    }
    return false;
  }
  google::protobuf::io::FileInputStream input(fd);
  input.SetCloseOnDelete(true);
  if (!google::protobuf::TextFormat::Parse(&input, message)) {
    if (isOptional) {
      LOG(INFO) << "Failed to parse optional ASCII proto file: " << fileName;
    } else {
      LOG(ERROR) << "Failed to parse ASCII proto file: " << fileName;
    }
    return false;
  }
  return true;
}
