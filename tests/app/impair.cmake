# A call between two headless copies through a relay that loses, delays,
# reorders and duplicates datagrams (skipped where python3 is missing).
if(TARGET ambrel AND AMBREL_BUILD_TESTS AND NOT AMBREL_FUZZ)
  add_test(NAME app_call_through_impairing_relay
    COMMAND sh -c "command -v python3 >/dev/null || { echo 'skipped: python3 is not installed'; exit 77; }; exec python3 \"$@\"" sh
            ${CMAKE_CURRENT_SOURCE_DIR}/call_impair_test.py $<TARGET_FILE:ambrel>
            ${PROJECT_SOURCE_DIR}/tests/support/impair_relay.py)
  set_tests_properties(app_call_through_impairing_relay PROPERTIES LABELS app SKIP_RETURN_CODE 77 TIMEOUT 180)
endif()
