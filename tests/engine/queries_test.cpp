// Information queries: the command each sends, the data text it returns, the documents counters
// and the configuration reading, and how a silent or refusing register ends a query.
#include <functional>

#include "tests/engine/register_models.h"

namespace vsktest {
namespace {

class QueriesTest : public ModelTest {};

TEST_F(QueriesTest, EachQuerySendsItsWordAndReturnsTheDataText) {
    struct {
        const char* word;
        std::function<std::string(CVSKCore&)> op;
        std::string sent;
        std::string reply;
        std::string data;
        const char* journal;  // written after the query, with the result
    } rows[] = {
        {"GETD", [](CVSKCore& c) { return c.GetPrinterTime(); }, "GETD", "GETD20261208143000",
         "20261208143000", "GetPrinterTime() = 20261208143000"},
        {"CCAS", [](CVSKCore& c) { return c.GetCashInfo(); }, "CCAS", "CCAS    1205.00",
         "    1205.00", "GetCashInfo() =     1205.00"},
        {"CFIS", [](CVSKCore& c) { return c.GetFiscalInfo(); }, "CFIS", "CFIS000000000042",
         "000000000042", "GetFiscalInfo() = 000000000042"},
        {"CNAL", [](CVSKCore& c) { return c.GetTaxesInfo(); }, "CNAL", "CNAL20200101 12000",
         "20200101 12000", "GetTaxesInfo() = 20200101 12000"},
        {"ARTD", [](CVSKCore& c) { return c.GetArticleInfo(7); }, "ARTD0007", "ARTD0007Bread",
         "0007Bread", nullptr},
        // The reply word need not lead; the data still start after the first four characters.
        {"CCAS", [](CVSKCore& c) { return c.GetCashInfo(); }, "CCAS", "..CCAS12", "AS12", nullptr},
    };
    Connect();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reply);
        m_register.On(row.word, {{"noise"}, {row.reply}, {"READY"}});
        m_register.ClearLog();
        EXPECT_EQ(row.op(*m_core), row.data);
        EXPECT_EQ(SentFrames(), row.sent);
    }
    EXPECT_TRUE(m_core->Queue().IsEmpty());
    m_core.reset();  // closes and flushes the journal
    std::string journal = JournalText();
    for (const auto& row : rows) {
        if (row.journal) {
            EXPECT_NE(journal.find(row.journal), std::string::npos) << row.journal;
        }
    }
}

TEST_F(QueriesTest, ErrorWordEndsAQueryQuietlyAndSilenceIsATimeout) {
    Connect();
    m_register.On("CCAS", {{"SOFTNREP"}, {"CCAS123"}});
    EXPECT_EQ(m_core->GetCashInfo(), "");
    EXPECT_TRUE(m_ui.boxes.empty());
    EXPECT_EQ(m_core->GetLastErrorCode(), "");  // a generic query leaves the errors alone
    m_register.On("CFIS", {});
    EXPECT_EQ(m_core->GetFiscalInfo(), "");
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_ui.boxes[0].text, Text(1003));
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
}

TEST_F(QueriesTest, ArticleNumbersOutsideTheRangeAreNotAsked) {
    ConnectAs(Model::Level8);  // article mode 0: at most 20688
    m_register.On("ARTD", {{"ARTDC345"}});
    for (int16_t article : {0, -5, 20689, 32767}) {
        EXPECT_EQ(m_core->GetArticleInfo(article), "") << article;
    }
    EXPECT_EQ(SentFrames(), "");
    EXPECT_EQ(m_core->GetArticleInfo(12345), "C345");
    EXPECT_EQ(SentFrames(), "ARTDC345");
    // 20 thousands carry the letter K, never a '0' that would name article 688.
    m_register.On("ARTD", {{"ARTDK688"}});
    EXPECT_EQ(m_core->GetArticleInfo(20688), "K688");
    EXPECT_EQ(SentFrames(), "ARTDC345|ARTDK688");
}

