// velkctl's side of velkd's admin socket: one JSON request, one JSON answer,
// with the failures an administrator needs told apart.
#ifndef TOOLS_ADMIN_CLIENT_H_
#define TOOLS_ADMIN_CLIENT_H_

#include <nlohmann/json.hpp>
#include <string>

namespace skgxn {

// Sends request to the daemon at socketPath and parses its answer. On
// failure returns false with a sentence for the administrator in error.
bool askDaemon(const std::string& socketPath, const nlohmann::json& request, nlohmann::json& answer,
               std::string& error);

}  // namespace skgxn

#endif  // TOOLS_ADMIN_CLIENT_H_
