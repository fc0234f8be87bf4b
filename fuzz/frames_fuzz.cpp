// One inbound text frame through routeMessage and a tick's delivery, with an
// empty catalogue and one in-process module, "fuzzmod". Every frame written
// must be either that module's own text or JSON exactly as the launcher's
// fixed writer makes it; the module must get every reply and array back.
#include <json/reader.h>
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "bridge/frame_output.h"
#include "bridge/json_text.h"
#include "bridge/message_routing.h"
#include "catalogue/module_catalogue.h"
#include "fuzz_support.h"
#include "modules/handler_registry.h"

namespace {

// The module's texts, never JSON, so that the writer can tell them apart.
const char kPolled[] = "polled <not json>";
std::string lastReply;
int outstanding = 0;

char* handleRequest(LauncherConnection, const char* request) {
  // The request member as JSON text, whatever its type.
  Json::CharReaderBuilder lenient;
  std::unique_ptr<Json::CharReader> reader(lenient.newCharReader());
  Json::Value value;
  std::string errors;
  fuzzCheck(
      reader->parse(request, request + std::strlen(request), &value, &errors),
      std::string("request is not JSON: ") + request);
  if (std::strcmp(request, "null") == 0) return nullptr;
  lastReply = std::string("reply <") + request + ">";
  ++outstanding;
  char* reply = new char[lastReply.size() + 1];
  std::memcpy(reply, lastReply.c_str(), lastReply.size() + 1);
  return reply;
}

char** pollMessages(LauncherConnection) {
  ++outstanding;
  return new char* [2] { const_cast<char*>(kPolled), nullptr };
}

void releaseReply(char* reply) {
  --outstanding;
  delete[] reply;
}

void releaseMessages(char** messages) {
  --outstanding;
  delete[] messages;
}

const ModuleHandler kModule = {handleRequest, pollMessages, releaseReply,
                               releaseMessages};

void checkFrame(Connection, const char* data, std::size_t length) {
  const std::string frame(data, length);
  if (frame == kPolled || frame == lastReply) return;
  Json::Value value;
  fuzzCheck(parseJsonText(frame, value) && value.isObject(),
            "frame is not a JSON object: " + frame);
  fuzzCheck(writeJsonText(value) == frame, "frame not from the writer");
  fuzzCheck(value["act"].isString(), "reply without its act");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setFrameWriter(checkFrame);
  fuzzCheck(publishCatalogueText("{}", 2), "no empty catalogue");
  registerHandlerTable("fuzzmod", &kModule);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static char page;
  lastReply.clear();
  routeMessage(&page, reinterpret_cast<const char*>(data), size);
  deliverToClient(&page);
  forgetClient(&page);
  fuzzCheck(outstanding == 0, "a module text was not given back");
  return 0;
}
