#include "cli/path.h"

#include <cctype>
#include <charconv>

namespace zel::cli {
namespace {

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool done() const { return pos_ >= text_.size(); }
  char peek() const { return done() ? '\0' : text_[pos_]; }
  char take() { return text_[pos_++]; }
  size_t pos() const { return pos_; }
  void SkipBlanks() {
    while (!done() && (peek() == ' ' || peek() == '\t')) ++pos_;
  }
  std::string_view rest() const { return text_.substr(pos_); }
  void Advance(size_t n) { pos_ += n; }
  void Rewind(size_t pos) { pos_ = pos; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// A number literal at the cursor; false when there is none.
bool ReadNumber(Cursor* c, Json* out) {
  std::string_view rest = c->rest();
  size_t n = 0;
  while (n < rest.size() &&
         (std::isdigit(static_cast<unsigned char>(rest[n])) || rest[n] == '-' || rest[n] == '+' ||
          rest[n] == '.' || rest[n] == 'e' || rest[n] == 'E')) {
    ++n;
  }
  if (n == 0) return false;
  std::string_view token = rest.substr(0, n);
  // "0123" stays text: a code with a leading zero must keep its digits.
  if (token.size() > 1 && token[0] == '0' && std::isdigit(static_cast<unsigned char>(token[1]))) {
    return false;
  }
  int64_t i = 0;
  auto ri = std::from_chars(token.data(), token.data() + token.size(), i);
  if (ri.ec == std::errc() && ri.ptr == token.data() + token.size()) {
    *out = i;
    c->Advance(n);
    return true;
  }
  double d = 0;
  auto rd = std::from_chars(token.data(), token.data() + token.size(), d);
  if (rd.ec == std::errc() && rd.ptr == token.data() + token.size()) {
    *out = d;
    c->Advance(n);
    return true;
  }
  return false;
}

bool ReadQuoted(Cursor* c, Json* out) {
  char quote = c->take();
  std::string s;
  while (!c->done()) {
    char ch = c->take();
    if (ch == quote) {
      *out = std::move(s);
      return true;
    }
    if (ch == '\\' && !c->done()) ch = c->take();
    s += ch;
  }
  return false;  // no closing quote
}

bool ReadLiteral(Cursor* c, Json* out) {
  char ch = c->peek();
  if (ch == '"' || ch == '\'') {
    // An unclosed quote is reported where it opened.
    size_t start = c->pos();
    if (ReadQuoted(c, out)) return true;
    c->Rewind(start);
    return false;
  }
  for (auto [word, value] :
       {std::pair<std::string_view, Json>{"true", true}, {"false", false}, {"null", nullptr}}) {
    std::string_view rest = c->rest();
    if (rest.substr(0, word.size()) == word &&
        (rest.size() == word.size() || !IsNameChar(rest[word.size()]))) {
      c->Advance(word.size());
      *out = value;
      return true;
    }
  }
  return ReadNumber(c, out);
}

HRESULT Fail(std::string* error, const std::string& what, size_t pos) {
  if (error) *error = what + " at position " + std::to_string(pos + 1);
  return E_INVALIDARG;
}

}  // namespace

HRESULT ParsePath(std::string_view text, std::vector<PathSegment>* out, std::string* error) {
  std::vector<PathSegment> segments;
  Cursor c(text);
  for (;;) {
    PathSegment seg;
    while (!c.done() && IsNameChar(c.peek())) seg.name += c.take();
    if (seg.name.empty()) return Fail(error, "expected a member name", c.pos());
    if (c.peek() == '(') {
      c.take();
      seg.has_call = true;
      c.SkipBlanks();
      if (c.peek() == ')') {
        c.take();
      } else {
        for (;;) {
          c.SkipBlanks();
          Json arg;
          if (!ReadLiteral(&c, &arg)) return Fail(error, "expected an argument", c.pos());
          seg.args.push_back(std::move(arg));
          c.SkipBlanks();
          if (c.peek() == ',') {
            c.take();
            continue;
          }
          if (c.peek() == ')') {
            c.take();
            break;
          }
          return Fail(error, "expected ',' or ')'", c.pos());
        }
      }
    }
    segments.push_back(std::move(seg));
    if (c.done()) break;
    if (c.peek() != '.') return Fail(error, "expected '.'", c.pos());
    c.take();
  }
  *out = std::move(segments);
  return S_OK;
}

Json ParseLiteral(std::string_view text) {
  Cursor c(text);
  Json value;
  if (!text.empty() && ReadLiteral(&c, &value) && c.done()) return value;
  return std::string(text);
}

}  // namespace zel::cli
