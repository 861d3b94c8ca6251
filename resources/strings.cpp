#include "resources/strings.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/codepage.h"

namespace vsk {
namespace {

struct StringRow {
    unsigned id;
    std::string_view utf8;
};

constexpr StringRow kRows[] = {
#define VSK_STRING(id, name, text) {id, text},
#include "resources/strings.def"
#undef VSK_STRING
};

// Lookups are binary searches, so the rows must be strictly ascending (no duplicate numbers).
constexpr bool RowsAscending() {
    for (size_t i = 1; i < std::size(kRows); ++i) {
        if (kRows[i - 1].id >= kRows[i].id) {
            return false;
        }
    }
    return true;
}
static_assert(RowsAscending(), "strings.def rows must be in strictly ascending order");

struct LoadedString {
    unsigned id;
    std::string utf8;
    std::string cp1251;
};

// Converted once, on first use; the function-local static makes that thread-safe.
const std::vector<LoadedString>& Table() {
    static const std::vector<LoadedString> table = [] {
        std::vector<LoadedString> rows;
        rows.reserve(std::size(kRows));
        for (const StringRow& row : kRows) {
            rows.push_back({row.id, std::string(row.utf8), Utf8ToCp1251(row.utf8)});
        }
        return rows;
    }();
    return table;
}

const LoadedString* Find(unsigned id) {
    const auto& table = Table();
    auto it = std::lower_bound(table.begin(), table.end(), id,
                               [](const LoadedString& row, unsigned key) { return row.id < key; });
    return it != table.end() && it->id == id ? &*it : nullptr;
}

const std::string& Empty() {
    static const std::string empty;
    return empty;
}

}  // namespace

const std::string& LoadString1251(unsigned id) {
    const LoadedString* row = Find(id);
    return row ? row->cp1251 : Empty();
}

const std::string& LoadStringUtf8(unsigned id) {
    const LoadedString* row = Find(id);
    return row ? row->utf8 : Empty();
}

}  // namespace vsk
