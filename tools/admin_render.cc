// Aligned tables for velkctl's status, nodes, groups and members commands.
#include "tools/admin_render.h"

#include <algorithm>
#include <ctime>

namespace skgxn {

namespace {

std::string localTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm parts{};
  localtime_r(&t, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

std::string numberList(const nlohmann::json& list) {
  std::string text;
  for (const auto& n : list) text += (text.empty() ? "" : ",") + std::to_string(n.get<int>());
  return text;
}

}  // namespace

std::string formatTable(const std::vector<TableRow>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  }
  return text;
}

std::string renderStatus(const nlohmann::json& a) {
  return formatTable({{"engine", a.value("engine", "")},
                      {"quorate", a.value("quorate", false) ? "yes" : "no"},
                      {"ring", std::to_string(a.value("ring", uint64_t{0}))},
                      {"nodes", std::to_string(a.value("nodes", 0))},
                      {"uptime", std::to_string(a.value("uptime", 0)) + "s"},
                      {"groups", std::to_string(a.value("groups", 0))},
                      {"members", std::to_string(a.value("members", 0))},
                      {"connections", std::to_string(a.value("connections", 0))}});
}

std::string renderNodes(const nlohmann::json& a) {
  std::vector<TableRow> rows{{"NODE", "NAME", "STATE", "MEMBERS"}};
  for (const auto& n : a.value("nodes", nlohmann::json::array())) {
    rows.push_back({std::to_string(n.value("id", uint32_t{0})), n.value("name", ""),
                    n.value("state", ""), std::to_string(n.value("members", 0))});
  }
  return formatTable(rows);
}

std::string renderGroups(const nlohmann::json& a) {
  std::vector<TableRow> rows{{"GROUP", "COUNT", "MEMBERS"}};
  for (const auto& g : a.value("groups", nlohmann::json::array())) {
    rows.push_back({g.value("name", ""), std::to_string(g.value("count", 0)),
                    numberList(g.value("members", nlohmann::json::array()))});
  }
  return formatTable(rows);
}

std::string renderMembers(const nlohmann::json& a) {
  std::vector<TableRow> rows{{"MEMBER", "NODE", "PID", "UID", "JOINED", "EVENTS", "DATA"}};
  for (const auto& m : a.value("members", nlohmann::json::array())) {
    rows.push_back({std::to_string(m.value("member", 0)),
                    std::to_string(m.value("node", uint32_t{0})), std::to_string(m.value("pid", 0)),
                    std::to_string(m.value("uid", 0)), localTime(m.value("joined_at", 0)),
                    std::to_string(m.value("events_waiting", 0)), m.value("data", "")});
  }
  return formatTable(rows);
}

}  // namespace skgxn
