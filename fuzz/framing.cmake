# Receive-stream framing under arbitrary bytes and arbitrary read boundaries.
wb_add_fuzzer(framing_fuzz ${CMAKE_CURRENT_LIST_DIR}/framing_fuzz.cpp)
target_link_libraries(framing_fuzz PRIVATE wirebridge_portable)
