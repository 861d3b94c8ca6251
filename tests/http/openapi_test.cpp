// The API's document against the server's own tables: the router's routes, the failure table's
// words, statuses and retry safety, and the register's status words (the document is built from the
// table; this catches a generator that drops or misreads a row, and a route served but not
// described).
#include "http/openapi_document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/error_catalogue.h"
#include "http/http_front.h"
#include "resources/failure.h"
#include "rpc/json.h"

namespace vsk {
namespace {

TEST(OpenApiDocumentTest, DescribesEveryRouteAndEveryFailureOfTheServer) {
    std::string error;
    const std::optional<Json> doc = Json::Parse(OpenApiDocument(), &error);
    ASSERT_TRUE(doc && doc->IsObject()) << error;
    EXPECT_EQ(doc->Find("openapi")->AsString().rfind("3.1.", 0), 0u);
    const Json* paths = doc->Find("paths");
    ASSERT_TRUE(paths && paths->IsObject());

    // Both ways: a route served is described with its method, and a route described is served.
    size_t count = 0;
    const CHttpFront::Route* routes = CHttpFront::Routes(&count);
    std::set<std::string> served;
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(routes[i].path);
        served.insert(routes[i].path);
        const Json* item = paths->Find(routes[i].path);
        ASSERT_TRUE(item) << "a route the document does not describe";
        std::string method = routes[i].method ? routes[i].method : "GET";
        std::transform(method.begin(), method.end(), method.begin(), ::tolower);
        EXPECT_TRUE(item->Find(method)) << method;
        // What needs no token says so, and what needs one does not.
        const Json* security = item->Find(method) ? item->Find(method)->Find("security") : nullptr;
        EXPECT_EQ(security != nullptr, routes[i].access == CHttpFront::Access::Anyone);
    }
    for (const auto& [path, item] : paths->AsObject())
        EXPECT_TRUE(served.count(path)) << path << " is described but not served";

    // The error words: the failure table's rows, in its order, with their status and safety.
    const Json* schemas = doc->Find("components")->Find("schemas");
    const Json* choices = schemas->Find("ErrorCode")->Find("anyOf");
    ASSERT_TRUE(choices && choices->IsArray());
    const FaultRow* rows = FaultRows(&count);
    ASSERT_EQ(choices->AsArray().size(), count);
    for (size_t i = 0; i < count; ++i) {
        const Json& choice = choices->AsArray()[i];
        SCOPED_TRACE(std::string(rows[i].name));
        EXPECT_EQ(choice.Find("title")->AsString(), rows[i].name);
        if (rows[i].word.empty()) {
            // The register's own words: those of its status words that end a call.
            EXPECT_TRUE(choice.Find("pattern"));
            std::vector<std::string> listed, ending;
            for (const Json& word : choice.Find("examples")->AsArray())
                listed.push_back(word.AsString());
            size_t words = 0;
            const StatusWord* status = StatusWords(&words);
            for (size_t w = 0; w < words; ++w)
                if (status[w].kind == StatusKind::Error)
                    ending.emplace_back(status[w].word);
            EXPECT_EQ(listed, ending);
        } else
            EXPECT_EQ(choice.Find("const")->AsString(), rows[i].word);
        EXPECT_EQ(choice.Find("x-vsk-status")->AsInt(), rows[i].http);
        EXPECT_EQ(choice.Find("x-vsk-retry-safe")->AsBool(), rows[i].retrySafe);
        char hresult[16];
        std::snprintf(hresult, sizeof hresult, "0x%08X", uint32_t(rows[i].hresult));
        EXPECT_EQ(choice.Find("x-vsk-hresult")->AsString(), hresult);
    }
}

}  // namespace
}  // namespace vsk
