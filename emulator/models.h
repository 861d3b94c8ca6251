// Model presets of the emulated register: each one carries the identity (serial number prefix,
// firmware version and date) from which the server derives one protocol family and level, and
// the features that go with that level.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace vsk::emu {

// One tax rate of the register's table, index 1..8 named by the letters А..З.
struct TaxRate {
    bool set = false;
    std::string date;  // YYYYMMDD of its registration
    char kind = '0';   // '0' included in the price, '1' on top of it, '2' withheld
    int rate = 0;      // hundredths of a percent: 2000 is 20 %
};
using TaxTable = std::array<TaxRate, 8>;

struct Model {
    std::string name;         // preset name used on the command line
    std::string description;  // one line for --list-models
    int family = 1;
    int level = 8;
    std::string serial;          // 10 characters; its first three pick the family on the server
    std::string firmware;        // 4 characters
    std::string firmwareDate;    // YYYYMMDD
    bool numericDisplay = true;  // customer display shows numbers only
    TaxTable taxes;
};

const std::vector<Model>& Models();
// nullptr when no preset has that name.
const Model* FindModel(std::string_view name);
const Model& DefaultModel();
TaxTable DefaultTaxes();

// A bit per protocol level. Levels are unique across the two families (family 0 has levels 0
// and 1, family 1 has 2 to 9), so the level alone says which commands a model has.
using LevelMask = unsigned;
constexpr LevelMask Levels(std::initializer_list<int> levels) {
    LevelMask mask = 0;
    for (int level : levels)
        mask |= 1u << level;
    return mask;
}
constexpr LevelMask kAllLevels = 0x3FF;
constexpr LevelMask kFamily0 = Levels({0, 1});
constexpr LevelMask kFamily1 = kAllLevels & ~kFamily0;
constexpr LevelMask kLevels89 = Levels({8, 9});
constexpr LevelMask kLevel7 = Levels({7});
constexpr LevelMask kLongArticleLevels = Levels({5, 6, 8, 9});
constexpr LevelMask kOldFiscalReports = Levels({0, 1, 2});
constexpr LevelMask kNewFiscalReports = Levels({3, 4, 5, 6, 7, 8, 9});

}  // namespace vsk::emu
