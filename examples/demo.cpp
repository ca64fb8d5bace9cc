// A guided tour of the library against a running qelsms-sandbox:
//
//   [QELSMS_PASSWORD=P] qelsms-demo --sandbox https://127.0.0.1:PORT/api/ --cacert ca.pem [--user U]
//
// Requests still go to the library's built-in host name; HttpClientOptions
// routes that host to the sandbox and trusts the sandbox's CA, so TLS is
// verified exactly as in production. scripts/demo.sh starts the sandbox and
// runs this.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include <qelsms/qelsms.hpp>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// "HOST:PORT" of an http(s) URL, with the scheme's port when none is given.
std::string authorityOf(const std::string& url) {
    const auto start = url.find("://");
    if (start == std::string::npos) return {};
    const std::string authority = url.substr(start + 3, url.find('/', start + 3) - start - 3);
    const bool hasPort =
        authority.find(':', authority.rfind(']') == std::string::npos ? 0 : authority.rfind(']')) !=
        std::string::npos;
    if (hasPort) return authority;
    return authority + (url.starts_with("https") ? ":443" : ":80");
}

// Waits for one operation's outcome.
qelsms::Outcome await(std::future<qelsms::Outcome> pending) {
    if (pending.wait_for(30s) != std::future_status::ready) {
        return qelsms::Outcome(qelsms::Error{"no answer within 30 s", qelsms::ErrorKind::TimedOut, 0, true,
                                             "the demo stopped waiting after 30 s"});
    }
    return pending.get();
}

void heading(int step, const std::string& title) {
    std::cout << "\n[" << step << "] " << title << '\n';
}

void estimate(const std::string& text) {
    const qelsms::SegmentCount count = qelsms::countSegments(text);
    std::cout << "    estimate: " << (count.encoding == qelsms::Encoding::GSM7 ? "GSM 7-bit" : "UCS-2")
              << ", " << count.characters << " characters, " << count.parts
              << (count.parts == 1 ? " part" : " parts") << '\n';
}

