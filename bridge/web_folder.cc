#include "bridge/web_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/instance_paths.h"
#include "zel_source_dir.h"

namespace zel::bridge {
namespace {

struct TypeEntry {
  std::string_view extension;
  std::string_view type;
};

// The file types the front end is made of. register.asp is a page of ours like the others (the
// launch switches open it by that name), so it is HTML.
constexpr TypeEntry kTypes[] = {
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"asp", "text/html; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"json", "application/json"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"ico", "image/x-icon"},
    {"webp", "image/webp"},
    {"woff2", "font/woff2"},
    {"txt", "text/plain; charset=utf-8"},
};

constexpr const char* kPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; font-src 'self'; object-src 'none'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

WebReply Answer(int status, std::string body = {}) {
  WebReply r;
  r.http_status = status;
  r.body = std::move(body);
  r.headers = {{"Content-Security-Policy", kPolicy},
               {"X-Content-Type-Options", "nosniff"},
               {"Referrer-Policy", "no-referrer"},
               {"X-Frame-Options", "DENY"}};
  if (status != 200 && status != 304) {
    r.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    r.headers.emplace_back("Cache-Control", "no-store");
  }
  return r;
}

WebReply NotFound() { return Answer(404, "not found\n"); }

// A relative path the folder may hold: plain segments, none hidden, none empty.
bool SafeRelative(std::string_view rel) {
  if (rel.empty()) return false;
  size_t start = 0;
  while (start <= rel.size()) {
    size_t end = rel.find('/', start);
    if (end == std::string_view::npos) end = rel.size();
    std::string_view segment = rel.substr(start, end - start);
    if (segment.empty() || segment.front() == '.') return false;
    start = end + 1;
  }
  for (char c : rel) {
    if (c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string Canonical(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

}  // namespace

std::string WebReply::Header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (Lower(k) == Lower(name)) return v;
  }
  return {};
}

WebFolder::WebFolder(std::string root) {
  if (!root.empty()) root_ = Canonical(root);
}

bool WebFolder::Mounted(std::string_view path) {
  return path == kWebPath ||
         (path.size() > kWebPath.size() && path.substr(0, kWebPath.size()) == kWebPath &&
          path[kWebPath.size()] == '/');
}

std::string_view WebFolder::ContentType(std::string_view file_name) {
  size_t slash = file_name.rfind('/');
  if (slash != std::string_view::npos) file_name.remove_prefix(slash + 1);
  size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  std::string ext = Lower(file_name.substr(dot + 1));
  for (const TypeEntry& t : kTypes) {
    if (t.extension == ext) return t.type;
  }
  return {};
}

std::string_view WebFolder::CacheControl(std::string_view content_type) {
  if (content_type.starts_with("text/html")) return "no-cache";
  if (content_type.starts_with("image/") || content_type.starts_with("font/")) {
    return "max-age=3600";
  }
  return "max-age=60";
}

const char* WebFolder::SecurityPolicy() { return kPolicy; }

std::string WebFolder::DefaultRoot() {
  std::string share = ProgramShareDir();
  struct stat st {};
  if (!share.empty() && stat((share + "/web/index.html").c_str(), &st) == 0) return share + "/web";
  return std::string(ZEL_SOURCE_DIR) + "/web";
}

WebReply WebFolder::Serve(std::string_view method, std::string_view path,
                          std::string_view if_none_match) const {
  if (method != "GET" && method != "HEAD") {
    WebReply r = Answer(405, "use GET or HEAD\n");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
  }
  if (!Mounted(path)) return NotFound();
  if (path == kWebPath) {
    WebReply r = Answer(301);
    r.headers.emplace_back("Location", std::string(kWebPath) + "/");
    r.headers.emplace_back("Cache-Control", "no-cache");
    return r;
  }
  std::string rel(path.substr(kWebPath.size() + 1));
  if (rel.empty() || rel.back() == '/') rel += "index.html";
  if (root_.empty() || !SafeRelative(rel)) return NotFound();
  std::string_view type = ContentType(rel);
  if (type.empty()) return NotFound();

  // The real path must stay inside the folder: a symbolic link out of it is not followed.
  std::string real = Canonical(root_ + "/" + rel);
  if (real.size() <= root_.size() || real.compare(0, root_.size(), root_) != 0 ||
      real[root_.size()] != '/') {
    return NotFound();
  }
  int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return NotFound();
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<size_t>(st.st_size) > kMaxWebFileBytes) {
    close(fd);
    return NotFound();
  }
  char tag[64];
  std::snprintf(tag, sizeof tag, "\"%llx-%llx\"", static_cast<unsigned long long>(st.st_size),
                static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull +
                    static_cast<unsigned long long>(st.st_mtim.tv_nsec));
  WebReply r = Answer(200);
  r.headers.emplace_back("Content-Type", std::string(type));
  r.headers.emplace_back("Cache-Control", std::string(CacheControl(type)));
  r.headers.emplace_back("ETag", tag);
  if (!if_none_match.empty() && if_none_match == tag) {
    close(fd);
    r.http_status = 304;
    return r;
  }
  r.body.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < r.body.size()) {
    ssize_t n = read(fd, r.body.data() + got, r.body.size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got != r.body.size()) return NotFound();  // changed under us; the next load gets it
  return r;
}

}  // namespace zel::bridge
