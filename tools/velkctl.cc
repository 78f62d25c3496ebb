// velkctl: the administrator's command for velkd (status, nodes, groups,
// members, events) over the daemon's root-only admin socket, and for the client
// library's runtime command file (trace on/off, dump).
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "daemon/escape_text.h"
#include "diag/cmd_file.h"
#include "msg/shared_values.h"
#include "tools/admin_client.h"
#include "tools/admin_render.h"
#include "tools/cmd_file_writer.h"

namespace skgxn {
namespace {

using nlohmann::json;

int fail(const std::string& why) {
  std::cerr << "velkctl: " << why << "\n";
  return 1;
}

int askAndShow(const json& request, bool asJson, std::string (*render)(const json&)) {
  json answer;
  std::string error;
  if (!askDaemon(kAdminSocket, request, answer, error)) return fail(error);
  if (asJson) {
    std::cout << answer.dump(2) << "\n";
    return answer.value("ok", false) ? 0 : 1;
  }
  if (!answer.value("ok", false)) return fail(answer.value("error", "request refused"));
  if (render != nullptr) std::cout << render(answer);
  return 0;
}

int updateCmdFile(const std::string& content, bool asJson) {
  std::string step;
  const int err = writeCmdFile(kCmdFilePath, content, static_cast<int64_t>(time(nullptr)), step);
  if (err != 0) {
    return fail("cannot write " + std::string(kCmdFilePath) + ": " + step + ": " + strerror(err));
  }
  if (asJson)
    std::cout << json{{"ok", true}, {"file", kCmdFilePath}, {"content", content}}.dump(2) << "\n";
  return 0;
}

std::string upper(std::string word) {
  for (auto& ch : word) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  return word;
}

int run(int argc, char** argv) {
  CLI::App app{"velkctl: administer velkd and the client library's diagnostics"};
  app.require_subcommand(1);
  app.fallthrough();
  bool asJson = false;
  app.add_flag("--json", asJson, "Print machine-readable JSON");

  auto* status = app.add_subcommand(
      "status", "Engine, quorum, ring, nodes, uptime, groups, members and connections");
  auto* nodes = app.add_subcommand("nodes", "Every node, its state and its members");
  auto* groups = app.add_subcommand("groups", "Every group and its members");
  std::string group;
  auto* members = app.add_subcommand("members", "The members of one group");
  members->add_option("GROUP", group, "Group name")->required();
  std::string eventWord;
  std::optional<int> member;
  auto* event = app.add_subcommand("event", "Send suspend, resume or abort to a group");
  event->add_option("GROUP", group, "Group name")->required();
  event->add_option("EVENT", eventWord, "suspend, resume or abort")
      ->required()
      ->check(CLI::IsMember({kAdminEventSuspend, kAdminEventResume, kAdminEventAbort}));
  event->add_option("--member", member, "Only this member number");

  auto* trace = app.add_subcommand("trace", "Switch the client library's trace");
  trace->require_subcommand(1);
  std::vector<std::string> categories;
  std::string output;
  auto* traceOn = trace->add_subcommand("on", "Trace errors and the named categories");
  traceOn->add_option("CATEGORY", categories, "EVT CALL MSG CCR VER (all but VER when none)");
  traceOn->add_option("--output", output, "Also write the trace log to this absolute path");
  auto* traceOff = trace->add_subcommand("off", "Trace errors only and close the trace log");
  std::string dumpPath;
  auto* dump = app.add_subcommand("dump", "Write the library's recent trace lines to a file");
  dump->add_option("--output", dumpPath, "Absolute path of the dump file");

  CLI11_PARSE(app, argc, argv);

  if (status->parsed()) return askAndShow({{kAdminKeyCmd, kAdminCmdStatus}}, asJson, renderStatus);
  if (nodes->parsed()) return askAndShow({{kAdminKeyCmd, kAdminCmdNodes}}, asJson, renderNodes);
  if (groups->parsed()) return askAndShow({{kAdminKeyCmd, kAdminCmdGroups}}, asJson, renderGroups);
  if (members->parsed()) {
    return askAndShow({{kAdminKeyCmd, kAdminCmdMembers}, {kAdminKeyGroup, group}}, asJson,
                      renderMembers);
  }
  if (event->parsed()) {
    json request{
        {kAdminKeyCmd, kAdminCmdEvent}, {kAdminKeyGroup, group}, {kAdminKeyEvent, eventWord}};
    if (member) request[kAdminKeyMember] = *member;
    return askAndShow(request, asJson, nullptr);
  }
  const std::string old = readCmdFile(kCmdFilePath);
  if (traceOn->parsed()) {
    for (auto& c : categories) {
      c = upper(c);
      if (!isTraceCategory(c)) {
        return fail("unknown trace category " + escapeText(c) + " (EVT CALL MSG CCR VER)");
      }
    }
    if (!output.empty() && !isCmdFilePath(output)) {
      return fail("--output wants an absolute path without blanks");
    }
    return updateCmdFile(traceOnContent(old, categories, output), asJson);
  }
  if (traceOff->parsed()) return updateCmdFile(traceOffContent(old), asJson);
  if (dump->parsed()) {
    if (!dumpPath.empty() && !isCmdFilePath(dumpPath)) {
      return fail("--output wants an absolute path without blanks");
    }
    return updateCmdFile(dumpContent(old, dumpPath), asJson);
  }
  return 0;
}

}  // namespace
}  // namespace skgxn

int main(int argc, char** argv) { return skgxn::run(argc, argv); }
