#include <gtest/gtest.h>

#include <vector>

#include "automation/json.h"

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
