#pragma once

#include <string>

#include <google/protobuf/message.h>

// Reads protobuf messages from files.
class ProtoMessageIo {
 public:
  // Reads the text-format file `fileName` into `message` (cleared first).
  // Returns false when `message` is null, the file cannot be opened or its
  // text does not fit the message's schema; after a parse error `message`
  // holds what was read before it. An empty file gives an empty message and
  // true. `isOptional` only changes how a failure is logged: INFO instead of
  // ERROR, since a missing optional file is not a fault.
  static bool getProtoFromAsciiFile(const std::string& fileName, google::protobuf::Message* message,
                                    bool isOptional);
};