std::string plain(const json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// Prints the outcome, the answer's members on one line and its per-number
// results one to a line; true when it is the kind the step expects.
bool report(const qelsms::Outcome& outcome, bool expectAnswer) {
    if (outcome.ok() && outcome.answer().is_object()) {
        std::string line;
        for (const auto& [key, value] : outcome.answer().items()) {
            if (key == "results") continue;
            line += (line.empty() ? "" : ", ") + key + " " + plain(value);
        }
        std::cout << "    answer: " << line << '\n';
        for (const json& entry : outcome.answer().value("results", json::array())) {
            std::cout << "      " << plain(entry.value("mobileNumber", json())) << "  "
                      << plain(entry.value("status", json())) << ", "
                      << plain(entry.value("creditsUsed", json())) << " credit(s)"
                      << (entry.contains("messageId") ? ", id " + plain(entry["messageId"]) : "") << '\n';
        }
    } else if (outcome.ok()) {
        std::cout << "    answer: " << outcome.answer().dump() << '\n';
    } else {
        const qelsms::Error& error = outcome.error();
        std::cout << "    error: \"" << error.message << "\" (" << qelsms::toString(error.kind) << ", status "
                  << error.httpStatus << ", the provider "
                  << (error.mayHaveBeenProcessed ? "may have" : "did not") << " act)\n"
                  << "    because: " << error.detail << '\n';
    }
    const bool expected = expectAnswer == outcome.ok();
    if (!expected) std::cout << "    !! unexpected outcome\n";
    return expected;
}

// Tomorrow at 09:00 UTC, in the sandbox's ScheduledDate format.
std::string tomorrowMorningUtc() {
    const std::time_t tomorrow = std::time(nullptr) + 24 * 3600;
    std::tm utc{};
    gmtime_r(&tomorrow, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d 09:00:00", &utc);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sandboxUrl;
    std::string caFile;
    std::string user = "demo";
    // The password comes from QELSMS_PASSWORD, as the qelsms tool takes it.
    const char* fromEnvironment = std::getenv("QELSMS_PASSWORD");
    const std::string password =
        fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : "demo-password";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--sandbox") {
            sandboxUrl = argv[i + 1];
        } else if (option == "--cacert") {
            caFile = argv[i + 1];
        } else if (option == "--user") {
            user = argv[i + 1];
        }
    }
    if (sandboxUrl.empty() || caFile.empty()) {
        std::cerr
            << "usage: qelsms-demo --sandbox URL --cacert FILE [--user USER] (password in QELSMS_PASSWORD)\n";
        return 2;
    }

    const std::string production(qelsms::Client::defaultBaseURL());
    const std::string route = authorityOf(production) + ":" + authorityOf(sandboxUrl);
    qelsms::configureHttpClient({.caFile = caFile, .connectTo = {route}});
    std::cout << "QelSMS demo\n"
              << "  the library talks to " << production << '\n'
              << "  routed to the sandbox at " << sandboxUrl << " (connectTo " << route << ")\n"
              << "  TLS verified against " << caFile << '\n';

    qelsms::SMSManager::user = user;
    qelsms::SMSManager::password = password;
    bool ok = true;

    heading(1, "Balance of account \"" + user + "\"");
    ok &= report(await(qelsms::SMSManager::GetBalance()), true);

    heading(2, "SingleSMS: one text to two numbers");
    const qelsms::SingleSMSRequest single{.MobileNumbers = {"+966500000001", "+966500000002"},
                                          .Message = "Your verification code is 4711",
                                          .SenderName = "QelShop"};
    std::cout << "    text: \"" << single.Message << "\"\n";
    estimate(single.Message);
    ok &= report(await(qelsms::SMSManager::SingleSMS(single)), true);

    heading(3, "BulkSMS: scheduled, a duplicate number removed, one result per number");
    const qelsms::BulkSMSRequest bulk{
        .MobileNumbers = {"+966500000011", "+966500000012", "+966500000011", "+966500000013"},
        .Message = "Our winter sale starts tomorrow at 10:00. Show this message at the till for 15% off!",
        .SenderName = "QelShop",
        .ScheduledDate = tomorrowMorningUtc(),
        .RemoveDuplicates = true,
        .ReferenceName = "winter-sale",
        .ReturnIndividualResponse = true};
    std::cout << "    numbers: +966500000011 (twice), +966500000012, +966500000013; scheduled for "
              << bulk.ScheduledDate << " UTC\n";
    estimate(bulk.Message);
    ok &= report(await(qelsms::SMSManager::BulkSMS(bulk)), true);

    heading(4, "CustomSMS: a different text per number (Arabic goes as UCS-2)");
    const qelsms::CustomSMSRequest custom{
        .MessageDetails = {{"+966500000021", "Hello Sam, your parcel arrives today."},
                           {"+966500000022",
                            "مرحبا سارة، طردك في الطريق وسيصل اليوم بين الساعة العاشرة والثانية "
                            "عشرة. شكرا لتسوقك معنا!"},
                           {"+966500000023", "Hi Lee, your refund of €20 is on its way."}},
        .SenderName = "QelShop",
        .ReturnIndividualResponse = true};
    for (const auto& [number, text] : custom.MessageDetails) {
        std::cout << "    " << number << ": \"" << text << "\"\n";
        estimate(text);
    }
    ok &= report(await(qelsms::SMSManager::CustomSMS(custom)), true);

    heading(5, "A wrong password: the provider's own message, and it did not act");
    const qelsms::Client intruder(user, "not-the-password");
    ok &= report(await(intruder.GetBalance()), false);

    heading(6, "Final balance");
    ok &= report(await(qelsms::SMSManager::GetBalance()), true);

    std::cout << '\n'
              << (ok ? "Demo finished: every step had the expected outcome."
                     : "Demo finished with surprises.")
              << '\n';
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
