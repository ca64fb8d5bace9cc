// Schedules one text to many numbers for later, dropping repeated numbers.
//
//   QELSMS_PASSWORD=... bulk_scheduled USER SENDER MINUTES TEXT NUMBER... [--sandbox URL --cacert FILE]
//
// The message is due MINUTES from now. ScheduledDate goes to the service as
// written; this example uses "YYYY-MM-DD HH:MM:SS" in UTC, the form the
// sandbox reads.
#include <charconv>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>

#include "example_support.hpp"

namespace {

// A whole number of minutes from 1 to a year.
std::optional<long> parseMinutes(const std::string& text) {
    long minutes = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), minutes);
    if (error != std::errc() || end != text.data() + text.size() || minutes < 1 || minutes > 60L * 24 * 366) {
        return std::nullopt;
    }
    return minutes;
}

std::string utcMinutesFromNow(long minutes) {
    const std::time_t when = std::time(nullptr) + minutes * 60;
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = example::takeSandboxOptions(argc, argv);
    const auto minutes = args.size() >= 5 ? parseMinutes(args[2]) : std::nullopt;
    if (!minutes) {
        std::cerr << "usage: bulk_scheduled USER SENDER MINUTES TEXT NUMBER... "
                     "[--sandbox URL --cacert FILE]\n"
                     "MINUTES: 1 to 527040 (a year)\n";
        return 2;
    }
    const auto password = example::passwordFromEnvironment();
    if (!password) return 2;
    qelsms::SMSManager::user = args[0];
    qelsms::SMSManager::password = *password;

    const qelsms::BulkSMSRequest request{
        .MobileNumbers = {args.begin() + 4, args.end()},
        .Message = args[3],
        .SenderName = args[1],
        .ScheduledDate = utcMinutesFromNow(*minutes),
        .RemoveDuplicates = true,
        .ReferenceName = "bulk-example",
        .ReturnIndividualResponse = true,
    };
    std::cout << "scheduling for " << request.ScheduledDate << " UTC\n";
    return example::report(qelsms::SMSManager::BulkSMS(request).get());
}
