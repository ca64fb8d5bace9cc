// Prints an account's credit balance.
//
//   balance USER PASSWORD [--sandbox URL --cacert FILE]
#include <iostream>

#include "example_support.hpp"

int main(int argc, char** argv) {
    const auto args = example::takeSandboxOptions(argc, argv);
    if (args.size() != 2) {
        std::cerr << "usage: balance USER PASSWORD [--sandbox URL --cacert FILE]\n";
        return 2;
    }
    qelsms::SMSManager::user = args[0];
    qelsms::SMSManager::password = args[1];

    const qelsms::Outcome outcome = qelsms::SMSManager::GetBalance().get();
    // The service answers {"balance": N, ...}; anything else is shown whole.
    if (outcome.ok() && outcome.answer().is_object() && outcome.answer().contains("balance")) {
        std::cout << "balance: " << outcome.answer()["balance"].dump() << '\n';
        return 0;
    }
    return example::report(outcome);
}
