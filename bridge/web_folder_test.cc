// The web front end's files: the content-type and caching tables, the refusals that keep the
// folder's outside and its hidden files out of reach, and the security headers, first on
// WebFolder itself and then through the bridge's TCP listener with no credential.
#include "bridge/web_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "bridge/bridge_test_util.h"
#include "testing/temp_dir.h"

namespace zel::bridge {
namespace {

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(WebFolderTableTest, ContentTypeAndCachingByExtension) {
  struct Row {
    const char* name;
    const char* type;
    const char* cache;
  };
  const Row rows[] = {
      {"index.html", "text/html; charset=utf-8", "no-cache"},
      {"help.htm", "text/html; charset=utf-8", "no-cache"},
      {"register.asp", "text/html; charset=utf-8", "no-cache"},
      {"app.js", "text/javascript; charset=utf-8", "max-age=60"},
      {"lib/api.mjs", "text/javascript; charset=utf-8", "max-age=60"},
      {"style.css", "text/css; charset=utf-8", "max-age=60"},
      {"manifest.json", "application/json", "max-age=60"},
      {"icon.svg", "image/svg+xml", "max-age=3600"},
      {"shot.png", "image/png", "max-age=3600"},
      {"favicon.ico", "image/x-icon", "max-age=3600"},
      {"photo.webp", "image/webp", "max-age=3600"},
      {"font.woff2", "font/woff2", "max-age=3600"},
      {"notes.txt", "text/plain; charset=utf-8", "max-age=60"},
      {"INDEX.HTML", "text/html; charset=utf-8", "no-cache"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.type, WebFolder::ContentType(r.name)) << r.name;
    EXPECT_EQ(r.cache, WebFolder::CacheControl(WebFolder::ContentType(r.name))) << r.name;
  }
  // Anything else is not part of the front end and is not served.
  for (const char* name : {"README.md", "run.sh", "x.cc", "Makefile", "archive.tar.gz", ".js",
                           "dir.js/", "app.js.bak", "noext"}) {
    EXPECT_EQ("", WebFolder::ContentType(name)) << name;
  }
}

TEST(WebFolderTableTest, OnlyTheMountIsAnswered) {
  EXPECT_TRUE(WebFolder::Mounted("/Portico"));
  EXPECT_TRUE(WebFolder::Mounted("/Portico/"));
  EXPECT_TRUE(WebFolder::Mounted("/Portico/app.js"));
  EXPECT_FALSE(WebFolder::Mounted("/PorticoX/app.js"));
  EXPECT_FALSE(WebFolder::Mounted("/portico/"));
  EXPECT_FALSE(WebFolder::Mounted("/api/v1/events"));
  EXPECT_FALSE(WebFolder::Mounted("/"));
}

class WebFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path() + "/web";
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
    ASSERT_EQ(0, mkdir((root_ + "/js").c_str(), 0755));
    ASSERT_EQ(0, mkdir((root_ + "/.git").c_str(), 0755));
    Write(root_ + "/index.html", "<!doctype html><title>t</title>");
    Write(root_ + "/js/app.js", "export const x = 1;\n");
    Write(root_ + "/.secret.js", "hidden");
    Write(root_ + "/.git/config.txt", "hidden");
    Write(root_ + "/README.md", "# notes");
    Write(dir_.path() + "/outside.html", "outside");
    ASSERT_EQ(0, symlink((dir_.path() + "/outside.html").c_str(), (root_ + "/out.html").c_str()));
    ASSERT_EQ(0, symlink("js/app.js", (root_ + "/alias.js").c_str()));
    ASSERT_EQ(0, symlink(dir_.path().c_str(), (root_ + "/up").c_str()));
    web_ = std::make_unique<WebFolder>(root_);
  }

  TempDir dir_{"web"};
  std::string root_;
  std::unique_ptr<WebFolder> web_;
};

TEST_F(WebFolderTest, ServesFilesWithTheirTypeCachingAndSecurityHeaders) {
  WebReply r = web_->Serve("GET", "/Portico/", "");
  ASSERT_EQ(200, r.http_status);
  EXPECT_EQ("<!doctype html><title>t</title>", r.body);
  EXPECT_EQ("text/html; charset=utf-8", r.Header("Content-Type"));
  EXPECT_EQ("no-cache", r.Header("Cache-Control"));
  EXPECT_EQ("nosniff", r.Header("X-Content-Type-Options"));
  EXPECT_EQ("no-referrer", r.Header("Referrer-Policy"));
  const std::string csp = r.Header("Content-Security-Policy");
  EXPECT_NE(std::string::npos, csp.find("default-src 'self'"));
  EXPECT_NE(std::string::npos, csp.find("script-src 'self'"));
  EXPECT_NE(std::string::npos, csp.find("frame-ancestors 'none'"));
  EXPECT_EQ(std::string::npos, csp.find("unsafe-inline"));
  EXPECT_EQ(std::string::npos, csp.find("unsafe-eval"));

  r = web_->Serve("HEAD", "/Portico/js/app.js", "");
  ASSERT_EQ(200, r.http_status);
  EXPECT_EQ("text/javascript; charset=utf-8", r.Header("Content-Type"));
  EXPECT_EQ("max-age=60", r.Header("Cache-Control"));

  // A symbolic link that stays inside the folder is followed.
  EXPECT_EQ(200, web_->Serve("GET", "/Portico/alias.js", "").http_status);
}

