// How libcurl's result codes reach the response handling: each code becomes
// the engine-neutral cause whose classification the response handling tests
// check, so the two tables together cover code to ErrorKind.
#include "transfer_driver.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

namespace qelsms::detail {
namespace {

struct CodeCase {
    const char* name;
    CURLcode code;
    TransferCause cause;
};

class CurlCodes : public testing::TestWithParam<CodeCase> {};

TEST_P(CurlCodes, BecomeTheCauseTheirFailureMeans) {
    EXPECT_EQ(causeOfCurlCode(GetParam().code), GetParam().cause);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CurlCodes,
    testing::Values(CodeCase{"NoHandle", CURLE_FAILED_INIT, TransferCause::NotStarted},
                    CodeCase{"OutOfMemory", CURLE_OUT_OF_MEMORY, TransferCause::NotStarted},
                    CodeCase{"UnknownHost", CURLE_COULDNT_RESOLVE_HOST, TransferCause::Broken},
                    CodeCase{"PortClosed", CURLE_COULDNT_CONNECT, TransferCause::Broken},
                    CodeCase{"UntrustedCertificate", CURLE_PEER_FAILED_VERIFICATION, TransferCause::Broken},
                    CodeCase{"TimedOut", CURLE_OPERATION_TIMEDOUT, TransferCause::TimedOut},
                    CodeCase{"ClosedWithoutAnswer", CURLE_GOT_NOTHING, TransferCause::Broken},
                    CodeCase{"ResendRefused", CURLE_ABORTED_BY_CALLBACK, TransferCause::Broken},
                    CodeCase{"Reset", CURLE_RECV_ERROR, TransferCause::Broken},
                    CodeCase{"AnswerCutOff", CURLE_WRITE_ERROR, TransferCause::Broken}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qelsms::detail
