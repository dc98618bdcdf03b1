// Address parsing, relocation targets and the response pieces of the HTTP
// client: header lines, status line, fields, chunked bodies.
#include <gtest/gtest.h>

#include <string>

#include "net/http_request.h"
#include "net/http_response_parser.h"
#include "net/http_url.h"

namespace n2 {
namespace {

HttpUrl Url(std::string protocol, std::string user, std::string password, std::string host, std::string port,
            std::string path) {
  return HttpUrl{std::move(protocol), std::move(user), std::move(password), std::move(host), std::move(port),
                 std::move(path)};
}

TEST(HttpUrlParse, SplitsEveryPartAndFillsDefaults) {
  EXPECT_EQ(ParseHttpUrl("http://server/dir/N2AddBook.zip"), Url("http", "", "", "server", "80", "/dir/N2AddBook.zip"));
  EXPECT_EQ(ParseHttpUrl("http://server:8080/dir/"), Url("http", "", "", "server", "8080", "/dir/"));
  EXPECT_EQ(ParseHttpUrl("HTTP://me:pw:x@host:81/p?q=1"), Url("http", "me", "pw:x", "host", "81", "/p?q=1"));
  EXPECT_EQ(ParseHttpUrl("http://me@host"), Url("http", "me", "", "host", "80", "/"));
  EXPECT_EQ(ParseHttpUrl("http://host?x=/y"), Url("http", "", "", "host", "80", "?x=/y"));
  EXPECT_EQ(ParseHttpUrl("https://secure/"), Url("https", "", "", "secure", "80", "/"));
  // The last "@" ends the credentials, split at their first ":".
  HttpUrl two_at = ParseHttpUrl("http://a@b:c@host/");
  EXPECT_EQ(two_at.user, "a@b");
  EXPECT_EQ(two_at.password, "c");
  EXPECT_EQ(two_at.host, "host");
  EXPECT_EQ(two_at.port, "80");
}

TEST(HttpUrlParse, ReadsAddressesWithoutSchemeAsHostOrPath) {
  EXPECT_EQ(ParseHttpUrl("server:81/a"), Url("http", "", "", "server", "81", "/a"));
  EXPECT_EQ(ParseHttpUrl("/only/path"), Url("http", "", "", "", "80", "/only/path"));
  // A "scheme" with a character no scheme has is part of the host.
  EXPECT_EQ(ParseHttpUrl("a b://x/").host, "a b");
}

TEST(HttpUrlParse, PathWithoutLeadingSlashRunsIntoTheHost) {
  // The server text and a path typed without its leading "/".
  EXPECT_EQ(ParseHttpUrl("http://serverdir/N2AddBook.zip").host, "serverdir");
  EXPECT_EQ(ParseHttpUrl("http://server/dirN2AddBook.zip").path, "/dirN2AddBook.zip");
}

TEST(HttpUrlParse, TextLeavesOutPort80AndCredentials) {
  EXPECT_EQ(ParseHttpUrl("http://me:pw@h/x").Text(), "http://h/x");
  EXPECT_EQ(ParseHttpUrl("http://h:8080/x").Text(), "http://h:8080/x");
}

TEST(HttpLocation, ResolvesAbsoluteRootedAndRelativeValues) {
  HttpUrl current = ParseHttpUrl("http://host:8080/a/b.zip?x=/y");
  EXPECT_EQ(ResolveHttpLocation(current, "c.zip"), Url("http", "", "", "host", "8080", "/a/c.zip"));
  EXPECT_EQ(ResolveHttpLocation(current, "/root.zip"), Url("http", "", "", "host", "8080", "/root.zip"));
  EXPECT_EQ(ResolveHttpLocation(current, "HTTP://other/z"), Url("http", "", "", "other", "80", "/z"));
  EXPECT_EQ(ResolveHttpLocation(current, "https://other/z").protocol, "https");
  EXPECT_EQ(ResolveHttpLocation(ParseHttpUrl("http://h/"), "f").path, "/f");
}

TEST(HttpRequestTarget, EscapesWhatMayNotStandRawAndKeepsTheRest) {
  const struct {
    std::string utf8, target;
  } rows[] = {
      {"/dir/N2AddBook.zip", "/dir/N2AddBook.zip"},
      {"/-._~!$&'()*+,;=:@/x?a=/b&c#[]", "/-._~!$&'()*+,;=:@/x?a=/b&c#[]"},  // what a path or query holds raw
      {"/\xE8\xA1\xA8 \xE3\x82\xBD/", "/%E8%A1%A8%20%E3%82%BD/"},           // 表 ソ: each UTF-8 byte escaped
      {"/a%20b%2f/%zz%4/%", "/a%20b%2f/%25zz%254/%25"},                      // valid escapes kept as they are
      {"/\"<>\\^`{|}", "/%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {std::string("/\t\r\n\x7F\0", 6), "/%09%0D%0A%7F%00"},
      {"/q?x=\xE3\x82\xA2 1", "/q?x=%E3%82%A2%201"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(EncodeHttpRequestTarget(row.utf8), row.target) << row.utf8;
    EXPECT_EQ(EncodeHttpRequestTarget(row.target), row.target) << "encoded twice: " << row.utf8;
  }
}

TEST(HttpLineReader, CutsLinesAtLfDroppingOneCr) {
  HttpLineReader reader;
  std::string data = "HTTP/1.0 200 OK\r\nA: b\nC: d\r\r\n\r\nbody";
  reader.Append(data.data(), 10);
  EXPECT_FALSE(reader.NextLine());
  reader.Append(data.data() + 10, data.size() - 10);
  EXPECT_EQ(*reader.NextLine(), "HTTP/1.0 200 OK");
  EXPECT_EQ(*reader.NextLine(), "A: b");
  EXPECT_EQ(*reader.NextLine(), "C: d\r");
  EXPECT_EQ(*reader.NextLine(), "");
  EXPECT_FALSE(reader.NextLine());
  EXPECT_EQ(reader.Rest(), "body");
  reader.Consume(2);
  EXPECT_EQ(reader.Rest(), "dy");
}

TEST(HttpLineReader, NoticesALineThatNeverEnds) {
  HttpLineReader reader;
  std::string block(4096, 'x');
  while (!reader.Overlong()) {
    reader.Append(block.data(), block.size());
    ASSERT_FALSE(reader.NextLine());
    ASSERT_LE(reader.RestSize(), HttpLineReader::kMaxLine + block.size());
  }
  // A line over the limit that arrives whole, LF and all, is refused the same way.
  HttpLineReader whole;
  const std::string line = std::string(HttpLineReader::kMaxLine, 'x') + "\nnext\n";
  whole.Append(line.data(), line.size());
  EXPECT_FALSE(whole.NextLine());
  EXPECT_TRUE(whole.Overlong());
  HttpLineReader longest;
  const std::string fits = std::string(HttpLineReader::kMaxLine - 1, 'x') + "\n";
  longest.Append(fits.data(), fits.size());
  EXPECT_EQ(longest.NextLine()->size(), HttpLineReader::kMaxLine - 1);
}

TEST(HttpStatusLineParse, TakesVersionCodeAndReason) {
  auto s = ParseHttpStatusLine("HTTP/1.1 404 Not Found");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, "1.1");
  EXPECT_EQ(s->code, 404);
  EXPECT_EQ(s->reason, "Not Found");
  s = ParseHttpStatusLine("HTTP/1.0   302 Moved here");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->code, 302);
  EXPECT_EQ(s->reason, "Moved here");
  s = ParseHttpStatusLine("HTTP/1.0 200");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->code, 200);
  EXPECT_EQ(s->reason, "");
  EXPECT_FALSE(ParseHttpStatusLine("http/1.0 200 OK"));
  EXPECT_FALSE(ParseHttpStatusLine("HTTP/2 200 OK"));
  EXPECT_FALSE(ParseHttpStatusLine("HTTP/1."));
}

TEST(HttpHeaderParse, FieldsHeaderlessHtmlAndContentLength) {
  auto f = ParseHttpHeaderField("Content-Type:   text/HTML");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->name, "content-type");
  EXPECT_EQ(f->value, "text/HTML");
  EXPECT_EQ(ParseHttpHeaderField("Location:a:b")->value, "a:b");
  EXPECT_FALSE(ParseHttpHeaderField("no colon"));
  EXPECT_TRUE(IsHeaderlessHtml("<html><body>"));
  EXPECT_TRUE(IsHeaderlessHtml("<!DocType html>"));
  EXPECT_FALSE(IsHeaderlessHtml("<htm"));
  EXPECT_FALSE(IsHeaderlessHtml("<head>"));
  EXPECT_EQ(ParseHttpContentLength(" 1234 "), 1234);
  EXPECT_EQ(ParseHttpContentLength("0"), 0);
  EXPECT_EQ(ParseHttpContentLength("12a"), -1);
  EXPECT_EQ(ParseHttpContentLength("-5"), -1);
  EXPECT_EQ(ParseHttpContentLength(""), -1);
  EXPECT_EQ(ParseHttpContentLength("99999999999999999999999"), -1);
  EXPECT_EQ(HttpTrimLower("  Keep-Alive \t"), "keep-alive");
}

