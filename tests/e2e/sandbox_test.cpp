// The library end to end against qelsms-sandbox, started as a separate
// process on a free port, with TLS verified against the CA it writes out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

#include "sandbox_process.hpp"
#include "test_server.hpp"
#include "transports.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kNumberA = "+966500000001";
constexpr const char* kNumberB = "966500000002";
constexpr const char* kNumberC = "966500000003";

using Outcome = test::CallbackCollector::Outcome;
using Operation = std::function<void(CompletionHandler, ErrorHandler)>;

std::string describe(const Outcome& outcome) {
    return outcome.value ? outcome.value->dump() : outcome.error.value_or("<nothing>");
}

SingleSMSRequest single(std::vector<std::string> numbers, std::string text, std::string sender = "QelTest") {
    return {.MobileNumbers = std::move(numbers), .Message = std::move(text), .SenderName = std::move(sender)};
}

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

// One sandbox for the whole test program, reset before each test. The library
// trusts the CA file the sandbox itself wrote, so the embedded CA is what is
// tested.
class SandboxTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sandbox_ = std::make_unique<test::SandboxProcess>(std::vector<std::string>{
            "--account", "demo:demo-password:1000", "--account", "al ice:p&ss:w%rd+:50"});
    }
    static void TearDownTestSuite() { sandbox_.reset(); }

    void SetUp() override {
        sandbox_->route(10);
        SMSManager::user = "demo";
        SMSManager::password = "demo-password";
        ASSERT_NO_THROW(sandbox_->reset());
    }

    static inline std::unique_ptr<test::SandboxProcess> sandbox_;
};

using SandboxHappyPath = SandboxTest;

TEST_F(SandboxHappyPath, BalanceOfTheDemoAccount) {
    const Outcome outcome =
        test::outcomeOf([](auto done, auto failed) { SMSManager::GetBalance(done, failed); });
    ASSERT_TRUE(outcome.value) << describe(outcome);
    EXPECT_EQ(*outcome.value, (json{{"status", "success"}, {"username", "demo"}, {"balance", 1000}}));
}

TEST_F(SandboxHappyPath, CredentialsWithReservedCharactersArePercentDecoded) {
    const Client client("al ice", "p&ss:w%rd+");
    const Outcome outcome = test::outcomeOf([&](auto done, auto failed) { client.GetBalance(done, failed); });
    ASSERT_TRUE(outcome.value) << describe(outcome);
    EXPECT_EQ((*outcome.value)["username"], "al ice");
    EXPECT_EQ((*outcome.value)["balance"], 50);
}

TEST_F(SandboxHappyPath, SingleSmsChargesEveryNumberAndIsRecorded) {
    const Outcome sent = test::outcomeOf([](auto done, auto failed) {
        SMSManager::SingleSMS(single({kNumberA, kNumberB}, "Hello from QelSMS"), done, failed);
    });
    ASSERT_TRUE(sent.value) << describe(sent);
    const json& answer = *sent.value;
    EXPECT_EQ(answer["status"], "success");
    EXPECT_FALSE(answer["messageId"].get<std::string>().empty());
    EXPECT_EQ(answer["accepted"], 2);
    EXPECT_EQ(answer["creditsUsed"], 2);
    EXPECT_EQ(answer["balance"], 998);

    const Outcome balance =
        test::outcomeOf([](auto done, auto failed) { SMSManager::GetBalance(done, failed); });
    ASSERT_TRUE(balance.value) << describe(balance);
    EXPECT_EQ((*balance.value)["balance"], 998);

    const json messages = sandbox_->get("/sandbox/messages")["messages"];
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["messageId"], answer["messageId"]);
    EXPECT_EQ(messages[0]["service"], "SingleSMS");
    EXPECT_EQ(messages[0]["status"], "sent");
    EXPECT_EQ(messages[0]["options"]["SenderName"], "QelTest");
    ASSERT_EQ(messages[0]["recipients"].size(), 2u);
    EXPECT_EQ(messages[0]["recipients"][1]["mobileNumber"], kNumberB);
    EXPECT_EQ(messages[0]["recipients"][1]["message"], "Hello from QelSMS");
}

