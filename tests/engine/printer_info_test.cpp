#include "engine/printer_info.h"

#include <gtest/gtest.h>

#include "tests/engine/scripted_register.h"

namespace {

std::tm Day(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = 7;
    tm.tm_min = 8;
    tm.tm_sec = 9;
    return tm;
}

TEST(PrinterInfo, DatesAndTimesConvertOrFallBackToNow) {
    const std::tm now = Day(2026, 12, 6);
    EXPECT_EQ(vsk::ConvertPrinterDate("20261206", now), "12/06/26");
    EXPECT_EQ(vsk::ConvertPrinterDate("20240229", now), "02/29/24");
    // A year below 2000 is read from its last two digits.
    EXPECT_EQ(vsk::ConvertPrinterDate("00050719", now), "07/19/05");
    for (const char* bad : {"20261301", "20230229", "2026120", "ABCDEFGH", ""}) {
        EXPECT_EQ(vsk::ConvertPrinterDate(bad, now), "12/06/26") << bad;
    }
    // The windows show the register's own dd.MM.yyyy; what is no record date stays as it is.
    EXPECT_EQ(vsk::RegisterDateText("02/29/24"), "29.02.2024");
    EXPECT_EQ(vsk::RegisterDateText(vsk::ConvertPrinterDate("00050719", now)), "19.07.2005");
    for (const char* other : {"", "13/01/26", "1/2/2026", "12-06-26"})
        EXPECT_EQ(vsk::RegisterDateText(other), other);
    EXPECT_EQ(vsk::ConvertPrinterTime("140509", now), "14:05:09");
    EXPECT_EQ(vsk::ConvertPrinterTime("246000", now), "07:08:09");
    EXPECT_EQ(vsk::ConvertPrinterTime("14", now), "07:08:09");
}

TEST(PrinterInfo, ConfigReplyFieldsComeFromTheirPositions) {
    vsktest::ConfFields f;
    f.serial = "4401234567";
    f.fiscal = "3000123456";
    f.owner = "\"Shop\" Ltd";
    f.key = 8;  // the register may send the position as a small number
    f.firmware = "QDRZ";
    f.firmwareDate = "20050823";
    f.currencyDate = "20100102";
    f.decimalPoint = '2';
    f.currency = "UAH";
    CPrinterInfo info;
    vsk::ParseConfigReply(vsktest::ConfReply(f), info, Day(2026, 1, 1));
    EXPECT_EQ(info.m_szSerialNumber, "4401234567");
    EXPECT_EQ(info.m_szFiscalNumber, "3000123456");
    EXPECT_EQ(info.m_szOwner, "\"Shop\" Ltd" + std::string(26, ' '));  // copied, not trimmed
    EXPECT_EQ(info.m_szDate, "12/06/26");
    EXPECT_EQ(info.m_szTime, "14:05:09");
    EXPECT_EQ(info.m_cKeyPosition, 'P');
    EXPECT_EQ(info.m_szFirmwareVersion, "QDRZ");
    EXPECT_EQ(info.m_szFirmwareDate, "08/23/05");
    EXPECT_EQ(info.m_szCurrencyDate, "01/02/10");
    EXPECT_EQ(info.m_nDecPointPosition, 2);
    EXPECT_EQ(info.m_szCurrencyName, "UAH");

    // The extended firmware fields, when present, replace the short ones.
    f.extFirmware = "ZULB";
    f.extFirmwareDate = "20090217";
    vsk::ParseConfigReply(vsktest::ConfReply(f, "CONf"), info, Day(2026, 1, 1));
    EXPECT_EQ(info.m_szFirmwareVersion, "ZULB");
    EXPECT_EQ(info.m_szFirmwareDate, "02/17/09");

    // A decimal point position that is no digit counts as none.
    for (char point : {' ', '0', 'x'}) {
        f.decimalPoint = point;
        vsk::ParseConfigReply(vsktest::ConfReply(f), info, Day(2026, 1, 1));
        EXPECT_EQ(info.m_nDecPointPosition, 0) << point;
    }
}

TEST(PrinterInfo, KeyPositionCodes) {
    const std::pair<char, char> rows[] = {{1, 'R'},   {'1', 'R'}, {2, 'X'},   {'2', 'X'},
                                          {4, 'Z'},   {'4', 'Z'}, {8, 'P'},   {'8', 'P'},
                                          {'0', 'O'}, {3, 'O'},   {'9', 'O'}, {0, 'O'}};
    for (auto [code, letter] : rows) {
        EXPECT_EQ(vsk::KeyPositionLetter(code), letter) << int(code);
    }
}

TEST(PrinterInfo, TaxReplyEntriesAndUnsetOnes) {
    CPrinterInfo info;
    info.m_Taxes[1].kind = '1';  // stale values must not survive a new reading
    vsk::ParseTaxReply(vsktest::CnalReply({{'1', "2000"}, {0, ""}, {'2', "0750"}}), info);
    EXPECT_EQ(info.m_Taxes[0].kind, '1');
    EXPECT_EQ(info.m_Taxes[0].rateDigits, "2000");
    EXPECT_EQ(info.m_Taxes[0].rateText, "20.00");
    EXPECT_EQ(info.m_Taxes[0].date, "01/01/20");
    EXPECT_EQ(info.m_Taxes[1].kind, 0);
    EXPECT_EQ(info.m_Taxes[1].date, "");
    EXPECT_EQ(info.m_Taxes[2].rateText, "07.50");
    EXPECT_EQ(info.m_Taxes[7].kind, 0);
}

struct ModelRow {
    const char* serial;
    const char* firmware;
    const char* date;  // MM/DD/YY, as converted
    int family, level;
};

TEST(PrinterInfo, ModelTableRows) {
    const ModelRow rows[] = {
        {"1234567890", "ABCD", "01/01/05", 1, 4},  // no rule matches
        {"0401234567", "ABCD", "01/01/05", 0, 0},
        {"0421234567", "QDRZ", "01/01/05", 0, 0},
        {"4401234567", "ABCD", "01/01/05", 0, 1},
        {"AB44112345", "ABCD", "01/01/05", 0, 1},  // letters first: prefix from characters 3-5
        {"4501234567", "gHHq", "01/01/05", 1, 2},
        {"4601234567", "KBLX", "01/01/05", 1, 3},
        {"5101234567", "QDRZ", "01/01/05", 1, 4},
        {"5401234567", "QDRZ", "01/01/05", 1, 6},
        {"1234567890", "QDRZ", "07/19/05", 1, 6},
        {"1234567890", "WYVE", "10/12/06", 1, 6},
        {"1234567890", "WYVE", "10/13/06", 1, 4},
        {"1234567890", "JPO7", "01/01/05", 1, 6},
        {"1234567890", "XKDA", "12/06/04", 1, 7},
        {"5001234567", "KBLX", "06/09/07", 1, 8},  // a later rule overrides rule 4
        {"1234567890", "KBLX", "09/06/07", 1, 8},
        {"1234567890", "ZULB", "01/01/09", 1, 8},
        {"1234567890", "YOGS", "02/17/09", 1, 9},
        {"1234567890", "KBLX", "02/17/09", 1, 4},  // the 02/17/09 date lifts only ZULB/YOGS
    };
    for (const ModelRow& row : rows) {
        CPrinterInfo info;
        info.m_szSerialNumber = row.serial;
        info.m_szFirmwareVersion = row.firmware;
        info.m_szFirmwareDate = row.date;
        vsk::ProtocolVariant v = vsk::ApplyModelTable(info);
        EXPECT_EQ(v.family, row.family) << row.serial << " " << row.firmware << " " << row.date;
        EXPECT_EQ(v.level, row.level) << row.serial << " " << row.firmware << " " << row.date;
    }
}

TEST(PrinterInfo, MaximumArticlesRows) {
    struct Row {
        int family, level, mode, expected;
    };
    const Row rows[] = {{0, 1, 0, 1999},  {0, 0, 2, 777},  {1, 3, 2, 9999},  {1, 5, 2, 999999999},
                        {1, 6, 0, 9999},  {1, 7, 2, 4999}, {1, 8, 0, 20688}, {1, 8, 2, 999999999},
                        {1, 9, 0, 15516}, {1, 2, 2, 1999}};
    for (const Row& r : rows) {
        EXPECT_EQ(vsk::MaxArticlesFor({r.family, r.level}, r.mode, 777), r.expected)
            << r.family << "/" << r.level << "/" << r.mode;
    }
}

TEST(PrinterInfo, NumberFormats) {
    EXPECT_EQ(vsk::ZeroPadded(3615, 9), "000003615");
    EXPECT_EQ(vsk::ZeroPadded(-5, 4), "-005");
    EXPECT_EQ(vsk::ZeroPadded(12345, 4), "12345");  // never cut
    EXPECT_EQ(vsk::ArticleNumber(7, 4), "0007");
    EXPECT_EQ(vsk::ArticleNumber(9999, 4), "9999");
    EXPECT_EQ(vsk::ArticleNumber(12345, 4), "C345");
    EXPECT_EQ(vsk::ArticleNumber(19999, 4), "J999");
    EXPECT_EQ(vsk::ArticleNumber(20688, 4), "K688");
}

}  // namespace
