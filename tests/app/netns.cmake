# Calls over IPv6 between network namespaces the test makes, and a copy with
# IPv6 disabled (skipped without root, ip netns or python3).
if(TARGET ambrel AND AMBREL_BUILD_TESTS AND NOT AMBREL_FUZZ)
  add_test(NAME app_call_ipv6_namespaces
    COMMAND sh -c "command -v python3 >/dev/null || { echo 'skipped: python3 is not installed'; exit 77; }; exec python3 \"$@\"" sh
            ${CMAKE_CURRENT_SOURCE_DIR}/call_ipv6_netns_test.py $<TARGET_FILE:ambrel>)
  set_tests_properties(app_call_ipv6_namespaces PROPERTIES LABELS app SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
