#include "emulator/models.h"

namespace vsk::emu {

TaxTable DefaultTaxes() {
    TaxTable taxes;
    // А 20 % and Б 7 % included (VAT), В 0 %, Г 5 % on top of the price, Д 2 % withheld.
    taxes[0] = {true, "20110101", '0', 2000};
    taxes[1] = {true, "20110101", '0', 700};
    taxes[2] = {true, "20110101", '0', 0};
    taxes[3] = {true, "20150101", '1', 500};
    taxes[4] = {true, "20150101", '2', 200};
    return taxes;
}

namespace {

Model Make(const char* name, const char* description, int family, int level, const char* serial,
           const char* firmware, const char* firmwareDate, bool numericDisplay) {
    Model m;
    m.name = name;
    m.description = description;
    m.family = family;
    m.level = level;
    m.serial = serial;
    m.firmware = firmware;
    m.firmwareDate = firmwareDate;
    m.numericDisplay = numericDisplay;
    m.taxes = DefaultTaxes();
    return m;
}

std::vector<Model> MakeModels() {
    // Level 5 has no identity of its own in the server's model table, so it has no preset.
    return {
        Make("f0-0", "family 0 level 0: serial 040..., text display", 0, 0, "0400012345", "A100",
             "20010315", false),
        Make("f0-1", "family 0 level 1: serial 440..., text display", 0, 1, "4400012345", "A200",
             "20030610", false),
        Make("f1-2", "family 1 level 2: serial 450..., firmware gHHq", 1, 2, "4500012345", "gHHq",
             "20040201", true),
        Make("f1-3", "family 1 level 3: serial 500..., firmware QDRZ", 1, 3, "5000012345", "QDRZ",
             "20050101", true),
        Make("f1-4", "family 1 level 4: serial 510..., firmware QDRZ", 1, 4, "5100012345", "QDRZ",
             "20050101", true),
        Make("f1-6", "family 1 level 6: firmware JPO7", 1, 6, "5200012345", "JPO7", "20061012",
             true),
        Make("f1-7", "family 1 level 7: firmware XKDA of 2004-12-06, mode switch", 1, 7,
             "5300012345", "XKDA", "20041206", true),
        Make("f1-8", "family 1 level 8: firmware ZULB, numeric display", 1, 8, "5600012345", "ZULB",
             "20080520", true),
        Make("f1-8t", "family 1 level 8: firmware KBLX of 2007-06-09, text display", 1, 8,
             "5600054321", "KBLX", "20070609", false),
        Make("f1-9", "family 1 level 9: firmware YOGS of 2009-02-17, numeric display", 1, 9,
             "5700012345", "YOGS", "20090217", true),
    };
}

}  // namespace

const std::vector<Model>& Models() {
    static const std::vector<Model> models = MakeModels();
    return models;
}

const Model* FindModel(std::string_view name) {
    for (const Model& m : Models()) {
        if (m.name == name)
            return &m;
    }
    return nullptr;
}

const Model& DefaultModel() {
    return *FindModel("f1-8");
}

}  // namespace vsk::emu
