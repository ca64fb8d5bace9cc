#!/usr/bin/env bash
# The whole test suite, as CI runs it:
#   1. every test, built with warnings as errors under AddressSanitizer (leaks
#      included) and UndefinedBehaviorSanitizer;
#   2. the concurrency and load tests under ThreadSanitizer;
#   3. each libFuzzer target for a bounded time (QELSMS_FUZZ_SECONDS, 30 s);
#   4. the API reference without a warning, clang-tidy without a finding, and
#      applications outside the tree built against the library every supported
#      way (installed package, pkg-config, add_subdirectory, FetchContent;
#      static and shared), each reaching the sandbox; the Debian packages,
#      static and shared, without a lintian error;
#   5. the shared library's exported ABI against abi/libqelsms.so.1.xml.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Most end-to-end tests wait on sockets, not on the CPU.
test_jobs=$((jobs * 2))

step() { printf '\n== %s ==\n' "$*"; }

step "ASan + UBSan: build and run every test"
cmake --preset ci
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$test_jobs"

step "TSan: concurrency and load tests"
cmake --preset tsan
cmake --build --preset tsan -j "$jobs" --target qelsms_configuration_test qelsms_transport_test \
  qelsms_client_test qelsms_load_test qelsms_exit_child qelsms-sandbox qelsms_limits_test qelsms_limits_child \
  qelsms_credentials_test
ctest --preset tsan -j "$jobs" -L concurrency

step "fork() under load, without sanitizers (their runtimes are not fork-safe)"
cmake --preset dev
cmake --build --preset dev -j "$jobs" --target qelsms_lifecycle_test
ctest --preset dev -R 'LifecycleFork'

step "Fuzzing"
scripts/fuzz.sh "${QELSMS_FUZZ_SECONDS:-30}"

step "API reference, clang-tidy, consumers"
scripts/docs.sh build/ci/docs
scripts/clang-tidy.sh build/ci
scripts/consumer-tests.sh build/ci/sandbox/qelsms-sandbox build/consumer

step "ABI of libqelsms.so.1 against the baseline"
scripts/abi-check.sh build/consumer/lib-shared/src/libqelsms.so.1