TEST_F(SandboxHappyPath, BulkSmsRemovesDuplicatesAndHoldsAScheduledMessageUntilDue) {
    BulkSMSRequest request{.MobileNumbers = {kNumberA, kNumberB, kNumberA},
                           .Message = "Sale starts tomorrow",
                           .SenderName = "QelTest",
                           .ScheduledDate = "2099-01-01 09:30:00",
                           .RemoveDuplicates = true,
                           .ReferenceName = "campaign-7",
                           .ReturnIndividualResponse = true};
    const Outcome sent =
        test::outcomeOf([&](auto done, auto failed) { SMSManager::BulkSMS(request, done, failed); });
    ASSERT_TRUE(sent.value) << describe(sent);
    const json& answer = *sent.value;
    EXPECT_EQ(answer["numbers"], 3);
    EXPECT_EQ(answer["accepted"], 2);
    EXPECT_EQ(answer["duplicatesRemoved"], 1);
    EXPECT_EQ(answer["creditsUsed"], 2);
    EXPECT_EQ(answer["scheduled"], true);
    EXPECT_EQ(answer["scheduledDate"], "2099-01-01 09:30:00");
    ASSERT_EQ(answer["results"].size(), 3u);
    EXPECT_EQ(answer["results"][0]["status"], "scheduled");
    EXPECT_EQ(answer["results"][2]["status"], "duplicate");
    EXPECT_EQ(answer["results"][2]["creditsUsed"], 0);

    EXPECT_EQ(sandbox_->get("/sandbox/messages")["messages"][0]["status"], "scheduled");
    sandbox_->post("/sandbox/clock", {{"advanceSeconds", 100LL * 365 * 24 * 3600}});
    const json message = sandbox_->get("/sandbox/messages")["messages"][0];
    EXPECT_EQ(message["status"], "sent");
    EXPECT_EQ(message["options"]["ReferenceName"], "campaign-7");

    // Without RemoveDuplicates a repeated number is sent, and paid, twice.
    request.RemoveDuplicates = false;
    request.ScheduledDate.clear();
    const Outcome again =
        test::outcomeOf([&](auto done, auto failed) { SMSManager::BulkSMS(request, done, failed); });
    ASSERT_TRUE(again.value) << describe(again);
    EXPECT_EQ((*again.value)["creditsUsed"], 3);
    EXPECT_EQ((*again.value)["scheduled"], false);
}

TEST_F(SandboxHappyPath, CustomSmsChargesEachEntryByItsOwnParts) {
    const CustomSMSRequest request{
        .MessageDetails = {{kNumberA, repeat("a", 161)}, {kNumberB, "مرحبا بكم في كيلسمز"}, {kNumberC, "Hi"}},
        .SenderName = "QelTest",
        .ReturnIndividualResponse = true};
    const Outcome sent =
        test::outcomeOf([&](auto done, auto failed) { SMSManager::CustomSMS(request, done, failed); });
    ASSERT_TRUE(sent.value) << describe(sent);
    EXPECT_EQ((*sent.value)["creditsUsed"], 4);
    EXPECT_EQ((*sent.value)["balance"], 996);
    const json results = (*sent.value)["results"];
    ASSERT_EQ(results.size(), 3u);
    std::map<std::string, int> parts;
    for (const json& result : results)
        parts[result["mobileNumber"]] = result["parts"];
    EXPECT_EQ(parts, (std::map<std::string, int>{{kNumberA, 2}, {kNumberB, 1}, {kNumberC, 1}}));
}

// Failure shapes, as the library reports them

