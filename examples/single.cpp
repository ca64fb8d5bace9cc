// Sends one text to one or more numbers.
//
//   single USER PASSWORD SENDER TEXT NUMBER... [--sandbox URL --cacert FILE]
#include <iostream>

#include "example_support.hpp"

int main(int argc, char** argv) {
    const auto args = example::takeSandboxOptions(argc, argv);
    if (args.size() < 5) {
        std::cerr << "usage: single USER PASSWORD SENDER TEXT NUMBER... [--sandbox URL --cacert FILE]\n";
        return 2;
    }
    qelsms::SMSManager::user = args[0];
    qelsms::SMSManager::password = args[1];

    const qelsms::SingleSMSRequest request{
        .MobileNumbers = {args.begin() + 4, args.end()},
        .Message = args[3],
        .SenderName = args[2],
        .ReportRequired = true,
        .ReferenceName = "single-example",
    };
    return example::report(qelsms::SMSManager::SingleSMS(request).get());
}
