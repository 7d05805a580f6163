#include "llm/stream_context.h"

#include <chrono>
#include <ctime>

#include <gtest/gtest.h>

namespace morvelin {
namespace {

// A context whose onToken records every token, fed as libcurl would feed it.
struct Stream {
    std::vector<std::string> tokens;
    LlmClient::Callbacks callbacks{[this](std::string_view t) { tokens.emplace_back(t); }, {}, {}};
    std::stop_source stop;
    StreamContext context{nullptr, &callbacks, stop.get_token(), {}, {}, {}};

    std::size_t feed(std::string_view chunk) {
        return readStreamBytes(context, chunk) ? chunk.size() : 0;
    }
};

std::string tokenLine(std::string_view content) {
    return R"(data: {"id":"gen-1","object":"chat.completion.chunk","choices":[{"index":0,"delta":{"content":)" +
           nlohmann::json(std::string(content)).dump() + R"(},"finish_reason":null}]})";
}

// The pure line parser, on the lines real streams carry.
TEST(SseLineParser, TokensErrorsAndEverythingElse) {
    using Kind = SseLineEvent::Kind;
    struct Case {
        std::string line;
        Kind kind;
        std::string text{};
    };
    const std::vector<Case> cases = {
        {tokenLine("Hello"), Kind::Token, "Hello"},
        {R"(data:{"choices":[{"delta":{"content":"tight"}}]})", Kind::Token, "tight"},
        {tokenLine("crlf") + "\r", Kind::Token, "crlf"},
        {"data: [DONE]", Kind::Nothing},
        {"data: [DONE]\r", Kind::Nothing},
        {"data:[DONE]", Kind::Nothing},
        {": OPENROUTER PROCESSING", Kind::Nothing},
        {"", Kind::Nothing},
        {R"(data: {"id":"gen-1","choices":[],"usage":{"prompt_tokens":9,"completion_tokens":2}})",
         Kind::Nothing},
        {R"(data: {"choices":[{"delta":{"role":"assistant","content":""}}]})", Kind::Nothing},
        {R"(data: {"error":{"message":"Provider returned error","code":502}})", Kind::Error,
         "Provider returned error"},
        {R"(data: {"error":{"code":429}})", Kind::Error, R"({"code":429})"},
        {R"(data: {"error":"plain"})", Kind::Error, R"("plain")"},
        {"data: {\"error\":{\"message\":\"" + std::string(400, 'e') + "\"}}", Kind::Error,
         std::string(300, 'e') + "..."},
        {"data: {\"choices\":[{\"delta\":{\"content\":\"caf\xC3\"}}]}", Kind::Token,
         "caf\xEF\xBF\xBD"},
        // Too deep to be turned into a tree: quoted, never parsed.
        {"data: {\"error\":" + std::string(400, '[') + std::string(400, ']') + "}", Kind::Error,
         "{\"error\":" + std::string(291, '[') + "..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80));
        const SseLineEvent event = parseSseLine(c.line);
        EXPECT_EQ(event.kind, c.kind);
        EXPECT_EQ(event.text, c.text);
    }
}

TEST(SseLines, DataLinesYieldTheirFirstChoiceContent) {
    Stream s;
    handleSseLine(s.context, tokenLine("Hello"));
    handleSseLine(s.context, R"(data:{"choices":[{"delta":{"content":" world"}}]})");  // no blank
    handleSseLine(s.context, R"(data:  {"choices":[{"delta":{"content":"!"}}]})");     // two blanks
    handleSseLine(s.context,
                  R"(data: {"choices":[{"delta":{"content":"a"}},{"delta":{"content":"b"}}]})");
    handleSseLine(
        s.context,
        R"(data: {"choices":[{"delta":{"content":"x"}}],"choices":[{"delta":{"content":"last"}}]})");
    EXPECT_EQ(s.tokens, (std::vector<std::string>{"Hello", " world", "!", "a", "last"}));
    EXPECT_TRUE(s.context.streamError.empty());
}

TEST(SseLines, EverythingElseIsIgnored) {
    Stream s;
    for (const char* line : {
             "",
             ":",
             ": keep-alive",
             "data",
             "data:",
             "data: [DONE]",
             "DATA: {\"choices\":[]}",
             "event: message",
             "id: 4",
             "retry: 10",
             "data: not json",
             "data: [1,2]",
             "data: \"text\"",
             R"(data: {"choices":[]})",
             R"(data: {"choices":{}})",
             R"(data: {"choices":[{"delta":{}}]})",
             R"(data: {"choices":[{"delta":{"role":"assistant"}}]})",
             R"(data: {"choices":[{"delta":{"content":null}}]})",
             R"(data: {"choices":[{"delta":{"content":5}}]})",
             R"(data: {"choices":[{"delta":{"content":""}}]})",
             R"(data: {"choices":[{"delta":"text"}]})",
             R"(data: {"choices":["x",{"delta":{"content":"b"}}]})",
             R"(data: {"choices":[{"finish_reason":"stop","delta":{}}]})",
             R"(data: {"delta":{"content":"top"}})",
             R"(data: {"choices":[{"delta":{"content":"x"}}]} tail)",
             R"(data: {"a":{"choices":[{"delta":{"content":"deep"}}]}})",
             R"(data: {"choices":[{"delta":{"content":"x"}}],"choices":5})",
         }) {
        handleSseLine(s.context, line);
    }
    EXPECT_TRUE(s.tokens.empty()) << s.tokens.front();
    EXPECT_TRUE(s.context.streamError.empty());
}

TEST(SseLines, StreamErrorsAreRememberedAndTokensStillFlow) {
    Stream s;
    handleSseLine(s.context, R"(data: {"error":{"message":"Rate limited","code":429}})");
    EXPECT_EQ(s.context.streamError, "Rate limited");
    handleSseLine(s.context, tokenLine("after"));
    EXPECT_EQ(s.tokens, std::vector<std::string>{"after"});
    handleSseLine(s.context, R"(data: {"error":{"code":500,"détail":"x"}})");
    EXPECT_EQ(s.context.streamError, R"({"code":500,"détail":"x"})");
    handleSseLine(s.context, R"(data: {"error":"plain"})");
    EXPECT_EQ(s.context.streamError, R"("plain")");
    handleSseLine(s.context, R"(data: {"error":{"message":{"nested":true}}})");
    EXPECT_EQ(s.context.streamError, R"({"nested":true})");
    // An error member ends the line even when the object also carries content.
    handleSseLine(s.context, R"(data: {"choices":[{"delta":{"content":"no"}}],"error":null})");
    EXPECT_EQ(s.context.streamError, "null");
    EXPECT_EQ(s.tokens.size(), 1u);
}

TEST(SseLines, InvalidUtf8KeepsTheValidParts) {
    Stream s;
    handleSseLine(s.context,
                  "data: {\"choices\":[{\"delta\":{\"content\":\"bad\xFF ok \xE2\x82\"}}]}");
    handleSseLine(s.context, "data: {\"error\":{\"message\":\"\xC0\xAFup\xF4\x90\x80\x80\"}}");
    EXPECT_EQ(s.tokens, std::vector<std::string>{"bad\xEF\xBF\xBD ok \xEF\xBF\xBD"});
    // Overlong and out-of-range sequences lose every byte, one replacement each.
    EXPECT_EQ(s.context.streamError,
              "\xEF\xBF\xBD\xEF\xBF\xBDup\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(SseLines, WriteCallbackCutsLinesAcrossChunks) {
    Stream s;
    const std::string line = tokenLine("split") + "\n";
    EXPECT_EQ(s.feed(line.substr(0, 20)), 20u);
    EXPECT_TRUE(s.tokens.empty());
    EXPECT_EQ(s.feed(line.substr(20, line.size() - 21)), line.size() - 21);
    EXPECT_TRUE(s.tokens.empty());  // the line feed has not come yet
    s.feed("\n");
    EXPECT_EQ(s.tokens, std::vector<std::string>{"split"});
    EXPECT_TRUE(s.context.lineBuffer.empty());

    // CRLF loses only the CR; comments and blank separators give nothing; two lines per chunk.
    s.feed(": ping\r\n\r\n" + tokenLine("a") + "\r\n\r\n" + tokenLine("b") + "\n" + tokenLine("c"));
    EXPECT_EQ(s.tokens, (std::vector<std::string>{"split", "a", "b"}));
    EXPECT_EQ(s.context.lineBuffer, tokenLine("c"));
    // A lone CR inside a line stays part of it (and here spoils its field name).
    s.context.lineBuffer.clear();
    s.feed("da\rta: {\"choices\":[{\"delta\":{\"content\":\"x\"}}]}\n");
    EXPECT_EQ(s.tokens.size(), 3u);
}

TEST(SseLines, ALineFedByteByByteCostsLinearTime) {
    // Rescanning the whole pending line for every chunk makes this take minutes of CPU. The
    // thread's own CPU time is judged: a loaded machine stretches the wall clock, not that.
    const auto cpuTime = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    Stream s;
    const std::string line = tokenLine(std::string(900'000, 'a')) + "\n";
    const auto start = cpuTime();
    for (std::size_t i = 0; i < line.size(); ++i) {
        ASSERT_EQ(s.feed(std::string_view(line).substr(i, 1)), 1u);
    }
    EXPECT_LT(cpuTime() - start, std::chrono::seconds(3));
    ASSERT_EQ(s.tokens.size(), 1u);
    EXPECT_EQ(s.tokens[0].size(), 900'000u);
}

TEST(SseLines, ALineOverTheBoundEndsTheTransfer) {
    Stream s;
    EXPECT_EQ(s.feed(tokenLine("ok") + "\n"), tokenLine("ok").size() + 1);
    std::string chunk(16 << 10, 'z');
    std::size_t fed = 0;
    while (s.feed(chunk) == chunk.size())
        fed += chunk.size();
    EXPECT_GT(fed, kMaxStreamLineBytes - chunk.size());
    EXPECT_LE(fed, kMaxStreamLineBytes);
    EXPECT_EQ(s.context.failure,
              "OpenRouter: event-stream line over 1 MiB: " + std::string(100, 'z') + "...");
    EXPECT_EQ(s.tokens, std::vector<std::string>{"ok"});
}

TEST(SseLines, StopSilencesTheStreamAndAbortsTheTransfer) {
    Stream s;
    s.feed(tokenLine("one") + "\n");
    s.stop.request_stop();
    EXPECT_EQ(s.feed(tokenLine("two") + "\n"), 0u);
    handleSseLine(s.context, tokenLine("three"));
    EXPECT_EQ(s.tokens, std::vector<std::string>{"one"});
}

TEST(ErrorText, ServiceMessageOrBodyCutAt300Bytes) {
    EXPECT_EQ(errorTextFromBody(R"({"error":{"message":"No auth credentials found","code":401}})"),
              "No auth credentials found");
    EXPECT_EQ(errorTextFromBody(R"({"error":{"code":401}})"), R"({"code":401})");
    EXPECT_EQ(errorTextFromBody(R"({"error":"gone"})"), "gone");
    EXPECT_EQ(errorTextFromBody(R"({"error":{"message":42}})"), "42");
    EXPECT_EQ(errorTextFromBody(R"({"error":7})"), R"({"error":7})");
    EXPECT_EQ(errorTextFromBody(""), "");
    const std::string exact(300, 'x');
    EXPECT_EQ(errorTextFromBody(exact), exact);
    const std::string html = "<html>" + std::string(295, 'y');  // 301 bytes
    EXPECT_EQ(errorTextFromBody(html), html.substr(0, 300) + "...");
    EXPECT_EQ(errorTextFromBody(html).size(), 303u);
}

TEST(ErrorText, CutOnACharacterBoundaryAndBuiltWithoutRecursion) {
    // The 300th byte is the first half of an "é": the cut moves before it.
    const std::string accented = std::string(299, 'x') + "\xC3\xA9\xC3\xA9";
    EXPECT_EQ(errorTextFromBody(accented), std::string(299, 'x') + "...");
    EXPECT_EQ(errorTextFromBody(R"({"error":")" + accented + "\"}"), std::string(299, 'x') + "...");
    // Shallow enough to be parsed: written back as JSON, whole when it fits.
    const std::string fits = std::string(100, '[') + "1" + std::string(100, ']');
    EXPECT_EQ(errorTextFromBody(R"({"error":{"message":)" + fits + "}}"), fits);
    std::string wide = "[1";
    while (wide.size() < 400)
        wide += ",12345";
    wide += "]";
    EXPECT_EQ(errorTextFromBody(R"({"error":{"message":)" + wide + "}}"),
              wide.substr(0, 300) + "...");
    // Too deep for a tree: the body is quoted.
    const std::string deep =
        R"({"error":{"message":)" + std::string(5000, '[') + std::string(5000, ']') + "}}";
    EXPECT_EQ(errorTextFromBody(deep), deep.substr(0, 300) + "...");
    // Invalid UTF-8 in a body that is not JSON keeps the rest.
    EXPECT_EQ(errorTextFromBody("Bad \xFFgateway"), "Bad \xEF\xBF\xBDgateway");
}

}  // namespace
}  // namespace morvelin
