// Reading the site's reply and the success rule over the reply info.
#include <gtest/gtest.h>

#include "platform/Notifications.h"
#include "upload/HttpController.h"
#include "upload/UploadReply.h"

namespace sorv {
namespace {

TEST(UploadReplyTest, ParseTable) {
  using K = ParsedReply::Kind;
  struct Case {
    const char* what;
    std::string body;
    K kind;
    std::string status, message;  // message "" for parse errors: only non-empty is checked
  };
  const std::vector<Case> cases = {
      {"two children", "<r><a>OK</a><b>done</b></r>", K::Status, "OK", "done"},
      {"names not examined", "<x><message>OK</message><status>m</status><z/></x>", K::Status, "OK",
       "m"},
      {"string value of nested elements", "<r><s>O<i>K</i></s><m>a<![CDATA[b]]>c</m></r>",
       K::Status, "OK", "abc"},
      {"whitespace between children is no child", "<r>\n  <s>OK</s>\n  <m>x</m>\n</r>", K::Status,
       "OK", "x"},
      {"text node counts as a child", "<r>lead<s>OK</s></r>", K::Status, "lead", "OK"},
      {"Mac OS Roman bytes", "<r><s>OK</s><m>Jos\x8e</m></r>", K::Status, "OK", "Jos\xc3\xa9"},
      {"UTF-8 kept as it is", "<r><s>OK</s><m>M\xc3\xbcller \xe2\x9c\x93</m></r>", K::Status, "OK",
       "M\xc3\xbcller \xe2\x9c\x93"},
      {"broken UTF-8 read as Mac OS Roman", "<r><s>OK</s><m>\xc3\x28</m></r>", K::Status, "OK",
       "\xe2\x88\x9a("},
      {"entities", "<r><s>OK</s><m>a &amp; b</m></r>", K::Status, "OK", "a & b"},
      {"one child", "<r><s>OK</s></r>", K::TooFewChildren, "", ""},
      {"empty root", "<r/>", K::TooFewChildren, "", ""},
      {"not XML", "Internal Server Error", K::ParseError, "", ""},
      {"empty body", "", K::ParseError, "", ""},
      {"unterminated", "<r><s>OK</s><m>done</r>", K::ParseError, "", ""},
      {"oversized", "<r><s>OK</s><m>" + std::string(kMaxHttpReplyBytes, 'x') + "</m></r>",
       K::ParseError, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ParsedReply r = parseUploadReply(c.body);
    EXPECT_EQ(r.kind, c.kind);
    if (c.kind == K::Status) {
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.message, c.message);
    }
    if (c.kind == K::ParseError) {
      EXPECT_FALSE(r.message.empty());
      Dict info;
      addUploadStatusKeys(r, &info);
      EXPECT_EQ(*dictGetString(info, kHttpOurCustomStatus), "FAIL");
      EXPECT_EQ(*dictGetString(info, kHttpOurCustomMessage), r.message);
    }
    if (c.kind == K::TooFewChildren) {
      Dict info;
      addUploadStatusKeys(r, &info);
      EXPECT_EQ(*dictGetString(info, kHttpOurCustomStatus), "FAIL");
      EXPECT_EQ(*dictGetString(info, kHttpOurCustomMessage), "Not enough data returned...");
    }
  }
}

TEST(UploadReplyTest, ClassificationTable) {
  auto err = Value(Dict{{"code", Value(7)}, {"localizedDescription", Value("x")}});
  struct Case {
    const char* what;
    Dict reply;
    bool success;
  };
  const std::vector<Case> cases = {
      {"200 OK", {{kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value("OK")}}, true},
      {"200 ok in lower case",
       {{kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value("ok")}},
       true},
      {"200 FAIL", {{kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value("fAiL")}}, false},
      {"200 ERROR", {{kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value("Error")}}, false},
      {"200 Warning, no e-mail addresses",
       {{kHttpStatusCode, Value(200)},
        {kHttpOurCustomStatus, Value("WARNING")},
        {kHttpOurCustomMessage, Value("no email addresses sent")}},
       true},
      {"200 Warning, other message",
       {{kHttpStatusCode, Value(200)},
        {kHttpOurCustomStatus, Value("Warning")},
        {kHttpOurCustomMessage, Value("Bad photo")}},
       false},
      {"Warning without a message", {{kHttpOurCustomStatus, Value("Warning")}}, false},
      {"500 OK", {{kHttpStatusCode, Value(500)}, {kHttpOurCustomStatus, Value("OK")}}, false},
      {"500 and no e-mail warning",
       {{kHttpStatusCode, Value(500)},
        {kHttpOurCustomStatus, Value("Warning")},
        {kHttpOurCustomMessage, Value("No Email Addresses Sent")}},
       false},
      {"no status code, OK", {{kHttpOurCustomStatus, Value("OK")}}, true},
      {"transport error, no response", {{kHttpError, err}}, false},
      {"transport error with 200 OK",
       {{kHttpError, err}, {kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value("OK")}},
       false},
      {"custom error", {{kHttpOurCustomError, Value("x")}, {kHttpStatusCode, Value(200)}}, false},
      {"other status",
       {{kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value("Queued")}},
       true},
      {"nothing at all", {}, true},
      {"padded ERROR",
       {{kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value(" ERROR ")}},
       false},
      {"FAIL and a line end",
       {{kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value("\tFAIL\r\n")}},
       false},
      {"padded no e-mail warning",
       {{kHttpStatusCode, Value(200)},
        {kHttpOurCustomStatus, Value("Warning\n")},
        {kHttpOurCustomMessage, Value(" No Email Addresses Sent\n")}},
       true},
      {"FAIL inside a longer word",
       {{kHttpStatusCode, Value(200)}, {kHttpOurCustomStatus, Value("FAILED")}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(isUploadReplySuccess(c.reply), c.success);
  }
}

}  // namespace
}  // namespace sorv
