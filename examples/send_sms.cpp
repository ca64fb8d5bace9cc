// Asks the balance, sends one message and prints both outcomes.
//
//   QELSMS_PASSWORD=... send_sms USER NUMBER [TEXT]
//
// Against the local sandbox, point the library at it first, e.g.
//   QELSMS_PASSWORD=demo-password send_sms demo 97450000001 --connect-to
//   api.qelsms.example:443:127.0.0.1:8443 --cacert ca.pem
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include <qelsms/qelsms.hpp>

namespace {

// Waits for one operation's outcome and prints it; true when it was accepted.
bool show(const std::string& what, std::future<qelsms::Outcome> pending) {
    const qelsms::Outcome outcome = pending.get();
    if (outcome.ok()) {
        std::cout << what << ": " << outcome.answer().dump() << '\n';
    } else {
        std::cout << what << " failed: " << outcome.error().message << " (" << outcome.error().detail
                  << ")\n";
    }
    return outcome.ok();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    qelsms::HttpClientOptions http;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--connect-to" && i + 1 < args.size()) {
            http.connectTo.push_back(args[++i]);
        } else if (args[i] == "--cacert" && i + 1 < args.size()) {
            http.caFile = args[++i];
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() < 2) {
        std::cerr << "usage: send_sms USER NUMBER [TEXT] [--connect-to H:P:H2:P2] [--cacert FILE]\n";
        return 2;
    }
    // From the environment, as the qelsms tool takes it: an argument would
    // show in the process list and the shell's history.
    const char* password = std::getenv("QELSMS_PASSWORD");
    if (password == nullptr || *password == '\0') {
        std::cerr << "set QELSMS_PASSWORD to the account's password\n";
        return 2;
    }
    qelsms::configureHttpClient(http);
    qelsms::SMSManager::user = positional[0];
    qelsms::SMSManager::password = password;

    const bool balanceOk = show("balance", qelsms::SMSManager::GetBalance());
    const bool sentOk = show(
        "single message",
        qelsms::SMSManager::SingleSMS({.MobileNumbers = {positional[1]},
                                       .Message = positional.size() > 2 ? positional[2] : "Hello from QelSMS",
                                       .SenderName = "QelSMS"}));
    return balanceOk && sentOk ? 0 : 1;
}
