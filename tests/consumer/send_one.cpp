// Sends one message through QelSMS and exits 0 when the service accepted it.
// Every consumer project builds this file, each reaching the library the way
// an application would (installed package, subdirectory, FetchContent,
// pkg-config).
//
//   send_one CA_FILE PORT TEXT
//
// The library's built-in host is routed to 127.0.0.1:PORT, where the sandbox
// listens with a certificate signed by CA_FILE.
#include <chrono>
#include <future>
#include <iostream>
#include <string>

#include <qelsms/qelsms.hpp>

// The generated version header comes along every way the library is taken in.
static_assert(QELSMS_VERSION_MAJOR == 1 && QELSMS_VERSION_NUMBER >= 10000);

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: send_one CA_FILE PORT TEXT\n";
        return 2;
    }
    const std::string text = argv[3];
    qelsms::HttpClientOptions options = qelsms::httpClientOptions();
    options.caFile = argv[1];
    options.connectTo = {std::string("api.qelsms.example:443:127.0.0.1:") + argv[2]};
    qelsms::configureHttpClient(options);
    qelsms::SMSManager::user = "demo";
    qelsms::SMSManager::password = "demo-password";

    std::promise<bool> outcome;
    qelsms::SMSManager::SingleSMS(
        {.MobileNumbers = {"97450000001"}, .Message = text, .SenderName = "Consumer"},
        [&](nlohmann::json answer) {
            std::cout << "accepted: " << answer.dump() << '\n';
            outcome.set_value(true);
        },
        [&](std::string error) {
            std::cout << "failed: " << error << '\n';
            outcome.set_value(false);
        });
    auto done = outcome.get_future();
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::cout << "no callback within 30 s\n";
        return 1;
    }
    std::cout << "QelSMS " << QelSMSVersionNumber << ", " << qelsms::countSegments(text).parts
              << " part(s)\n";
    return done.get() ? 0 : 1;
}
