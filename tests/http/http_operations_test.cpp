// The bodies of the day's operations: what each route takes, and the field a refused body
// names (nothing of a refused body reaches the register).
#include <ctime>

#include <gtest/gtest.h>

#include "http/operation_check.h"

namespace vsk {
namespace {

constexpr const char* kWho = R"("cashier":"Anna","password":"0000000000")";

std::string Body(const std::string& members) {
    return "{" + std::string(kWho) + members + "}";
}

struct Row {
    const char* route;
    std::string body;
    const char* field;  // nullptr: accepted
};

TEST(OperationBodies, EachRouteTakesItsMembersAndNamesTheFieldAtFault) {
    const Row rows[] = {
        {"reports/x", Body(""), nullptr},
        {"reports/z", R"({"cashier":"Anna"})", "/password"},
        {"reports/z", R"({"password":"0000000000"})", "/cashier"},
        {"reports/x", Body(R"(,"full":false)"), "/full"},  // not a member of the X-report
        {"reports/x", "[]", "/"},
        {"reports/periodic", Body(R"(,"from":"2026-12-01","to":"2026-12-10")"), nullptr},
        {"reports/periodic", Body(R"(,"from":"2026-12-01","to":"2026-12-10","full":false)"),
         nullptr},
        {"reports/periodic", Body(R"(,"from":"2026-12-10","to":"2026-12-10")"), nullptr},
        {"reports/periodic", Body(R"(,"fromZ":1,"toZ":5)"), nullptr},
        {"reports/periodic", Body(R"(,"fromZ":1,"toZ":5,"full":true)"), "/full"},
        {"reports/periodic", Body(R"(,"fromZ":5,"toZ":1)"), "/toZ"},
        {"reports/periodic", Body(R"(,"fromZ":3,"toZ":3)"), "/toZ"},
        {"reports/periodic", Body(R"(,"fromZ":0,"toZ":3)"), "/fromZ"},
        {"reports/periodic", Body(R"(,"fromZ":1,"toZ":10000)"), "/toZ"},
        {"reports/periodic", Body(R"(,"fromZ":10000,"toZ":10001)"), "/fromZ"},
        {"reports/periodic", Body(R"(,"fromZ":9998,"toZ":9999)"), nullptr},
        {"reports/periodic", Body(R"(,"fromZ":1)"), "/toZ"},
        {"reports/periodic", Body(R"(,"from":"2026-12-01","toZ":3)"), "/toZ"},
        {"reports/periodic", Body(""), "/from"},
        {"reports/periodic", Body(R"(,"from":"2026-02-29","to":"2026-03-01")"), "/from"},
        {"reports/periodic", Body(R"(,"from":"2026-12-1","to":"2026-12-10")"), "/from"},
        {"reports/periodic", Body(R"(,"from":"2026-12-10","to":"2026-12-01")"), "/to"},
        {"reports/periodic", Body(R"(,"from":"2026-12-01")"), "/to"},
        {"cash", Body(R"(,"direction":"in","amount":12345)"), nullptr},
        {"cash", Body(R"(,"direction":"out","amount":2147483647)"), nullptr},
        {"cash", Body(R"(,"direction":"out","amount":2147483648)"), "/amount"},
        {"cash", Body(R"(,"direction":"in","amount":0)"), "/amount"},
        {"cash", Body(R"(,"direction":"in","amount":12.5)"), "/amount"},
        {"cash", Body(R"(,"direction":"in")"), "/amount"},
        {"cash", Body(R"(,"direction":"IN","amount":1)"), "/direction"},
        {"cash", Body(R"(,"amount":1)"), "/direction"},
        {"cash", Body(R"(,"direction":"in","amount":1,"client":"x")"), "/client"},
        {"clock", Body(R"(,"time":"2026-12-10T09:15:00")"), nullptr},
        {"clock", Body(R"(,"time":"2026-12-10T24:00:00")"), "/time"},
        {"clock", Body(R"(,"time":"2026-12-10 09:15:00")"), "/time"},
        {"clock", Body(R"(,"time":"2026-12-10T09:15:00Z")"), "/time"},
        {"clock", Body(""), "/time"},
        {"displays", R"({"lines":["Total","12.50"]})", nullptr},
        {"displays", R"({"lines":[]})", nullptr},
        {"displays", Body(R"(,"lines":["Сума","12.50"])"), nullptr},
        {"displays", R"({"cashier":"Anna","lines":["a"]})", "/password"},
        {"displays", R"({"lines":["0123456789abcdef"]})", nullptr},
        {"displays", R"({"lines":["0123456789abcdefg"]})", "/lines/0"},
        {"displays", R"({"lines":["a","b","c"]})", "/lines/2"},
        {"displays", R"({"lines":["a",7]})", "/lines/1"},
        {"displays", R"({"lines":["a\u0000b"]})", "/lines/0"},
        {"displays", R"({"lines":"Total"})", "/lines"},
        {"displays", R"({"lines":["Total 36.15"],"external":true})", nullptr},
        {"displays", R"({"lines":["a","b"],"external":true})", "/lines/1"},
        {"displays", R"({"lines":["a"],"externa":true})", "/externa"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.route) + " " + row.body);
        const std::optional<Json> body = Json::Parse(row.body);
        ASSERT_TRUE(body);
        DeskOperation op;
        const std::optional<HttpReply> refusal = CheckOperation(row.route, *body, &op);
        if (!row.field) {
            EXPECT_FALSE(refusal) << refusal->body;
            continue;
        }
        ASSERT_TRUE(refusal);
        EXPECT_EQ(refusal->status, 400);
        const Json reply = Json::Parse(refusal->body).value_or(Json());
        const Json* error = reply.Find("error");
        ASSERT_TRUE(error && error->Find("field")) << refusal->body;
        EXPECT_EQ(error->Find("field")->AsString(), row.field);
        EXPECT_EQ(error->Find("code")->AsString(), "BAD_BODY");
    }
}

// What an accepted body becomes: the figures the register's commands are made from.
TEST(OperationBodies, AcceptedBodiesCarryTheRegistersFigures) {
    DeskOperation op;
    ASSERT_FALSE(CheckOperation(
        "reports/periodic", *Json::Parse(Body(R"(,"from":"2000-01-01","to":"2026-12-10")")), &op));
    EXPECT_EQ(op.kind, DeskOperation::Kind::PeriodicByDates);
    EXPECT_EQ(op.from, 36526.0);  // the automation DATE of 2000-01-01
    EXPECT_EQ(op.to, 46366.0);
    EXPECT_EQ(AutomationDate(1899, 12, 30), 0.0);
    EXPECT_EQ(AutomationDate(1900, 3, 1), 61.0);  // the real calendar: 1900 had no 29 February
    // Every day of a leap year, a common one and a century's turn, against the C library's.
    for (int year : {2000, 2023, 2024, 2100})
        for (int day = 0; day < 366; ++day) {
            std::tm t{};
            t.tm_year = year - 1900;
            t.tm_mday = 1 + day;
            const time_t at = timegm(&t);  // normalises the day of the year into its month
            const std::tm* civil = gmtime(&at);
            EXPECT_EQ(AutomationDate(civil->tm_year + 1900, civil->tm_mon + 1, civil->tm_mday),
                      double(at / 86400 + 25569))
                << civil->tm_year + 1900 << "-" << civil->tm_mon + 1 << "-" << civil->tm_mday;
        }

    op = {};
    ASSERT_FALSE(
        CheckOperation("clock", *Json::Parse(Body(R"(,"time":"2026-12-10T09:05:07")")), &op));
    EXPECT_EQ(op.date, "20261210");
    EXPECT_EQ(op.hours * 10000 + op.minutes * 100 + op.seconds, 90507);
    EXPECT_TRUE(op.who.given);
    EXPECT_FALSE(op.Prints());

    op = {};
    ASSERT_FALSE(CheckOperation("displays", *Json::Parse(R"({"lines":["Total"]})"), &op));
    EXPECT_FALSE(op.who.given) << "a display without a cashier uses the port's kept binding";
    EXPECT_EQ(op.kind, DeskOperation::Kind::Display);

    op = {};
    ASSERT_FALSE(
        CheckOperation("cash", *Json::Parse(Body(R"(,"direction":"out","amount":700)")), &op));
    EXPECT_EQ(op.kind, DeskOperation::Kind::CashOut);
    EXPECT_EQ(op.amount, 700);
    EXPECT_TRUE(op.Prints());
}

TEST(OperationBodies, TheRegistersClockIsWrittenAsTheTillsLocalTime) {
    EXPECT_EQ(ClockText("20261210091500"), "2026-12-10T09:15:00");
    EXPECT_EQ(ClockText("20261232091500"), "");
    EXPECT_EQ(ClockText("2026121009"), "");
    EXPECT_EQ(ClockText("2026121009150x"), "");
}

}  // namespace
}  // namespace vsk
