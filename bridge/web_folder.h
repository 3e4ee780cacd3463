// WebFolder: the web front end's files, served by the bridge under /Portico/.
//
//   WebFolder web("/usr/share/zelcommsrv/web");
//   WebReply r = web.Serve("GET", "/Portico/app.js", if_none_match);
//
// Only GET and HEAD (405 otherwise), only files whose extension is in the content-type table,
// only regular files that really lie inside the folder: a path with a "." or ".." segment, a
// segment starting with a dot (hidden files), a backslash or a control character, or one whose
// real path (symbolic links followed) leaves the folder, is answered 404 without saying why.
// "/Portico" redirects to "/Portico/", and a path ending in "/" names that folder's index.html.
//
// Every reply carries the page's security headers: a Content-Security-Policy that allows
// scripts, styles, images and connections from this origin only (no inline script, no frames),
// X-Content-Type-Options nosniff, no referrer. HTML is revalidated on every load (no-cache),
// scripts and styles are kept a minute, images an hour; each file has an ETag (its size and
// modification time) and a matching If-None-Match gets 304.
//
// The page and its assets need no session: they hold no data. Everything the page shows comes
// from /api, which needs the login cookie.
//
// Thread contract: immutable after construction; Serve from any thread (it reads the disk).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel::bridge {

inline constexpr std::string_view kWebPath = "/Portico";
// Files larger than this are not served (the front end's largest file is a few hundred KiB).
inline constexpr size_t kMaxWebFileBytes = 8u << 20;

struct WebReply {
  int http_status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // The value of a header, "" when absent (tests).
  std::string Header(std::string_view name) const;
};

class WebFolder {
 public:
  // root: the folder's path; "" serves nothing (every path 404).
  explicit WebFolder(std::string root);

  // True for the paths this folder answers: "/Portico" and everything below "/Portico/".
  static bool Mounted(std::string_view path);
  WebReply Serve(std::string_view method, std::string_view path,
                 std::string_view if_none_match) const;

  // The content type of a file name by its extension (letter case ignored); "" when the
  // extension is not one the front end uses (such files are not served).
  static std::string_view ContentType(std::string_view file_name);
  // The Cache-Control value for a content type.
  static std::string_view CacheControl(std::string_view content_type);
  static const char* SecurityPolicy();

  // The folder the daemon serves when not told otherwise: <program dir>/../share/zelcommsrv/web
  // when it holds index.html (an installed program), else the source tree's web/ (a program run
  // from its build tree).
  static std::string DefaultRoot();

  const std::string& root() const { return root_; }

 private:
  std::string root_;  // canonical, without a trailing slash; "" when none
};

}  // namespace zel::bridge
