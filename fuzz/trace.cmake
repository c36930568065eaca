# The trace's line format and settings rules on arbitrary bytes.
wb_add_fuzzer(trace_fuzz ${CMAKE_CURRENT_LIST_DIR}/trace_fuzz.cpp)
target_link_libraries(trace_fuzz PRIVATE wirebridge_portable)
