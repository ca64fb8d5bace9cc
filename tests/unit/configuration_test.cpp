#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <qelsms/qelsms.hpp>

#include "endpoints.hpp"
#include "test_server.hpp"

namespace qelsms {
namespace {

TEST(VersionSymbols, HoldTheExactBytes) {
    EXPECT_EQ(QelSMSVersionNumber, 1.0);
    const char expected[] = "@(#)PROGRAM:QelSMS  PROJECT:QelSMS-1\n";
    static_assert(sizeof expected == 38);
    EXPECT_EQ(std::memcmp(QelSMSVersionString, expected, sizeof expected), 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(QelSMSVersionString)), 37u);
    EXPECT_EQ(QelSMSVersionString[36], '\n');
    EXPECT_EQ(QelSMSVersionString[37], '\0');
}

TEST(IsNilOrEmpty, TrueOnlyForAbsentOrEmpty) {
    EXPECT_TRUE(isNilOrEmpty(std::nullopt));
    EXPECT_TRUE(isNilOrEmpty(std::string()));
    EXPECT_FALSE(isNilOrEmpty(std::string(" ")));
    EXPECT_FALSE(isNilOrEmpty(std::string("x")));
    EXPECT_FALSE(isNilOrEmpty(std::string(1, '\0')));
}

TEST(Credentials, StartEmptyAndAcceptAnyString) {
    EXPECT_EQ(SMSManager::user.get(), "");
    EXPECT_EQ(SMSManager::password.get(), "");
    for (const std::string& value :
         std::vector<std::string>{"name", " ", "", "a&b#c%d", std::string("nul\0byte", 8)}) {
        SMSManager::user = value;
        const std::string read = SMSManager::user;
        EXPECT_EQ(read, value);
        EXPECT_TRUE(SMSManager::user == value);
    }
    SMSManager::password = SMSManager::user;
    EXPECT_EQ(SMSManager::password.get(), std::string("nul\0byte", 8));
    SMSManager::user = "";
    SMSManager::password = "";
}

TEST(Credentials, ConcurrentReadersSeeWholeValues) {
    const std::string a(1000, 'a');
    const std::string b(3000, 'b');
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            while (!stop) {
                if (i % 2 == 0) {
                    SMSManager::password = (i == 0 ? a : b);
                } else {
                    const std::string v = SMSManager::password;
                    if (!v.empty() && v != a && v != b) ++torn;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    SMSManager::password = "";
}

struct EndpointCase {
    const char* name;
    std::string user;
    std::string password;
    std::string query;  // what follows "?Username="
};

void PrintTo(const EndpointCase& c, std::ostream* os) {
    *os << c.name;
}

class EndpointComposition : public testing::TestWithParam<EndpointCase> {};

TEST_P(EndpointComposition, PercentEncodesBothCredentials) {
    const auto& c = GetParam();
    const std::string base = "https://api.example/api/";
    EXPECT_EQ(detail::composeEndpoint(base, detail::kSingleSMSPath, c.user, c.password),
              base + "SendSMS/SingleSMS/?Username=" + c.query);
}

const EndpointCase kEndpointCases[] = {
    {"BothEmpty", "", "", "&Password="},
    {"Plain", "user", "pass", "user&Password=pass"},
    {"Unreserved", "A-z.0_9~", "~", "A-z.0_9~&Password=~"},
    {"Blank", "a b", " ", "a%20b&Password=%20"},
    {"QueryBreakers", "a&b", "p&Password=x#frag", "a%26b&Password=p%26Password%3Dx%23frag"},
    {"PercentPlus", "%+", "100%", "%25%2B&Password=100%25"},
    {"QuestionSlash", "?/", "=", "%3F%2F&Password=%3D"},
    {"ControlBytes", "\r\n", std::string("\0", 1), "%0D%0A&Password=%00"},
    {"Utf8", "\xd9\x85", "\xc3\xa9", "%D9%85&Password=%C3%A9"},
    {"InvalidUtf8", "\xff", "\x80", "%FF&Password=%80"},
};

INSTANTIATE_TEST_SUITE_P(Table, EndpointComposition, testing::ValuesIn(kEndpointCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EndpointComposition, EveryPathKeepsItsLiteral) {
    const std::set<std::string> paths = {
        detail::composeEndpoint("B/", detail::kGetBalancePath, "u", "p"),
        detail::composeEndpoint("B/", detail::kSingleSMSPath, "u", "p"),
        detail::composeEndpoint("B/", detail::kBulkSMSPath, "u", "p"),
        detail::composeEndpoint("B/", detail::kCustomSMSPath, "u", "p"),
    };
    EXPECT_EQ(paths,
              (std::set<std::string>{
                  "B/Credits/GetBalance/?Username=u&Password=p", "B/SendSMS/SingleSMS/?Username=u&Password=p",
                  "B/SendSMS/BulkSMS/?Username=u&Password=p", "B/SendSMS/CustomSMS/?Username=u&Password=p"}));
}

TEST(EndpointComposition, DecodingGivesTheCredentialsBack) {
    std::string every;
    for (int i = 0; i < 256; ++i)
        every.push_back(static_cast<char>(i));
    const auto url = detail::composeEndpoint("", "", every, every);
    const auto amp = url.find('&');
    EXPECT_EQ(test::percentDecode(url.substr(0, amp)), every);
    EXPECT_EQ(test::percentDecode(url.substr(amp + std::string("&Password=").size())), every);
}

TEST(BaseUrl, IsAnHttpsUrlEndingInApi) {
    const std::string_view base = Client::defaultBaseURL();
    EXPECT_TRUE(base.starts_with("http://") || base.starts_with("https://"));
    EXPECT_TRUE(base.ends_with("/api/"));
}

}  // namespace
}  // namespace qelsms
