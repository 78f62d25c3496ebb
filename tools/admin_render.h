// Plain-text rendering of velkd's admin answers for velkctl: aligned tables
// an administrator reads at a terminal. The --json form prints the answer
// itself and needs nothing from here.
#ifndef TOOLS_ADMIN_RENDER_H_
#define TOOLS_ADMIN_RENDER_H_

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace skgxn {

using TableRow = std::vector<std::string>;

// Rows as columns left-aligned to the widest cell, separated by two blanks,
// without trailing blanks; the first row is the heading.
std::string formatTable(const std::vector<TableRow>& rows);

std::string renderStatus(const nlohmann::json& answer);
std::string renderNodes(const nlohmann::json& answer);
std::string renderGroups(const nlohmann::json& answer);
// Joining times are shown in the local time zone.
std::string renderMembers(const nlohmann::json& answer);

}  // namespace skgxn

#endif  // TOOLS_ADMIN_RENDER_H_
