// A program that leaves with requests in flight, for the exit tests:
//   qelsms_exit_child PORT return|exit COUNT
// It writes "leaving" and a line feed to standard output just before it
// returns from main or calls exit, and every callback writes one byte; the
// server never answers within the program's life, so any byte means a
// callback ran during exit.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <qelsms/qelsms.hpp>

#include "test_server.hpp"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const int port = std::stoi(argv[1]);
    const std::string mode = argv[2];
    const int count = std::stoi(argv[3]);

    qelsms::test::routeProductionHostTo(port);
    qelsms::SMSManager::user = "user";
    qelsms::SMSManager::password = "secret";
    for (int i = 0; i < count; ++i) {
        qelsms::SMSManager::SingleSMS(
            {.MobileNumbers = {"97450000000"}, .Message = "m", .SenderName = "s"},
            [](nlohmann::json) { (void)!write(STDOUT_FILENO, "c", 1); },
            [](std::string) { (void)!write(STDOUT_FILENO, "e", 1); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    (void)!write(STDOUT_FILENO, "leaving\n", 8);
    if (mode == "exit") std::exit(0);
    return 0;
}
