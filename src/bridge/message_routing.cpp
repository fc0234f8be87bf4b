// Inbound envelopes {"target", "request"} and the per-tick delivery.
#include "bridge/message_routing.h"

#include <string>

#include "bridge/frame_output.h"
#include "bridge/json_text.h"
#include "bridge/launcher_actions.h"
#include "bridge/message_texts.h"
#include "bridge/outgoing_queue.h"
#include "install/install_task.h"
#include "modules/handler_registry.h"

void routeMessage(Connection connection, const char* data, std::size_t length) {
  Json::Value envelope;
  if (!parseJsonText(data, length, envelope) || !envelope.isObject()) return;

  const Json::Value& request = envelope["request"];
  const Json::Value& target = envelope["target"];

  if (target.isNull()) {
    char* reply =
        handleLauncherAction(connection, writeJsonText(request).c_str());
    if (reply != nullptr) {
      sendText(connection, reply);
      freeText(reply);
    }
    return;
  }

  // An array or object names no module.
  std::string moduleName;
  if (!jsonScalarText(target, moduleName)) return;
  const ModuleHandler* handler = findHandler(moduleName);
  if (handler == nullptr || handler->handleRequest == nullptr) return;

  // The text lives until the call returns; the reply stays the module's.
  std::string requestText = writeJsonText(request);
  char* reply = handler->handleRequest(connection, requestText.c_str());
  if (reply == nullptr) return;
  sendText(connection, reply);
  if (handler->releaseReply != nullptr) handler->releaseReply(reply);
}

void deliverQueuedToClient(Connection connection) {
  if (char** queued = takeMessages(connection)) {
    sendTexts(connection, queued);
    freeMessages(queued);
  }
}

void deliverToClient(Connection connection) {
  deliverQueuedToClient(connection);
  std::shared_ptr<const HandlerList> handlers = registeredHandlers();
  for (const ModuleHandler* handler : *handlers) {
    if (handler->pollMessages == nullptr) continue;
    char** messages = handler->pollMessages(connection);
    if (messages == nullptr) continue;
    sendTexts(connection, messages);
    if (handler->releaseMessages != nullptr) handler->releaseMessages(messages);
  }
}

void forgetClient(Connection connection) {
  // Withdrawn first, so no install can queue for it after the drop.
  unsubscribeClient(connection);
  dropQueuedMessages(connection);
}
