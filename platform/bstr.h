// BStr: the automation string. Holds UTF-8 text and, separately, whether the string is null.
//
// Several members distinguish a null string from an empty one (a friendly name that was never
// set reads as the controller's name, a null name is written as nothing), so the null state is
// explicit and survives copies. Stored formats that hold UTF-16 convert at their boundary with
// the helpers in text_encoding.h.
//
// Thread contract: a value type; distinct objects may be used on distinct threads freely.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zel {

class BStr {
 public:
  BStr() = default;                                          // null
  BStr(std::string_view text) : text_(std::string(text)) {}  // NOLINT(google-explicit-constructor)
  BStr(const char* text) {                                   // NOLINT(google-explicit-constructor)
    if (text != nullptr) text_ = std::string(text);
  }
  BStr(std::string text) : text_(std::move(text)) {}  // NOLINT(google-explicit-constructor)

  static BStr Null() { return BStr(); }

  bool IsNull() const { return !text_.has_value(); }
  // Null and "" are both empty.
  bool IsEmpty() const { return !text_ || text_->empty(); }
  // The text; "" for a null string.
  const std::string& str() const {
    static const std::string kEmpty;
    return text_ ? *text_ : kEmpty;
  }
  const char* c_str() const { return str().c_str(); }
  // Length in UTF-16 code units, as automation clients count characters.
  size_t Length() const;

  // Null equals only null; texts compare byte for byte.
  friend bool operator==(const BStr& a, const BStr& b) { return a.text_ == b.text_; }

 private:
  std::optional<std::string> text_;
};

}  // namespace zel
