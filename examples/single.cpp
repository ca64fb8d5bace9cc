// Sends one text to one or more numbers.
//
//   QELSMS_PASSWORD=... single USER SENDER TEXT NUMBER... [--sandbox URL --cacert FILE]
#include <iostream>

#include "example_support.hpp"

int main(int argc, char** argv) {
    const auto args = example::takeSandboxOptions(argc, argv);
    if (args.size() < 4) {
        std::cerr << "usage: single USER SENDER TEXT NUMBER... [--sandbox URL --cacert FILE]\n";
        return 2;
    }
    const auto password = example::passwordFromEnvironment();
    if (!password) return 2;
    qelsms::SMSManager::user = args[0];
    qelsms::SMSManager::password = *password;

    const qelsms::SingleSMSRequest request{
        .MobileNumbers = {args.begin() + 3, args.end()},
        .Message = args[2],
        .SenderName = args[1],
        .ReportRequired = true,
        .ReferenceName = "single-example",
    };
    return example::report(qelsms::SMSManager::SingleSMS(request).get());
}
