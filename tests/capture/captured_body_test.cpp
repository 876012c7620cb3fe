// Captured bodies: held to the tools' content limit, cut at whole characters, no NUL.
#include "capture/captured_body.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace nodrel::capture {
namespace {

std::string repeat(const std::string& unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

TEST(CapturedBody, QuestionAndAnswerAreCutSoTheWholeFits) {
  const std::string family = "\U0001F469\u200D\U0001F469\u200D\U0001F467";  // one character
  struct Case {
    std::string name;
    std::string question;
    std::string answer;
    std::size_t wantQuestion;  // characters of each half in the body, "…" included
    std::size_t wantAnswer;
  };
  const Case cases[] = {
      {"fits", "q", std::string(4991, 'a'), 1, 4991},
      {"long answer takes the rest", "why?", std::string(20000, 'a'), 4, 4988},
      {"long question takes the rest", std::string(9000, 'q'), "ok", 4990, 2},
      {"both long share the room", std::string(9000, 'q'), std::string(9000, 'a'), 2496, 2496},
      {"clusters are never split", repeat(family, 3000), repeat(family, 3000), 2496, 2496},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body = questionAndAnswerBody(c.question, c.answer);
    EXPECT_LE(platform::graphemeCount(body), kMaxCapturedBodyCharacters);
    ASSERT_EQ(body.rfind("Q: ", 0), 0u);
    const std::size_t separator = body.find("\n\nA: ");
    ASSERT_NE(separator, std::string::npos);
    const std::string question = body.substr(3, separator - 3);
    const std::string answer = body.substr(separator + 5);
    EXPECT_EQ(platform::graphemeCount(question), c.wantQuestion);
    EXPECT_EQ(platform::graphemeCount(answer), c.wantAnswer);
    const bool cut = c.wantQuestion + c.wantAnswer <
                     platform::graphemeCount(c.question) + platform::graphemeCount(c.answer);
    if (cut) {
      EXPECT_TRUE(answer.ends_with("\u2026") || question.ends_with("\u2026"));
    }
  }
}

TEST(CapturedBody, NulIsDroppedAndOneHalfBodiesAreCutToo) {
  EXPECT_EQ(questionAndAnswerBody(std::string("a\0b", 3), std::string("\0c", 2)), "Q: ab\n\nA: c");
  EXPECT_EQ(cutText(std::string("x\0y", 3), 10), "xy");
  EXPECT_EQ(cutText("abcdef", 4), "abc\u2026");
  EXPECT_EQ(cutText("abcd", 4), "abcd");

  const std::string note(3'000'000, 'n');
  const std::string body = labelledBody("Q: ", std::string("[") + note + std::string("\0]", 2));
  EXPECT_EQ(platform::graphemeCount(body), kMaxCapturedBodyCharacters);
  EXPECT_EQ(body.find('\0'), std::string::npos);
  EXPECT_TRUE(body.ends_with("n\u2026"));
}

}  // namespace
}  // namespace nodrel::capture
