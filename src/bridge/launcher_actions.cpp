// The launcher's own actions: HELLO, INITMC and LOAD.
#include "bridge/launcher_actions.h"

#include <cstring>
#include <string>

#include "bridge/json_text.h"
#include "bridge/message_texts.h"
#include "catalogue/module_catalogue.h"
#include "core/launcher.h"
#include "install/install_task.h"
#include "modules/handler_registry.h"
#include "modules/module_libraries.h"

namespace {

// Exact and case-sensitive; the terminator is compared too, so "HELLO "
// does not match, while whatever follows an embedded NUL is not looked at.
bool isAction(const std::string& act, const char* literal) {
  return std::strncmp(act.c_str(), literal, std::strlen(literal) + 1) == 0;
}

void answerHello(Json::Value& reply) {
  reply["version"] = launcherVersion();
  reply["ready"] = catalogueState();
}

void answerLoad(Connection connection, const Json::Value& request,
                Json::Value& reply) {
  const Json::Value& module = request["module"];
  std::string name;
  // An array or object names no module, like an absent one.
  if (module.isNull() || !jsonScalarText(module, name)) {
    reply["result"] = 1;
    return;
  }
  if (findHandler(name) != nullptr) {
    reply["result"] = 0;
    return;
  }
  if (checkModuleListed(name) == 6) {
    reply["result"] = 6;
    return;
  }
  int installed = checkInstalledModule(name);
  if (installed != 0) {
    startInstall(name, connection);
    reply["result"] = installed;
    return;
  }
  int registration = registerModule(name);
  reply["result"] = registration == 0 ? 0 : 5;
  if (registration != 0) reply["error"] = registration;
}

}  // namespace

char* handleLauncherAction(Connection connection, const char* requestText) {
  Json::Value parsed;
  if (!parseJsonText(requestText, std::strlen(requestText), parsed) ||
      !parsed.isObject())
    return nullptr;
  const Json::Value& request = parsed;
  const Json::Value& act = request["act"];
  // Only a string names an action.
  if (!act.isString()) return nullptr;
  std::string name = act.asString();

  Json::Value reply(Json::objectValue);
  if (isAction(name, "HELLO")) {
    answerHello(reply);
  } else if (isAction(name, "INITMC")) {
    refetchCatalogue();
  } else if (isAction(name, "LOAD")) {
    answerLoad(connection, request, reply);
  } else {
    return nullptr;
  }
  reply["act"] = act;
  return duplicateText(writeJsonText(reply).c_str());
}
