#include "update/download/update_url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "update/download/update_redirect.h"

namespace tl {
namespace {

std::string formatted(const Result<UpdateUrl>& url) {
  if (!url.ok()) return std::string(errorName(url.error()));
  Result<std::string> text = formatUpdateUrl(*url);
  return text.ok() ? *text : "?";
}

struct UrlCase {
  std::string text;
  std::string expect;  // the URL written out again, or the error's name
};

TEST(ParseUpdateUrl, AcceptsHttpsAnywhereAndHttpOnlyToThisMachine) {
  const std::string longPath = "https://example.com/" + std::string(8192 - 20, 'a');
  // Each byte from 0x80 up goes on the wire as three.
  const std::string longWire = "https://example.com/" + std::string((8192 - 20) / 3, '\xff');
  const UrlCase cases[] = {
      {"https://example.com/a/b?x=1", "https://example.com/a/b?x=1"},
      {"https://example.com", "https://example.com"},
      {"https://example.com:/x", "https://example.com/x"},
      {"https://example.com:65535/x", "https://example.com:65535/x"},
      {"https://example.com:00443/x", "https://example.com:443/x"},
      {"https://example.com/caf\xc3\xa9", "https://example.com/caf\xc3\xa9"},
      {longPath, longPath},
      {"http://LocalHost:8080/f", "http://127.0.0.1:8080/f"},
      {"http://127.200.0.1/f", "http://127.200.0.1/f"},
      {"http://[::1]/f", "http://[::1]/f"},
      {"http://[0:0:0:0:0:0:0:1]:9/f", "http://[0:0:0:0:0:0:0:1]:9/f"},
      // Not loopback literals of RFC 3986, whatever a resolver makes of them.
      {"http://0127.0.0.1/f", "InsecureUpdateUrl"},
      {"http://127.1/f", "InsecureUpdateUrl"},
      {"http://2130706433/f", "InsecureUpdateUrl"},
      {"http://127.000.0.1/f", "InsecureUpdateUrl"},
      {"http://[::ffff:127.0.0.1]/f", "InsecureUpdateUrl"},
      {"http://localhost./f", "InsecureUpdateUrl"},
      {"http://10.0.0.1/f", "InsecureUpdateUrl"},
      {"ftp://example.com/f", "InsecureUpdateUrl"},
      {"HTTPS://example.com/f", "InsecureUpdateUrl"},
      {"Http://127.0.0.1/f", "InsecureUpdateUrl"},
      {"https://user@example.com/f", "InvalidUpdateUrl"},
      {"https://user:pw@example.com/f", "InvalidUpdateUrl"},
      {"https://example.com/f#part", "InvalidUpdateUrl"},
      {"https://example.com:0/f", "InvalidUpdateUrl"},
      {"https://example.com:000/f", "InvalidUpdateUrl"},
      {"https://example.com:65536/f", "InvalidUpdateUrl"},
      {"https://example.com:99999999999999999999/f", "InvalidUpdateUrl"},
      {"https://ex%41mple.com/f", "InvalidUpdateUrl"},
      {"https://exa mple.com/f", "InvalidUpdateUrl"},
      {"https://example.com/a\\b", "InvalidUpdateUrl"},
      {"https://example.com/a\x7f", "InvalidUpdateUrl"},
      {"https://example.com/a{b", "InvalidUpdateUrl"},
      {"https://example.com/%zz", "InvalidUpdateUrl"},
      {"https://[::1/f", "InvalidUpdateUrl"},
      {"https:///f", "InvalidUpdateUrl"},
      {"ftp://user@example.com/f", "InvalidUpdateUrl"},
      {"mailto:someone@example.com", "InvalidUpdateUrl"},
      {"//example.com/f", "InvalidUpdateUrl"},
      {"", "InvalidUpdateUrl"},
      {longPath + "a", "InvalidUpdateUrl"},
      {longWire, longWire},
      {longWire + "\xff", "InvalidUpdateUrl"},
      {longWire + "?", "InvalidUpdateUrl"},
  };
  for (const UrlCase& c : cases) {
    EXPECT_EQ(formatted(parseUpdateUrl(c.text)), c.expect) << c.text;
  }
}

TEST(ParseUpdateUrl, TransferTextEscapesOnlyHighBytes) {
  Result<UpdateUrl> url = parseUpdateUrl("https://example.com/caf\xc3\xa9/%41?q=\xff");
  ASSERT_TRUE(url.ok());
  EXPECT_EQ(*updateUrlForTransfer(*url), "https://example.com/caf%C3%A9/%41?q=%FF");
}

TEST(BuildUpdateUrl, StripsTrailingSlashesAndEncodesTheFileName) {
  EXPECT_EQ(*buildUpdateUrl("https://h/base///", "a b+c.tar", "t"), "https://h/base/a%20b%2Bc.tar?cache=t");
  EXPECT_EQ(*buildUpdateUrl("https://h", "x-_.~\xc3\xa9/", "0123abcd"), "https://h/x-_.~%C3%A9%2F?cache=0123abcd");
}

struct RedirectCase {
  std::string from;
  std::optional<std::string> location;
  std::string expect;  // the next URL, or the error's name
};

TEST(FollowUpdateRedirect, ResolvesAndChecksTheLocation) {
  const RedirectCase cases[] = {
      {"https://example.com:8443/d/f?q", "/x?y", "https://example.com:8443/x?y"},
      {"https://example.com/d/f?q", "g", "https://example.com/d/g"},
      {"https://example.com/d/e/f", "../g", "https://example.com/d/g"},
      {"https://example.com/d/f?q", "?y", "https://example.com/d/f?y"},
      {"https://example.com/d/f", "//other.example/p", "https://other.example/p"},
      {"https://example.com/d/f", "https://other.example:444/p", "https://other.example:444/p"},
      {"https://example.com", "a/./b/../c", "https://example.com/a/c"},
      {"https://example.com/d/f", "http://127.0.0.1/p", "UpdateRedirectDowngrade"},
      {"https://example.com/d/f", "http://10.0.0.1/p", "InsecureUpdateUrl"},
      {"http://127.0.0.1/d/f", "http://127.0.0.1:81/p", "UnsafeUpdateRedirect"},
      {"http://127.0.0.1/d/f", "http://127.0.0.2/p", "UnsafeUpdateRedirect"},
      {"http://127.0.0.1/d/f", "http://127.0.0.1:80/p", "http://127.0.0.1:80/p"},
      {"http://127.0.0.1:8080/d/f", "http://localhost:8080/p", "http://127.0.0.1:8080/p"},
      {"http://127.0.0.1/d/f", "https://example.com/p", "https://example.com/p"},
      {"https://example.com/d/f", "/p#part", "InvalidUpdateUrl"},
      {"https://example.com/d/f", std::nullopt, "UpdateRedirectLocationMissing"},
      {"https://example.com/d/f", "", "InvalidUpdateRedirect"},
      {"https://example.com/d/f", "/" + std::string(8192, 'a'), "InvalidUpdateRedirect"},
      {"https://example.com/d/f", "/a b", "InvalidUpdateRedirect"},
      {"https://example.com/d/f", "/a\\b", "InvalidUpdateRedirect"},
      {"https://example.com/d/f", "/a\x01" "b", "InvalidUpdateRedirect"},
      {"https://example.com/d/f", "/a[b", "InvalidUpdateRedirect"},
  };
  for (const RedirectCase& c : cases) {
    Result<UpdateUrl> from = parseUpdateUrl(c.from);
    ASSERT_TRUE(from.ok()) << c.from;
    EXPECT_EQ(formatted(followUpdateRedirect(*from, c.location)), c.expect) << c.from << " -> " << c.location.value_or("(none)");
  }
}

}  // namespace
}  // namespace tl
