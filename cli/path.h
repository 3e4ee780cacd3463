// Member paths as people type them: "Zones.Item(3).CurrCondition", "Areas.Item(1).Arm(1234, 3)".
// A path is a dot-separated list of member names, each optionally followed by an argument list
// in parentheses. Arguments are literals: integers, reals, "double-quoted" or 'single-quoted'
// strings (backslash escapes the quote and itself), true, false and null.
//
// Thread contract: stateless.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace zel::cli {

using Json = nlohmann::json;

struct PathSegment {
  std::string name;
  bool has_call = false;   // written with parentheses, even empty ones
  std::vector<Json> args;  // as JSON shorthand values
  friend bool operator==(const PathSegment&, const PathSegment&) = default;
};

// Parses a path. E_INVALIDARG with *error describing the fault and its position.
HRESULT ParsePath(std::string_view text, std::vector<PathSegment>* out, std::string* error);

// One literal on its own (a command-line argument): a number, true, false, null or a quoted
// string as above; any other text is taken as a plain string. Digits with a leading zero
// ("0123") are text, so codes keep their digits.
Json ParseLiteral(std::string_view text);

}  // namespace zel::cli
