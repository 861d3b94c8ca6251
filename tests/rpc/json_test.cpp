#include <gtest/gtest.h>

#include <vector>

#include "rpc/json.h"

namespace vsk {
namespace {

TEST(Json, ParsesWhatTheWireCarries) {
    auto v = Json::Parse(R"( {"a":[1,-2,3.5,"x\u0041\n",true,null],"b":{"c":"Їжак 🦔"}} )");
    ASSERT_TRUE(v);
    const auto& a = v->Find("a")->AsArray();
    EXPECT_EQ(a[0].AsInt(), 1);
    EXPECT_EQ(a[1].AsInt(), -2);
    EXPECT_DOUBLE_EQ(a[2].AsDouble(), 3.5);
    EXPECT_EQ(a[3].AsString(), "xA\n");
    EXPECT_TRUE(a[4].AsBool());
    EXPECT_TRUE(a[5].IsNull());
    EXPECT_EQ(v->Find("b")->Find("c")->AsString(), "Їжак 🦔");
    // A surrogate pair escape is one character.
    EXPECT_EQ(Json::Parse(R"("\ud83e\udd94")")->AsString(), "🦔");
    // Integers beyond 64 bits are still recognised as integers.
    auto big = Json::Parse("123456789012345678901234567890");
    EXPECT_TRUE(big->IsBigInteger());
    EXPECT_FALSE(Json::Parse("1e3")->IsBigInteger());
}

TEST(Json, RefusesBrokenInput) {
    std::string deep(Json::kMaxDepth + 2, '[');
    for (const std::string& bad : std::vector<std::string>{
             "", "{", "[1,]", "{\"a\" 1}", "01", "1.", "-", "\"abc", "\"\\x\"", "\"\\ud800\"",
             "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"a\tb\"", "\"\xff\"", "\"\xc0\xaf\"",
             "\"\xed\xa0\x80\"", "nul", "[1] 2", deep}) {
        std::string error;
        EXPECT_FALSE(Json::Parse(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

// Each refusal says what is wrong, also where the text simply ends.
TEST(Json, RefusalsNameTheirReason) {
    const std::pair<std::string, const char*> rows[] = {
        {"\"abc", "unterminated string"},
        {"\"abc\\", "unterminated escape"},
        {"\"\\u12", "short \\u escape"},
        {"\"\\u12G4\"", "bad \\u escape"},
        {"\"a\tb\"", "control character in string"},
        {"\"\\ud800\"", "unpaired surrogate"},
        {"\"\\x\"", "bad escape"},
        {"\"\xff\"", "invalid UTF-8"},
        {"[1", "unterminated array"},
        {"[1 2]", "expected ',' or ']'"},
        {"{\"a\":1", "unterminated object"},
        {"{\"a\":1 \"b\":2}", "expected ',' or '}'"},
        {"{1:2}", "expected member name"},
        {"{\"a\" 1}", "expected ':'"},
        {"{\"a\":1,\"a\":2}", "duplicate member name"},
        {"nul", "invalid literal"},
        {"", "unexpected end"},
        {"[", "unexpected end"},
        {"01", "leading zero"},
        {"1.", "bad fraction"},
        {"1e", "bad exponent"},
        {"-", "bad number"},
        {"[1] 2", "trailing characters"},
        {"[1,]", "unexpected character"},
        {std::string(Json::kMaxDepth + 2, '['), "nesting too deep"},
    };
    for (const auto& [bad, reason] : rows) {
        std::string error;
        EXPECT_FALSE(Json::Parse(bad, &error)) << bad;
        EXPECT_NE(error.find(reason), std::string::npos) << bad << ": " << error;
    }
}

// The server answers with the id it parsed; a client matches replies by the text it sent.
TEST(Json, ParsedIdsAreWrittenBackAsTheyCame) {
    for (const std::string& id : std::vector<std::string>{
             "7", "-0", "123456789012345678901234567890", "-98765432109876543210987654321", "1.50",
             "0.1000000000000000055511151231257827", "1E+3", "2.5e-7", "1e400", R"("plain Ї")",
             R"("a\u0041\/b\"q")", "\"del\x7f\"", "null"}) {
        auto request = Json::Parse(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"x"})");
        ASSERT_TRUE(request) << id;
        Json reply;
        reply.Set("id", *request->Find("id"));
        EXPECT_EQ(reply.Dump(), R"({"id":)" + id + "}");
    }
    // The values are still read as before.
    EXPECT_TRUE(Json::Parse("123456789012345678901234567890")->IsBigInteger());
    EXPECT_DOUBLE_EQ(Json::Parse("1.50")->AsDouble(), 1.5);
    EXPECT_EQ(Json::Parse(R"("a\u0041")")->AsString(), "aA");
    EXPECT_EQ(*Json::Parse("2.0"), Json(2.0));
}

TEST(Json, DuplicateMemberNamesAreRefused) {
    std::string longObject = "{";
    for (int i = 0; i < 40; ++i)
        longObject += "\"m" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    for (const std::string& bad : std::vector<std::string>{
             R"({"id":1,"id":2})", R"({"a":{"b":1,"c":2,"b":1}})", R"({"a":1,"\u0061":2})",
             longObject + R"("m3":0})", longObject + R"("x":1,"x":2})"}) {
        std::string error;
        EXPECT_FALSE(Json::Parse(bad, &error)) << bad;
        EXPECT_NE(error.find("duplicate member name"), std::string::npos) << error;
    }
    auto fine = Json::Parse(longObject + R"("x":[{"a":1},{"a":2}]})");
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->AsObject().size(), 41u);
}

TEST(Json, DumpRoundTrips) {
    Json v;
    v.Set("text", "line\n\"quoted\" \\ \x01 Ґ");
    v.Set("n", int64_t(-2147483648LL));
    v.Set("d", 45000.0);
    v.Set("list", Json(Json::Array{Json(), Json(true)}));
    std::string text = v.Dump();
    EXPECT_EQ(text.find('\n'), std::string::npos);  // one object, one line
    auto back = Json::Parse(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, v);
    EXPECT_TRUE(back->Find("d")->type() == Json::Type::Double);
}

TEST(Json, Utf16Conversions) {
    EXPECT_EQ(Utf8ToUtf16("Їжак 🦔"), std::u16string(u"Їжак 🦔"));
    EXPECT_FALSE(Utf8ToUtf16("\xff"));
    EXPECT_EQ(Utf16ToUtf8(u"ok"), "ok");
    std::u16string lone = u"a";
    lone += char16_t(0xD800);
    EXPECT_EQ(Utf16ToUtf8(lone), "a\xEF\xBF\xBD");  // U+FFFD
}

}  // namespace
}  // namespace vsk
