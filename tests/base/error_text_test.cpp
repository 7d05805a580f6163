#include "base/error_text.h"

#include <gtest/gtest.h>
#include <cerrno>

#include "base/base64.h"

namespace morvelin {
namespace {

TEST(ErrorText, TrimsLineBreaksBlanksAndFullStops) {
    EXPECT_EQ(trimSystemText("Access is denied.\r\n"), "Access is denied");
    EXPECT_EQ(trimSystemText("ends with blanks .  "), "ends with blanks");
    EXPECT_EQ(trimSystemText(". . ."), "unknown error");
    EXPECT_EQ(trimSystemText(""), "unknown error");
    EXPECT_EQ(trimSystemText("a.b"), "a.b");
}

TEST(ErrorText, CodeIsEightUpperCaseHexDigitsWithLeadingZeros) {
    EXPECT_EQ(formatErrorCode(5, "Access is denied."), "0x00000005: Access is denied");
    EXPECT_EQ(formatErrorCode(0x887A0005u, "removed"), "0x887A0005: removed");
    EXPECT_EQ(formatErrorCode(0xFFFFFFFFu, ""), "0xFFFFFFFF: unknown error");
}

TEST(ErrorText, ErrnoTextsComeFromTheSystem) {
    EXPECT_EQ(formatErrno(ENOENT), "0x00000002: No such file or directory");
    EXPECT_EQ(describeErrno("open settings", EACCES),
              "open settings failed (0x0000000D: Permission denied)");
    errno = ECONNREFUSED;
    EXPECT_EQ(lastErrorMessage("connect"), "connect failed (0x0000006F: Connection refused)");
    // An unknown code still carries its number.
    EXPECT_EQ(formatErrno(99999).rfind("0x0001869F: ", 0), 0u);
}

TEST(ErrorText, DescribeFailureWordsStepAndDetail) {
    EXPECT_EQ(describeFailure("pa_context_connect", formatErrorCode(6, "Connection refused")),
              "pa_context_connect failed (0x00000006: Connection refused)");
}

TEST(Base64, PaddingFollowsTheInputLength) {
    const std::uint8_t bytes[] = {'M', 'a', 'n', 'y'};
    EXPECT_EQ(base64Encode(bytes, 0), "");
    EXPECT_EQ(base64Encode(bytes, 1), "TQ==");
    EXPECT_EQ(base64Encode(bytes, 2), "TWE=");
    EXPECT_EQ(base64Encode(bytes, 3), "TWFu");
    EXPECT_EQ(base64Encode(bytes, 4), "TWFueQ==");
}

TEST(Base64, UsesTheStandardAlphabetForEveryValue) {
    const std::uint8_t high[] = {0xFB, 0xFF, 0xBF, 0x00, 0x10, 0x83};
    EXPECT_EQ(base64Encode(high, sizeof high), "+/+/ABCD");
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    const auto text = base64Encode(all);
    EXPECT_EQ(text.size(), 344u);
    EXPECT_EQ(text.substr(0, 8), "AAECAwQF");
    EXPECT_EQ(text.substr(336), "/P3+/w==");
    EXPECT_EQ(
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
        std::string::npos);
}

}  // namespace
}  // namespace morvelin
