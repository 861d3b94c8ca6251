// The methods section of rpc/PROTOCOL.md is written from the type library, so that it cannot
// drift from what the server dispatches. Run with VSK_WRITE_PROTOCOL=1 to rewrite it after a
// change of the table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "rpc/type_library.h"

namespace vsk {
namespace {

constexpr const char* kBegin = "<!-- BEGIN methods: written from the type library -->\n";
constexpr const char* kEnd = "<!-- END methods -->\n";

// What the numbers of the parameters count, where the name alone does not say it.
const std::map<std::string, std::string>& Units() {
    static const std::map<std::string, std::string> units = {
        {"Price", "kopecks"},
        {"Qty", "thousandths when GoodsDividual is 1, else pieces"},
        {"Cash", "kopecks"},
        {"PayCheck", "kopecks"},
        {"Credit", "kopecks"},
        {"Packing", "kopecks"},
        {"CashSum", "kopecks"},
        {"ThisLineSum", "kopecks"},
        {"CheckSum", "kopecks"},
        {"CheckOnSaleTaxes", "kopecks"},
        {"CheckReturnSum", "kopecks"},
        {"CheckReturnOnSaleTaxes", "kopecks"},
        {"TimeoutInMilliseconds", "ms"},
        {"TimeoutMilliseconds", "ms"},
        {"DateFrom", "days since 1899-12-30"},
        {"DateTo", "days since 1899-12-30"},
    };
    return units;
}

std::string Param(const ParamDesc& p) {
    std::string text = std::string("`") + p.name + "` " + VarTypeName(p.type);
    auto unit = Units().find(p.name);
    if (unit != Units().end())
        text += " (" + unit->second + ")";
    return text;
}

std::string MethodsSection() {
    std::ostringstream out;
    out << kBegin << "\n| DISPID | Method | `args`, in this order | `value` | What it does |\n"
        << "|---|---|---|---|---|\n";
    for (const MemberDesc& m : typelib::VeskarTypeInfo().members) {
        std::string inputs, value = "null";
        for (const ParamDesc& p : m.Params()) {
            if (p.dir == ParamDir::RetVal) {
                value = Param(p);
                continue;
            }
            inputs += (inputs.empty() ? "" : ", ") + Param(p);
        }
        std::string help = m.help;
        for (char& c : help)
            if (c == '|')
                c = '/';
        out << "| " << m.dispid << " | `" << m.name << "` | " << (inputs.empty() ? "—" : inputs)
            << " | " << value << " | " << help << " |\n";
    }
    out << "\n" << kEnd;
    return out.str();
}

TEST(ProtocolDoc, TheMethodsSectionIsTheTypeLibrary) {
    const std::filesystem::path path = std::filesystem::path(VSK_SOURCE_DIR) / "rpc/PROTOCOL.md";
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    const size_t begin = text.find(kBegin);
    const size_t end = text.find(kEnd);
    ASSERT_NE(begin, std::string::npos) << "no generated methods section in " << path;
    ASSERT_NE(end, std::string::npos);
    const std::string wanted = MethodsSection();
    const std::string found = text.substr(begin, end + std::string(kEnd).size() - begin);
    if (found != wanted && std::getenv("VSK_WRITE_PROTOCOL")) {
        text.replace(begin, found.size(), wanted);
        std::ofstream(path) << text;
        return;
    }
    EXPECT_EQ(found, wanted) << "run this test with VSK_WRITE_PROTOCOL=1 to rewrite the section";
}

TEST(ProtocolDoc, EveryUnitNamesAParameterOfTheTable) {
    // A renamed parameter would silently lose its unit.
    for (const auto& [name, unit] : Units()) {
        bool used = false;
        for (const MemberDesc& m : typelib::VeskarTypeInfo().members)
            for (const ParamDesc& p : m.Params())
                used = used || name == p.name;
        EXPECT_TRUE(used) << name;
    }
}

}  // namespace
}  // namespace vsk
