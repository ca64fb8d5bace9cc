// Prints an account's credit balance.
//
//   QELSMS_PASSWORD=... balance USER [--sandbox URL --cacert FILE]
#include <iostream>

#include "example_support.hpp"

int main(int argc, char** argv) {
    const auto args = example::takeSandboxOptions(argc, argv);
    if (args.size() != 1) {
        std::cerr << "usage: balance USER [--sandbox URL --cacert FILE], the password in QELSMS_PASSWORD\n";
        return 2;
    }
    const auto password = example::passwordFromEnvironment();
    if (!password) return 2;
    qelsms::SMSManager::user = args[0];
    qelsms::SMSManager::password = *password;

    const qelsms::Outcome outcome = qelsms::SMSManager::GetBalance().get();
    // The service answers {"balance": N, ...}; anything else is shown whole.
    if (outcome.ok() && outcome.answer().is_object() && outcome.answer().contains("balance")) {
        std::cout << "balance: " << outcome.answer()["balance"].dump() << '\n';
        return 0;
    }
    return example::report(outcome);
}
