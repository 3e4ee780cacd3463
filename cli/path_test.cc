#include "cli/path.h"

#include <gtest/gtest.h>

#include "cli/zelctl.h"

namespace zel::cli {
namespace {

std::vector<PathSegment> Parse(const std::string& text) {
  std::vector<PathSegment> path;
  std::string error;
  EXPECT_EQ(S_OK, ParsePath(text, &path, &error)) << text << ": " << error;
  return path;
}

std::string ParseError(const std::string& text) {
  std::vector<PathSegment> path;
  std::string error;
  EXPECT_EQ(E_INVALIDARG, ParsePath(text, &path, &error)) << text;
  return error;
}

TEST(PathTest, MembersWithAndWithoutArguments) {
  auto path = Parse("Zones.Item(3).CurrCondition");
  ASSERT_EQ(3u, path.size());
  EXPECT_EQ((PathSegment{"Zones", false, {}}), path[0]);
  EXPECT_EQ((PathSegment{"Item", true, {3}}), path[1]);
  EXPECT_EQ((PathSegment{"CurrCondition", false, {}}), path[2]);
  EXPECT_EQ((PathSegment{"Stop", true, {}}), Parse("Stop()")[0]);
  EXPECT_EQ((std::vector<Json>{1234, 3}), Parse("Areas.Item(1).Arm( 1234 , 3 )")[2].args);
}

TEST(PathTest, ArgumentLiterals) {
  auto args = Parse(R"x(M(-2, 1.5, true, false, null, "a.b(c)", 'x y', "q\"x\\"))x")[0].args;
  EXPECT_EQ((std::vector<Json>{-2, 1.5, true, false, nullptr, "a.b(c)", "x y", "q\"x\\"}), args);
  // A code with a leading zero keeps its digits.
  EXPECT_EQ((std::vector<Json>{"0123"}), Parse("Login(\"0123\")")[0].args);
}

TEST(PathTest, FaultsNameTheirPosition) {
  EXPECT_EQ("expected a member name at position 1", ParseError(""));
  EXPECT_EQ("expected a member name at position 7", ParseError("Zones."));
  EXPECT_EQ("expected a member name at position 7", ParseError("Zones..Count"));
  EXPECT_EQ("expected ',' or ')' at position 7", ParseError("Item(3"));
  EXPECT_EQ("expected an argument at position 6", ParseError("Item(zone)"));
  EXPECT_EQ("expected an argument at position 6", ParseError("Item(\"open)"));
  EXPECT_EQ("expected '.' at position 8", ParseError("Item(3)x"));
  EXPECT_EQ("expected '.' at position 6", ParseError("Zones Count"));
}

TEST(PathTest, CommandLineLiterals) {
  EXPECT_EQ(Json(68), ParseLiteral("68"));
  EXPECT_EQ(Json(-1.5), ParseLiteral("-1.5"));
  EXPECT_EQ(Json(true), ParseLiteral("true"));
  EXPECT_EQ(Json(nullptr), ParseLiteral("null"));
  EXPECT_EQ(Json("0123"), ParseLiteral("0123"));
  EXPECT_EQ(Json("Front Door"), ParseLiteral("Front Door"));
  EXPECT_EQ(Json("68"), ParseLiteral("\"68\""));
  EXPECT_EQ(Json("12abc"), ParseLiteral("12abc"));
  EXPECT_EQ(Json(""), ParseLiteral(""));
}

TEST(DateTextTest, AutomationDates) {
  EXPECT_EQ("1899-12-30 00:00:00", DateText(0));
  EXPECT_EQ("1900-01-01 12:00:00", DateText(2.5));
  EXPECT_EQ("1899-12-29 06:00:00", DateText(-1.25));
  EXPECT_EQ("2023-03-15 18:00:00", DateText(45000.75));
  EXPECT_EQ("2000-02-29 23:59:59", DateText(36585 + 86399.0 / 86400));
  EXPECT_EQ("(invalid date)", DateText(1e300));
}

}  // namespace
}  // namespace zel::cli
