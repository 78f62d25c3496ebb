// The one notation in which velkd and velkctl show text a client chose, such
// as group names, in admin answers, tables and log lines: printable UTF-8 that
// no terminal or log reader takes for a control.
#ifndef DAEMON_ESCAPE_TEXT_H_
#define DAEMON_ESCAPE_TEXT_H_

#include <string>
#include <string_view>

namespace skgxn {

// raw with each control character (C0, DEL, C1) and each byte that is not
// part of valid UTF-8 written as \xHH (lower-case hex, one per byte), and
// each backslash doubled; other text is kept. The result is valid UTF-8 and
// unescapeText gives raw back, so two names never look alike.
std::string escapeText(std::string_view raw);

// The bytes the notation stands for: \\ is a backslash and \xHH a byte; any
// other backslash stands for itself, so a plain name typed as it is still
// names itself.
std::string unescapeText(std::string_view shown);

}  // namespace skgxn

#endif  // DAEMON_ESCAPE_TEXT_H_
