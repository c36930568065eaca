# Configuration value rules on arbitrary text.
wb_add_fuzzer(config_fuzz ${CMAKE_CURRENT_LIST_DIR}/config_fuzz.cpp)
target_link_libraries(config_fuzz PRIVATE wirebridge_portable)
