# The examples' tests, included from tests/e2e (tests are registered after
# enable_testing()). Each example runs against a sandbox of its own
# (run_example.sh), which must have recorded what the example sent.
if(TARGET qelsms_example_balance AND TARGET qelsms-sandbox)
  set(run_example "${CMAKE_CURRENT_LIST_DIR}/run_example.sh" $<TARGET_FILE:qelsms-sandbox>)
  if(QELSMS_BASE_URL MATCHES "^http://")
    list(APPEND run_example --http)
  endif()
  # qelsms_add_example_test(NAME EXAMPLE [EXPECT text...] ARGS args...)
  function(qelsms_add_example_test name example)
    cmake_parse_arguments(T "" "" "EXPECT;ARGS" ${ARGN})
    set(expect)
    foreach(text IN LISTS T_EXPECT)
      list(APPEND expect --expect "${text}")
    endforeach()
    add_test(NAME ${name} COMMAND ${run_example} ${expect} -- $<TARGET_FILE:qelsms_example_${example}> ${T_ARGS})
    set_tests_properties(${name} PROPERTIES LABELS example TIMEOUT 60 ENVIRONMENT QELSMS_PASSWORD=demo-password)
  endfunction()

  qelsms_add_example_test(example.balance balance EXPECT "balance: 1000" ARGS demo)
  qelsms_add_example_test(example.single single
    EXPECT [["service":"SingleSMS"]] [["mobileNumber":"97450000001"]] [["mobileNumber":"97450000002"]]
           [["message":"Your code is 4711"]] [["ReferenceName":"single-example"]]
    ARGS demo Shop "Your code is 4711" 97450000001 97450000002)
  qelsms_add_example_test(example.bulk_scheduled bulk_scheduled
    EXPECT [["status":"scheduled"]] [["duplicatesRemoved": 1]] [["accepted": 2]]
    ARGS demo Shop 90 "Sale starts tomorrow" 97450000001 97450000002 97450000001)
  qelsms_add_example_test(example.custom_csv custom_csv
    EXPECT "sending 4 messages" [["message":"Hello Amal, your order 1042 has shipped."]]
           [["message":"Dear Omar, your code is \"4711\""]] [["message":"Two lines:\nsee you at 10"]]
           [["encoding":"UCS2"]]
    ARGS demo Shop "${CMAKE_CURRENT_LIST_DIR}/messages.csv")

  # Windows line endings, also inside a quoted field, and no header.
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/examples_messages_crlf.csv"
    "97450000001,\"first\r\nsecond\"\r\n\r\n97450000002,plain\r\n")
  qelsms_add_example_test(example.custom_csv_crlf custom_csv
    EXPECT "sending 2 messages" [["message":"first\nsecond"]] [["message":"plain"]]
    ARGS demo Shop "${CMAKE_CURRENT_BINARY_DIR}/examples_messages_crlf.csv")

  # Three numbers at five requests a second, each recorded once.
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/examples_paced_numbers.txt" "97450000001\n\n97450000002\r\n97450000003\n")
  qelsms_add_example_test(example.paced_campaign paced_campaign
    EXPECT [["mobileNumber":"97450000001"]] [["mobileNumber":"97450000002"]] [["mobileNumber":"97450000003"]]
    ARGS demo Shop 5 "Your code is 4711" "${CMAKE_CURRENT_BINARY_DIR}/examples_paced_numbers.txt")

  # A file the example must refuse before anything is sent.
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/examples_messages_bad.csv"
    "number,text\n97450000001,fine\n97450000002,\"never closed\n")
  add_test(NAME example.custom_csv_refuses COMMAND ${run_example} -- $<TARGET_FILE:qelsms_example_custom_csv>
    demo Shop "${CMAKE_CURRENT_BINARY_DIR}/examples_messages_bad.csv")
  set_tests_properties(example.custom_csv_refuses PROPERTIES LABELS example TIMEOUT 60
    ENVIRONMENT QELSMS_PASSWORD=demo-password
    PASS_REGULAR_EXPRESSION "examples_messages_bad.csv:3: a quoted field is not closed.*\"messages\":\\[\\]")

  # Without QELSMS_PASSWORD an example refuses, naming the variable.
  add_test(NAME example.balance_needs_password COMMAND ${run_example} -- $<TARGET_FILE:qelsms_example_balance> demo)
  set_tests_properties(example.balance_needs_password PROPERTIES LABELS example TIMEOUT 60 WILL_FAIL ON
    ENVIRONMENT QELSMS_PASSWORD=)
  add_test(NAME example.balance_password_message COMMAND $<TARGET_FILE:qelsms_example_balance> demo)
  set_tests_properties(example.balance_password_message PROPERTIES LABELS example
    ENVIRONMENT QELSMS_PASSWORD= PASS_REGULAR_EXPRESSION "set QELSMS_PASSWORD")

  add_test(NAME example.segments COMMAND qelsms_example_segments "Hello" "Привет")
  set_tests_properties(example.segments PROPERTIES LABELS example
    PASS_REGULAR_EXPRESSION "GSM7 5 characters, 1 part: Hello\nUCS2 6 characters, 1 part: Привет\n")
endif()