TEST(HttpChallengeParamParse, FindsAParameterQuotedOrNotInAnyCase) {
  const struct {
    const char* challenge;
    std::optional<std::string> charset;
  } rows[] = {
      {"Basic realm=\"office\", charset=\"UTF-8\"", "UTF-8"},
      {"Basic CharSet=utf-8,realm=x", "utf-8"},
      {"Basic realm = \"a, \\\"b\\\"\" , charset = \"x\\y\"", "xy"},  // escapes in quoted values
      {"Basic realm=\"charset=\\\"UTF-8\\\"\"", std::nullopt},               // only inside the realm
      {"Basic realm=\"x\", NTLM, charset=UTF-8", std::nullopt},                 // the next challenge's
      {"Basic", std::nullopt},
      {"Basic realm=\"unterminated", std::nullopt},
      {"Basic ==,=", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(HttpChallengeParam(row.challenge, "charset"), row.charset) << row.challenge;
  EXPECT_EQ(HttpChallengeParam("Basic realm=\"a b\"", "REALM"), "a b");
}

std::string DecodeChunked(const std::string& body, size_t step, size_t* taken = nullptr, bool* done = nullptr) {
  HttpChunkedDecoder decoder;
  std::string out;
  size_t total = 0;
  for (size_t i = 0; i < body.size() && !decoder.Done() && !decoder.Failed(); i += step) {
    size_t n = std::min(step, body.size() - i);
    total += decoder.Feed(body.data() + i, n, [&](const char* p, size_t c) { out.append(p, c); });
  }
  if (taken) *taken = total;
  if (done) *done = decoder.Done();
  return out;
}

TEST(HttpChunked, DecodesWhateverWayTheBytesArrive) {
  const std::string body = "5;name=x\r\nhello\r\nA\r\n0123456789\r\n0\r\n\r\nafter";
  for (size_t step : {1u, 2u, 3u, 7u, 100u}) {
    size_t taken = 0;
    bool done = false;
    EXPECT_EQ(DecodeChunked(body, step, &taken, &done), "hello0123456789") << step;
    EXPECT_TRUE(done);
    if (step == 1 || step == 100) {
      EXPECT_EQ(body.substr(taken), "after") << step;
    }
  }
}

TEST(HttpChunked, RefusesAnEndlessLengthAndWaitsForAnUnfinishedBody) {
  size_t taken = 0;
  bool done = true;
  EXPECT_EQ(DecodeChunked("5\r\nhel", 100, &taken, &done), "hel");
  EXPECT_FALSE(done);
  EXPECT_EQ(DecodeChunked("5\nhello\n0\n\n", 1, &taken, &done), "hello");  // LF alone ends lines too
  EXPECT_TRUE(done);
  // Malformed bodies fail, however the bytes arrive, instead of ending as complete.
  for (const char* body : {"5\r\nhello\r\n\r\n5\r\nworld\r\n0\r\n\r\n",  // empty length line
                           "5\r\nhello\r\nworld\r\n0\r\n\r\n",              // no length at all
                           "\r\n",                                                  // nothing but a line end
                           "5\r\nhello 5\r\nworld\r\n0\r\n\r\n",            // bytes after the data
                           "5\r\nhello\r0\r\n\r\n"}) {                           // CR without LF
    for (size_t step : {1u, 100u}) {
      HttpChunkedDecoder decoder;
      std::string text = body;
      for (size_t i = 0; i < text.size() && !decoder.Failed(); i += step)
        decoder.Feed(text.data() + i, std::min(step, text.size() - i), [](const char*, size_t) {});
      EXPECT_TRUE(decoder.Failed()) << body << " " << step;
      EXPECT_FALSE(decoder.Done());
    }
  }
  HttpChunkedDecoder decoder;
  std::string huge(40, 'f');
  decoder.Feed(huge.data(), huge.size(), [](const char*, size_t) { FAIL(); });
  EXPECT_TRUE(decoder.Failed());
}

TEST(HttpRequestHeadBuild, KeepsTheFixedOrderAndLeavesOutEmptyLines) {
  HttpRequestHead head;
  head.method = "GET";
  head.path = "/dir/N2AddBook.zip";
  head.version = "1.0";
  head.accept = "*/*";
  head.user_agent = "Agent";
  head.host = "server";
  head.port = "80";
  EXPECT_EQ(BuildHttpRequestHead(head),
            "GET /dir/N2AddBook.zip HTTP/1.0\r\nAccept: */*\r\nUser-Agent: Agent\r\nHost: server\r\n\r\n");
  head.port = "";
  EXPECT_EQ(BuildHttpRequestHead(head).find("Host: server\r\n") != std::string::npos, true);
  head.method = "PUT";
  head.port = "8080";
  head.from = "me@x";
  head.referer = "http://r/";
  head.connection = "Keep-alive";
  head.accept_language = "en";
  head.content_type = "application/x-www-form-urlencoded";
  head.no_cache = true;
  head.content_length = 0;
  head.authorization = "Basic dTpw";
  head.cookie = "a=b";
  head.if_modified_since = "Sat, 01 Jan 2000 00:00:00 GMT";
  head.if_none_match = "\"5e-1\"";
  EXPECT_EQ(BuildHttpRequestHead(head),
            "PUT /dir/N2AddBook.zip HTTP/1.0\r\nFrom: me@x\r\nAccept: */*\r\nReferer: http://r/\r\n"
            "Connection: Keep-alive\r\nAccept-Language: en\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "User-Agent: Agent\r\nHost: server:8080\r\nPragma: no-cache\r\nContent-Length: 0\r\n"
            "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\nIf-None-Match: \"5e-1\"\r\n"
            "Authorization: Basic dTpw\r\nCookie: a=b\r\n\r\n");
}

}  // namespace
}  // namespace n2