struct FailureCase {
    const char* name;
    Operation operation;
    std::string error;
    bool prefixOnly = false;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class SandboxFailure : public SandboxTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(SandboxFailure, ReachesTheErrorCallbackWithTheProvidersMessage) {
    const FailureCase& c = GetParam();
    const Outcome outcome = test::outcomeOf(c.operation);
    ASSERT_TRUE(outcome.error) << describe(outcome);
    if (c.prefixOnly) {
        EXPECT_EQ(outcome.error->substr(0, c.error.size()), c.error);
    } else {
        EXPECT_EQ(*outcome.error, c.error);
    }
    EXPECT_EQ(sandbox_->balanceOf("demo"), 1000) << "a refused request must not be charged";
    EXPECT_EQ(sandbox_->balanceOf("al ice"), 50);
}

Operation sendSingle(SingleSMSRequest request) {
    return [request](auto done, auto failed) { SMSManager::SingleSMS(request, done, failed); };
}

Operation onClient(std::string user, std::string password, std::string baseURL,
                   std::function<void(const Client&, CompletionHandler, ErrorHandler)> call) {
    return [=](CompletionHandler done, ErrorHandler failed) {
        const Client client(user, password,
                            baseURL.empty() ? std::string(Client::defaultBaseURL()) : baseURL);
        call(client, std::move(done), std::move(failed));
    };
}

void balance(const Client& client, CompletionHandler done, ErrorHandler failed) {
    client.GetBalance(std::move(done), std::move(failed));
}

const std::string kBase(Client::defaultBaseURL());
const std::string kDenied = "Authorization has been denied for this request.";
const std::string kBadNumber = R"(: expected 8 to 15 digits, optionally after a "+")";

INSTANTIATE_TEST_SUITE_P(
    Table, SandboxFailure,
    testing::Values(
        FailureCase{"WrongPassword", onClient("demo", "demo-passwort", "", balance), kDenied},
        FailureCase{"UnknownUser", onClient("nobody", "demo-password", "", balance), kDenied},
        FailureCase{"ShortNumber", sendSingle(single({"9665000"}, "Hi")),
                    R"(Invalid mobile number "9665000")" + kBadNumber},
        FailureCase{"NoNumbers", sendSingle(single({}, "Hi")), R"("MobileNumbers" is empty)"},
        FailureCase{"EmptyText", sendSingle(single({kNumberA}, "")), R"("Message" is empty)"},
        FailureCase{"EmptySender", sendSingle(single({kNumberA}, "Hi", "")), R"("SenderName" is empty)"},
        FailureCase{"EmptyCustomText",
                    [](auto done, auto failed) {
                        SMSManager::CustomSMS({.MessageDetails = {{kNumberB, ""}}, .SenderName = "QelTest"},
                                              done, failed);
                    },
                    R"(The message for "966500000002" is empty)"},
        FailureCase{"ImpossibleScheduledDate",
                    [](auto done, auto failed) {
                        SMSManager::BulkSMS({.MobileNumbers = {kNumberA},
                                             .Message = "Hi",
                                             .SenderName = "QelTest",
                                             .ScheduledDate = "2030-02-30 10:00:00"},
                                            done, failed);
                    },
                    R"("ScheduledDate" must be a UTC date and time written YYYY-MM-DD HH:MM:SS)"},
        FailureCase{"ShortBalance",
                    onClient("al ice", "p&ss:w%rd+", "",
                             [](const Client& client, auto done, auto failed) {
                                 client.SingleSMS(single({kNumberA}, repeat("م", 67 * 51)), done, failed);
                             }),
                    "Insufficient credits: the message needs 51 credits and the balance is 50"},
        FailureCase{"UnknownPathSaysSoInJson", onClient("demo", "demo-password", kBase + "v2/", balance),
                    "No HTTP resource was found that matches the request URI '/api/v2/", true},
        // A GET of a message service, which the operations never send.
        FailureCase{"WrongMethod",
                    [](CompletionHandler done, ErrorHandler failed) {
                        detail::getNetworkCall(
                            {"demo", "demo-password"},
                            kBase + "SendSMS/SingleSMS/?Username=demo&Password=demo-password",
                            std::move(done), std::move(failed));
                    },
                    "The requested resource does not support http method 'GET'."}),
    [](const auto& info) { return std::string(info.param.name); });

// Bodies the library never sends, checked over raw HTTP: the sandbox must
// refuse what a faulty client might send.

struct RawBodyCase {
    const char* name;
    std::string contentType;
    std::string body;
    std::string error;
};

void PrintTo(const RawBodyCase& c, std::ostream* os) {
    *os << c.name;
}

class SandboxRawBody : public SandboxTest, public testing::WithParamInterface<RawBodyCase> {};

TEST_P(SandboxRawBody, IsRefusedWith400) {
    const RawBodyCase& c = GetParam();
    const auto res = sandbox_->control().Post("/api/SendSMS/SingleSMS/?Username=demo&Password=demo-password",
                                              c.body, c.contentType.c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(json::parse(res->body), (json{{"status", "error"}, {"errorDescription", c.error}}));
}

const std::string kValidRest = R"("Message":"Hi","SenderName":"S","ReportRequired":false,"Quorvi":false)";

INSTANTIATE_TEST_SUITE_P(
    Table, SandboxRawBody,
    testing::Values(
        RawBodyCase{"NotJson", "application/json", "{", "The request body is not valid JSON"},
        RawBodyCase{"WrongMediaType", "text/plain",
                    R"({"MobileNumbers":["966500000001"],)" + kValidRest + "}",
                    "The request's Content-Type must be application/json"},
        RawBodyCase{"MissingMember", "application/json",
                    R"({"MobileNumbers":["966500000001"],"Message":"Hi"})", R"(Missing member "SenderName")"},
        RawBodyCase{
            "BooleanAsString", "application/json",
            R"({"MobileNumbers":["966500000001"],"Message":"Hi","SenderName":"S","ReportRequired":"false","Quorvi":false})",
            R"(Member "ReportRequired" must be a boolean)"},
        RawBodyCase{"NumberAsInteger", "application/json",
                    R"({"MobileNumbers":[966500000001],)" + kValidRest + "}",
                    R"(Member "MobileNumbers" must be an array of strings)"},
        RawBodyCase{"NullOptional", "application/json",
                    R"({"MobileNumbers":["966500000001"],"ReferenceName":null,)" + kValidRest + "}",
                    R"(Member "ReferenceName" must be a string)"},
        RawBodyCase{"BulkMemberOnSingle", "application/json",
                    R"({"MobileNumbers":["966500000001"],"RemoveDuplicates":true,)" + kValidRest + "}",
                    R"(Unknown member "RemoveDuplicates")"}),
    [](const auto& info) { return std::string(info.param.name); });

// Faults: what the library makes of each, and that it never submits twice

struct FaultCase {
    const char* name;
    json fault;
    std::optional<std::string> error;  // nullopt: the request succeeds
    bool prefixOnly;
    bool charged;  // whether the sandbox processed the request
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class SandboxFault : public SandboxTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(SandboxFault, GivesOneOutcomeFromOneSubmission) {
    const FaultCase& c = GetParam();
    ASSERT_EQ(sandbox_->post("/sandbox/faults", c.fault)["status"], "success");
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = test::outcomeOf(sendSingle(single({kNumberA}, "Hello")));
    const auto elapsed = std::chrono::steady_clock::now() - start;

    if (c.error) {
        ASSERT_TRUE(outcome.error) << describe(outcome);
        EXPECT_EQ(c.prefixOnly ? outcome.error->substr(0, c.error->size()) : *outcome.error, *c.error);
    } else {
        ASSERT_TRUE(outcome.value) << describe(outcome);
        EXPECT_EQ((*outcome.value)["creditsUsed"], 1);
    }
    if (c.fault.contains("delayMs")) {
        EXPECT_GE(elapsed, std::chrono::milliseconds(c.fault["delayMs"].get<int>()));
    }
    EXPECT_EQ(sandbox_->requestsTo("/api/SendSMS/SingleSMS/"), 1u);
    EXPECT_EQ(sandbox_->balanceOf("demo"), c.charged ? 999 : 1000);
    EXPECT_EQ(sandbox_->get("/sandbox/faults")["faults"].size(), 0u) << "the fault is used up by one request";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SandboxFault,
    testing::Values(FaultCase{"Delay", {{"type", "delay"}, {"delayMs", 400}}, std::nullopt, false, true},
                    FaultCase{"Close", {{"type", "close"}}, "Client error!", false, false},
                    FaultCase{"Reset", {{"type", "reset"}}, "Client error!", false, true},
                    FaultCase{"Truncate", {{"type", "truncate"}}, "Client error!", false, true},
                    FaultCase{
                        "WrongMediaType", {{"type", "wrong-media-type"}}, "Wrong MIME type!", false, true},
                    FaultCase{"Html500", {{"type", "html-500"}}, "JSON error: ", true, false},
                    FaultCase{"Oversized", {{"type", "oversized"}}, "Client error!", false, false},
                    // The library doesn't follow redirects: it reads the 302's HTML page.
                    FaultCase{"Redirect", {{"type", "redirect"}}, "JSON error: ", true, false},
                    FaultCase{"Throttle",
                              {{"type", "throttle"}, {"retryAfter", 1}},
                              "Too many requests: try again later",
                              false,
                              false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SandboxTest, FaultLastsForItsCountAndOnlyOnItsPath) {
    sandbox_->post("/sandbox/faults",
                   {{"type", "html-500"}, {"count", 2}, {"path", "/api/SendSMS/SingleSMS/"}});
    const Outcome balance =
        test::outcomeOf([](auto done, auto failed) { SMSManager::GetBalance(done, failed); });
    EXPECT_TRUE(balance.value) << describe(balance);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Outcome spoiled = test::outcomeOf(sendSingle(single({kNumberA}, "Hello")));
        EXPECT_TRUE(spoiled.error && spoiled.error->starts_with("JSON error: ")) << describe(spoiled);
    }
    const Outcome recovered = test::outcomeOf(sendSingle(single({kNumberA}, "Hello")));
    EXPECT_TRUE(recovered.value) << describe(recovered);
}

// Billing by segments: parts per message times numbers

struct BillingCase {
    const char* name;
    std::string text;
    const char* encoding;
    int parts;
};

void PrintTo(const BillingCase& c, std::ostream* os) {
    *os << c.name;
}

class SandboxBilling : public SandboxTest, public testing::WithParamInterface<BillingCase> {};

TEST_P(SandboxBilling, ChargesPartsTimesNumbers) {
    const BillingCase& c = GetParam();
    const Outcome sent = test::outcomeOf(sendSingle(single({kNumberA, kNumberB}, c.text)));
    ASSERT_TRUE(sent.value) << describe(sent);
    EXPECT_EQ((*sent.value)["encoding"], c.encoding);
    EXPECT_EQ((*sent.value)["parts"], c.parts);
    EXPECT_EQ((*sent.value)["creditsUsed"], 2 * c.parts);
    // An application's own estimate agrees with what it is charged.
    EXPECT_EQ(countSegments(c.text).parts, static_cast<std::size_t>(c.parts));
}

INSTANTIATE_TEST_SUITE_P(Table, SandboxBilling,
                         testing::Values(BillingCase{"Gsm160", repeat("a", 160), "GSM7", 1},
                                         BillingCase{"Gsm161", repeat("a", 161), "GSM7", 2},
                                         BillingCase{"Gsm307", repeat("a", 307), "GSM7", 3},
                                         BillingCase{"ExtensionCrosses", repeat("a", 159) + "[", "GSM7", 2},
                                         BillingCase{"EmojiCrosses70", repeat("😀", 35) + "!", "UCS2", 2},
                                         BillingCase{"Arabic70", repeat("م", 70), "UCS2", 1},
                                         BillingCase{"Arabic71", repeat("م", 71), "UCS2", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SandboxTest, IdleConnectionsDoNotStarveNewOnes) {
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(sandbox_->port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        idle.push_back(fd);
    }
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome =
        test::outcomeOf([](auto done, auto failed) { SMSManager::GetBalance(done, failed); });
    EXPECT_TRUE(outcome.value) << describe(outcome);
    // A starved request would wait for an idle connection's keep-alive time
    // (three minutes); ten seconds leaves a loaded machine room.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    for (const int fd : idle)
        close(fd);
}

// A jump the clock cannot represent is refused with the reason, and leaves
// the clock where it was; one it can is taken.
// Individual results go out in chunks as they are written, so the client
// hears from the sandbox long before a million of them are done; the body is
// the same JSON as ever.
TEST_F(SandboxTest, IndividualResultsStreamAsTheyAreWritten) {
    sandbox_->putAccount("streamer", "stream-pw", 100'000);
    json numbers = json::array();
    for (int i = 0; i < 20'000; ++i)
        numbers.push_back("9745" + std::to_string(1'000'000 + i));
    numbers.push_back(numbers[0]);
    const json request = {
        {"MobileNumbers", numbers},        {"Message", "hi"},         {"SenderName", "Qel"},
        {"RemoveDuplicates", true},        {"ReportRequired", false}, {"ReturnIndividualResponse", true},
        {"AsynchronousSubmission", false}, {"Quorvi", false}};
    auto& client = sandbox_->control();
    const auto res = client.Post("/api/SendSMS/BulkSMS/?Username=streamer&Password=stream-pw", request.dump(),
                                 "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->get_header_value("Transfer-Encoding"), "chunked");
    EXPECT_TRUE(res->get_header_value("Content-Type").starts_with("application/json"));
    const json answer = json::parse(res->body);
    EXPECT_EQ(answer.at("creditsUsed"), 20'000);
    EXPECT_EQ(answer.at("duplicatesRemoved"), 1);
    const json& results = answer.at("results");
    ASSERT_EQ(results.size(), 20'001u);
    const std::string id = answer.at("messageId");
    EXPECT_EQ(results[0], (json{{"mobileNumber", numbers[0]},
                                {"status", "sent"},
                                {"messageId", id + "-1"},
                                {"parts", 1},
                                {"creditsUsed", 1}}));
    EXPECT_EQ(results[19'999].at("messageId"), id + "-20000");
    EXPECT_EQ(results[20'000],
              (json{{"mobileNumber", numbers[0]}, {"status", "duplicate"}, {"creditsUsed", 0}}));
    // A small answer still goes out whole, with its length.
    const auto balance = client.Get("/api/Credits/GetBalance/?Username=streamer&Password=stream-pw");
    ASSERT_TRUE(balance);
    EXPECT_FALSE(balance->get_header_value("Content-Length").empty());
}

TEST_F(SandboxTest, ClockRefusesAJumpItCannotRepresent) {
    const std::string before = sandbox_->get("/sandbox/clock").at("now");
    for (const std::string amount : {"9223372036854775807", "-9223372036854775807", "18446744073709551615",
                                     "315576000000", "-3000000000"}) {
        const auto result = sandbox_->control().Post("/sandbox/clock", "{\"advanceSeconds\": " + amount + "}",
                                                     "application/json");
        ASSERT_TRUE(result) << amount;
        EXPECT_EQ(result->status, 400) << amount << ": " << result->body;
        const auto answer = nlohmann::json::parse(result->body, nullptr, false);
        ASSERT_TRUE(answer.is_object()) << result->body;
        EXPECT_EQ(answer.value("status", ""), "error");
        EXPECT_NE(answer.value("errorDescription", "").find("advanceSeconds"), std::string::npos);
        EXPECT_EQ(sandbox_->get("/sandbox/clock").at("now").get<std::string>().substr(0, 4),
                  before.substr(0, 4))
            << amount;
    }
    const auto result =
        sandbox_->control().Post("/sandbox/clock", R"({"advanceSeconds": 3153600000})", "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << result->body;
}

TEST(SandboxPlainHttp, ServesTheDefaultDemoAccount) {
    test::SandboxChild sandbox({"--http", "--port", "0"});
    EXPECT_TRUE(sandbox.url().starts_with("http://127.0.0.1:")) << sandbox.url();
    const Client client("demo", "demo-password", sandbox.url());
    const Outcome outcome = test::outcomeOf([&](auto done, auto failed) { client.GetBalance(done, failed); });
    ASSERT_TRUE(outcome.value) << describe(outcome);
    EXPECT_EQ((*outcome.value)["balance"], 1000);
}

// Requests written byte for byte, so that what curl and other clients send
// (no Content-Length, a broken request line) reaches the sandbox unchanged.

struct RawAnswer {
    int status = 0;
    std::string body;
};

RawAnswer exchange(int port, const std::string& request) {
    const int fd = test::connectLoopback(port);
    if (fd < 0) throw std::runtime_error("cannot connect to the sandbox");
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    // Read up to the end of the announced body: after some refusals httplib
    // keeps the connection open whatever the request asked for.
    std::string answer;
    char buffer[4096];
    std::size_t head = std::string::npos;
    std::size_t length = 0;
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(n));
        if (head == std::string::npos && (head = answer.find("\r\n\r\n")) != std::string::npos) {
            head += 4;
            const auto field = answer.find("Content-Length: ");
            if (field != std::string::npos && field < head) length = std::stoul(answer.substr(field + 16));
        }
        if (head != std::string::npos && answer.size() >= head + length) break;
    }
    close(fd);
    RawAnswer raw;
    if (answer.starts_with("HTTP/1.1 ")) raw.status = std::atoi(answer.c_str() + 9);
    if (head != std::string::npos) raw.body = answer.substr(head);
    return raw;
}

struct RawRequestCase {
    const char* name;
    std::string request;
    int status;
    // The member of the JSON answer that must hold a non-empty text.
    const char* member;
};

void PrintTo(const RawRequestCase& c, std::ostream* os) {
    *os << c.name;
}

class SandboxRawRequest : public testing::TestWithParam<RawRequestCase> {
protected:
    static void SetUpTestSuite() {
        sandbox_ = std::make_unique<test::SandboxChild>(std::vector<std::string>{"--http"});
    }
    static void TearDownTestSuite() { sandbox_.reset(); }
    static inline std::unique_ptr<test::SandboxChild> sandbox_;
};

TEST_P(SandboxRawRequest, AnswersWithJsonThatSaysWhy) {
    const RawRequestCase& c = GetParam();
    const RawAnswer answer = exchange(sandbox_->port(), c.request);
    EXPECT_EQ(answer.status, c.status);
    const json body = json::parse(answer.body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << "not a JSON object: " << answer.body;
    ASSERT_TRUE(body.contains(c.member) && body[c.member].is_string()) << body.dump();
    EXPECT_FALSE(body[c.member].get<std::string>().empty());
}

const std::string kClose = "Host: 127.0.0.1\r\nConnection: close\r\n";
const std::string kSingleTarget = "/api/SendSMS/SingleSMS/?Username=demo&Password=demo-password";

INSTANTIATE_TEST_SUITE_P(
    Table, SandboxRawRequest,
    testing::Values(
        RawRequestCase{"ResetWithoutBody", "POST /sandbox/reset HTTP/1.1\r\n" + kClose + "\r\n", 200,
                       "status"},
        RawRequestCase{"FaultsClearedWithoutBody", "DELETE /sandbox/faults HTTP/1.1\r\n" + kClose + "\r\n",
                       200, "status"},
        RawRequestCase{"SendWithoutBody", "POST " + kSingleTarget + " HTTP/1.1\r\n" + kClose + "\r\n", 400,
                       "errorDescription"},
        RawRequestCase{"AccountWithoutBody", "POST /sandbox/accounts HTTP/1.1\r\n" + kClose + "\r\n", 400,
                       "errorDescription"},
        RawRequestCase{"UnknownApiPath", "GET /api/Nowhere/ HTTP/1.1\r\n" + kClose + "\r\n", 404, "Message"},
        RawRequestCase{"UnknownControlPath", "GET /sandbox/nowhere HTTP/1.1\r\n" + kClose + "\r\n", 404,
                       "Message"},
        RawRequestCase{"OutsideBothTrees", "GET / HTTP/1.1\r\n" + kClose + "\r\n", 404, "Message"},
        RawRequestCase{"WrongMethod", "GET /sandbox/reset HTTP/1.1\r\n" + kClose + "\r\n", 405, "Message"},
        RawRequestCase{"MalformedRequestLine", "GARBAGE\r\n" + kClose + "\r\n", 400, "errorDescription"},
        RawRequestCase{"BrokenChunkedBody",
                       "POST /sandbox/faults HTTP/1.1\r\n" + kClose +
                           "Transfer-Encoding: chunked\r\n\r\nzz\r\n{}\r\n0\r\n\r\n",
                       400, "errorDescription"},
        // The whole body is sent: a client that only announces it would wait
        // for the sandbox's read time-out instead.
        RawRequestCase{"BodyAboveTheLimit",
                       "POST /sandbox/faults HTTP/1.1\r\n" + kClose + "Content-Length: 34603008\r\n\r\n" +
                           std::string(34603008, 'x'),
                       413, "errorDescription"},
        RawRequestCase{"TargetTooLong",
                       "GET /sandbox/" + std::string(9000, 'a') + " HTTP/1.1\r\n" + kClose + "\r\n", 414,
                       "errorDescription"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SandboxStop, SigtermEndsItPromptlyDespiteAnOpenKeepAliveConnection) {
    test::SandboxChild sandbox({"--port", "0"});
    httplib::SSLClient client("127.0.0.1", sandbox.port());
    client.enable_server_certificate_verification(false);
    client.set_keep_alive(true);
    ASSERT_TRUE(client.Get("/sandbox/clock"));
    // Waiting out the connection would take its keep-alive time, three minutes.
    EXPECT_EQ(sandbox.terminate(10s), 0);
}

}  // namespace
}  // namespace qelsms
