// Readers for the three line forms the common runtime writes: console
// lines, logfile entries and syslog datagrams.  Each returns false when the
// line does not have its form.
#pragma once

#include <cctype>
#include <cstdlib>
#include <string>

namespace zt {

// "%Y-%m-%dT%H:%M:%SZ", such as 2026-10-05T09:14:03Z.
inline bool is_utc_stamp(const std::string &s) {
  static const char pattern[] = "dddd-dd-ddTdd:dd:ddZ";
  if (s.size() != sizeof pattern - 1)
    return false;
  for (size_t i = 0; i < s.size(); i++) {
    bool ok = pattern[i] == 'd' ? isdigit(static_cast<unsigned char>(s[i])) != 0 : s[i] == pattern[i];
    if (!ok)
      return false;
  }
  return true;
}

// Reads decimal digits at pos (at least one) into *value.
inline bool read_number(const std::string &s, size_t *pos, long *value) {
  size_t start = *pos;
  while (*pos < s.size() && isdigit(static_cast<unsigned char>(s[*pos])))
    (*pos)++;
  if (*pos == start)
    return false;
  *value = std::atol(s.substr(start, *pos - start).c_str());
  return true;
}

inline bool skip(const std::string &s, size_t *pos, const std::string &expected) {
  if (s.compare(*pos, expected.size(), expected) != 0)
    return false;
  *pos += expected.size();
  return true;
}

// "<stamp> [tag] LEVEL message" with the level padded to five characters.
inline bool parse_console_line(const std::string &line, const std::string &tag,
                               const std::string &level, std::string *text) {
  std::string label = level + std::string(level.size() < 5 ? 5 - level.size() : 0, ' ');
  size_t pos = 20;
  if (line.size() < pos || !is_utc_stamp(line.substr(0, 20)) ||
      !skip(line, &pos, " [" + tag + "] " + label + " "))
    return false;
  *text = line.substr(pos);
  return true;
}

struct LogEntry {
  std::string stamp;
  std::string name;
  long pid = 0;
  std::string text;
};

// "<stamp> [name] pid=N text".
inline bool parse_log_entry(const std::string &line, LogEntry *entry) {
  if (line.size() < 20 || !is_utc_stamp(line.substr(0, 20)))
    return false;
  size_t pos = 20;
  if (!skip(line, &pos, " ["))
    return false;
  size_t close = line.find("] pid=", pos);
  if (close == std::string::npos)
    return false;
  entry->stamp = line.substr(0, 20);
  entry->name = line.substr(pos, close - pos);
  pos = close + 6;
  if (!read_number(line, &pos, &entry->pid) || !skip(line, &pos, " "))
    return false;
  entry->text = line.substr(pos);
  return true;
}

struct SyslogEntry {
  long priority = -1;
  std::string ident;
  long pid = 0; // 0 when the datagram carries none
  std::string text;
};

// "<PRI>Mmm dd hh:mm:ss ident[pid]: text" or without "[pid]".
inline bool parse_syslog_datagram(const std::string &datagram, SyslogEntry *entry) {
  size_t pos = 0;
  if (!skip(datagram, &pos, "<") || !read_number(datagram, &pos, &entry->priority) ||
      !skip(datagram, &pos, ">"))
    return false;
  // The BSD time stamp: 15 characters and a blank.
  if (datagram.size() < pos + 16 || datagram[pos + 3] != ' ' || datagram[pos + 15] != ' ')
    return false;
  pos += 16;
  size_t end = datagram.find(": ", pos);
  if (end == std::string::npos)
    return false;
  std::string head = datagram.substr(pos, end - pos);
  entry->text = datagram.substr(end + 2);
  size_t bracket = head.find('[');
  entry->pid = 0;
  if (bracket == std::string::npos) {
    entry->ident = head;
    return !head.empty();
  }
  size_t number = bracket + 1;
  if (head.back() != ']' || !read_number(head, &number, &entry->pid) || number != head.size() - 1)
    return false;
  entry->ident = head.substr(0, bracket);
  return true;
}

} // namespace zt