TEST_F(WebFolderTest, TheTagOfAnUnchangedFileAnswers304) {
  WebReply first = web_->Serve("GET", "/Portico/js/app.js", "");
  const std::string tag = first.Header("ETag");
  ASSERT_FALSE(tag.empty());
  WebReply again = web_->Serve("GET", "/Portico/js/app.js", tag);
  EXPECT_EQ(304, again.http_status);
  EXPECT_TRUE(again.body.empty());
  EXPECT_EQ(tag, again.Header("ETag"));
  // A changed file gets a new tag (its size changed), so the stale one is a full reply.
  Write(root_ + "/js/app.js", "export const x = 22;\n");
  WebReply changed = web_->Serve("GET", "/Portico/js/app.js", tag);
  EXPECT_EQ(200, changed.http_status);
  EXPECT_NE(tag, changed.Header("ETag"));
}

TEST_F(WebFolderTest, RefusesWhatLiesOutsideOrIsHiddenWith404) {
  for (const char* path : {
           "/Portico/../outside.html",  // a parent segment
           "/Portico/js/../../outside.html",
           "/Portico/./index.html",     // a dot segment
           "/Portico//index.html",      // an empty segment
           "/Portico/.secret.js",       // a hidden file
           "/Portico/.git/config.txt",  // inside a hidden folder
           "/Portico/out.html",         // a symbolic link out of the folder
           "/Portico/up/outside.html",  // a folder link out of it
           "/Portico/README.md",        // not a type of the front end
           "/Portico/js",               // a folder without an extension
           "/Portico/js/",              // a folder without an index
           "/Portico/missing.js",
           "/Portico/js\\app.js",      // a backslash
           "/Portico/index.html\x01",  // a control character
           "/Portico/index.html/",     // a file named as a folder
       }) {
    WebReply r = web_->Serve("GET", path, "");
    EXPECT_EQ(404, r.http_status) << path;
    EXPECT_EQ("no-store", r.Header("Cache-Control")) << path;
    EXPECT_EQ("nosniff", r.Header("X-Content-Type-Options")) << path;
    EXPECT_EQ(std::string::npos, r.body.find("outside")) << path;
    EXPECT_EQ(std::string::npos, r.body.find("hidden")) << path;
  }
}

TEST_F(WebFolderTest, OnlyGetAndHeadAndTheBareMountRedirects) {
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH", "get"}) {
    WebReply r = web_->Serve(method, "/Portico/index.html", "");
    EXPECT_EQ(405, r.http_status) << method;
    EXPECT_EQ("GET, HEAD", r.Header("Allow")) << method;
  }
  WebReply r = web_->Serve("GET", "/Portico", "");
  EXPECT_EQ(301, r.http_status);
  EXPECT_EQ("/Portico/", r.Header("Location"));
  // No folder: nothing at all.
  WebFolder none("");
  EXPECT_EQ(404, none.Serve("GET", "/Portico/index.html", "").http_status);
  WebFolder missing(dir_.path() + "/nowhere");
  EXPECT_EQ(404, missing.Serve("GET", "/Portico/", "").http_status);
}

TEST_F(WebFolderTest, TheTcpListenerServesThePageWithoutACredentialButNotTheApi) {
  BridgeOptions options = testing::TestBridgeOptions();
  options.web_folder = root_;
  testing::TestBridge server(std::move(options));
  ASSERT_EQ(S_OK, server.start_status());
  const uint16_t port = server.bridge().tcp_port();
  auto request = [&](const std::string& head) {
    testing::RawConnection c(port);
    EXPECT_TRUE(c.connected());
    c.Send(head);
    return c.ReadUntil("\r\n\r\n<", std::chrono::seconds(5));
  };
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  std::string page = request("GET /Portico/ HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
  EXPECT_EQ(0u, page.find("HTTP/1.1 200")) << page;
  EXPECT_NE(std::string::npos, page.find("Content-Security-Policy: default-src 'self'"));
  EXPECT_NE(std::string::npos, page.find("<!doctype html>"));

  std::string head =
      request("HEAD /Portico/js/app.js HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
  EXPECT_EQ(0u, head.find("HTTP/1.1 200")) << head;
  EXPECT_EQ(std::string::npos, head.find("export const"));

  std::string up =
      request("GET /Portico/%2e%2e/outside.html HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
  EXPECT_EQ(0u, up.find("HTTP/1.1 404")) << up;
  std::string post = request("POST /Portico/index.html HTTP/1.1\r\n" + host +
                             "Content-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(0u, post.find("HTTP/1.1 405")) << post;

  // A foreign Host is refused before the file is looked at, as for every request.
  std::string foreign =
      request("GET /Portico/ HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(0u, foreign.find("HTTP/1.1 403")) << foreign;
  // The page needs no credential; the API still does.
  std::string api = request("POST /api/v1/automation HTTP/1.1\r\n" + host +
                            "Content-Length: 16\r\nConnection: close\r\n\r\n{\"op\":\"session\"}");
  EXPECT_EQ(0u, api.find("HTTP/1.1 401")) << api;
}

}  // namespace
}  // namespace zel::bridge