TEST_F(QueriesTest, DocumentsCountersAndTheArticleRange) {
    struct {
        Model model;
        std::string data;
        CDocumentsInfo expected;
        int32_t maxArticles;
    } rows[] = {
        {Model::Level4, "0000000012000000003400000000562 10042", {12, 34, 56, 2, 1, 42}, 9999},
        {Model::Level9, "0000000012000000003400000000562 00042", {12, 34, 56, 2, 0, 42}, 999999999},
        {Model::Level9,
         "      -7  x12     " + std::string(12, ' ') + "1 9",
         {-7, 0, 0, 1, 1, 0},
         15516},
        {Model::Level7, "", {0, 0, 0, 0, 0, 0}, 4999},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.data);
        ConnectAs(row.model);
        m_register.On("GLCN", {{"GLCN" + row.data}});
        CDocumentsInfo info{9, 9, 9, 9, 9, 9};
        EXPECT_EQ(m_core->GetDocumentsInfo(info), row.data);
        EXPECT_EQ(info.lastCheckNumber, row.expected.lastCheckNumber);
        EXPECT_EQ(info.lastDocumentNumber, row.expected.lastDocumentNumber);
        EXPECT_EQ(info.lastServiceDocumentNumber, row.expected.lastServiceDocumentNumber);
        EXPECT_EQ(info.articleMode, row.expected.articleMode);
        EXPECT_EQ(info.fiscalReportMade, row.expected.fiscalReportMade);
        EXPECT_EQ(info.fiscalReportNumber, row.expected.fiscalReportNumber);
        EXPECT_EQ(m_core->ArticleMode(), row.expected.articleMode);
        EXPECT_EQ(m_core->PrinterInfo().m_lMaxArticles, row.maxArticles);
    }
}

TEST_F(QueriesTest, ConfigurationReadingGivesTheKeyAsADigitAndRecordsErrorWords) {
    m_conf.serial = "4401234567";  // the older form of the query
    Connect();
    m_conf.key = 4;
    ApplyIdentity();
    std::string data = m_core->GetPrinterConfig();
    EXPECT_EQ(SentFrames(), "CONF");
    ASSERT_EQ(data.size(), ConfReply(m_conf).size() - 4);
    EXPECT_EQ(data[70], '4');
    EXPECT_EQ(data.substr(0, 70), ConfReply(m_conf).substr(4, 70));
    m_conf.key = '8';  // a digit already: not shifted again
    ApplyIdentity();
    EXPECT_EQ(m_core->GetPrinterConfig().substr(70, 1), "8");

    m_core->SetShowErrorMessages(false);
    m_register.On("CONF", {{"SOFTREPL"}, {ConfReply(m_conf)}});  // a warning: the wait goes on
    EXPECT_EQ(m_core->GetPrinterConfig().size(), data.size());
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTREPL");
    m_register.On("CONF", {{"SOFTNREP"}, {ConfReply(m_conf)}});
    EXPECT_EQ(m_core->GetPrinterConfig(), "");
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTNREP");
}

TEST_F(QueriesTest, NewerRegistersAreReadWithTheirOwnConfigurationWord) {
    Connect();
    m_conf.key = '2';
    ApplyIdentity();
    std::string data = m_core->GetPrinterConfig();
    EXPECT_EQ(SentFrames(), "CONf");
    EXPECT_EQ(data, ConfReply(m_conf, "CONf").substr(4));  // the key digit is not touched
}

TEST_F(QueriesTest, KeyPositionFromAFreshReading) {
    Connect();
    for (auto [key, expected] : {std::pair{'1', 1}, {'2', 2}, {'4', 3}, {'8', 4}, {'3', 0}}) {
        m_conf.key = key;
        ApplyIdentity();
        EXPECT_EQ(m_core->GetPrinterKeyPosition(), expected) << key;
    }
    m_core->SetShowErrorMessages(false);
    m_register.On("CONf", {});
    EXPECT_EQ(m_core->GetPrinterKeyPosition(), -1);
}

}  // namespace
}  // namespace vsktest
