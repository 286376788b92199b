// Package ids as the user types and reads them.
//
// Ids are braced GUIDs ("{1A2B3C4D-...}"), too long to type. The corvane command
// shows a short form (the first hex digits, without the brace) and accepts any
// prefix that names exactly one package, with or without the braces, in either
// case. Pure functions, any thread.
#ifndef CLIENT_PACKAGE_IDS_H_
#define CLIENT_PACKAGE_IDS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lorvane {

struct IdMatch {
  enum class Kind {
    kFound,      // id holds the one package id
    kNotFound,   // no id starts so
    kAmbiguous,  // candidates holds every id that starts so
    kEmpty,      // nothing to look for
  };
  Kind kind = Kind::kEmpty;
  std::string id;
  std::vector<std::string> candidates;
};

// Finds the id among `ids` that the user meant by `prefix`. An id equal to the
// whole text wins even when it is also the start of a longer one.
[[nodiscard]] IdMatch ResolveIdPrefix(std::string_view prefix, const std::vector<std::string>& ids);

// The first `length` characters of the id without its braces.
[[nodiscard]] std::string ShortId(std::string_view id, size_t length);

// The shortest length, not below `minimum`, at which the short forms of all ids
// differ from each other (an id equal to another stays equal at any length).
[[nodiscard]] size_t UniqueShortIdLength(const std::vector<std::string>& ids, size_t minimum = 8);

}  // namespace lorvane

#endif  // CLIENT_PACKAGE_IDS_H_
